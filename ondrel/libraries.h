// The compression libraries behind the filters, loaded on first use.
//
// Python opens an extension with every symbol of everything it links bound
// at once, and four codec libraries cost more than the rest of the import
// while most programs never compress anything. So on POSIX the module does
// not link them: ondrel/libraries.cpp defines each library function the
// codecs call as a forwarder to the real one, found when a filter is first
// looked up.
#pragma once

#include <stdexcept>

#include "ondrel/codecs/codec.h"

namespace ondrel {

// A library that cannot be loaded; what() names it, the filter and the cause.
class LibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Loads the library `codec` needs unless that was done before; throws
// LibraryError, now and on every later use, if it cannot be loaded.
void load_codec_library(const codecs::Codec& codec);

}  // namespace ondrel
