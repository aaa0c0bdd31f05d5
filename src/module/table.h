// The public functions: how they are called and how a body joins the table.
#pragma once

#include "src/module/runtime.h"

#include <cstddef>

namespace dorvane {

enum class Convention { one, none, keywords };

// Defaults are constants made at initialisation, named here by kind.
enum class Default { required, empty_str, tmp_str, dot_str, none, true_, false_ };

struct Param {
    const char* name;
    Default value;
};

constexpr std::size_t kMaxParams = 4;

struct FunctionRow {
    const char* name;
    Convention convention;
    Param params[kMaxParams];
    const char* doc;
};

// The values a call was made with, one per parameter, defaults filled in.
// For the one-argument convention [0] is the argument.
class Args {
public:
    Args(const Ref* values, std::size_t count) : values_(values), count_(count) {}
    const Ref& operator[](std::size_t i) const { return values_[i]; }
    std::size_t size() const { return count_; }

private:
    const Ref* values_;
    std::size_t count_;
};

using Body = Ref (*)(const Args&);

// Attaches a body to its row of the table.
struct Registrar {
    Registrar(const char* name, Body body);
};

// Binds every function, in the table's (alphabetical) order; a row left
// without a body (say, a misspelt DORVANE_FUNCTION) fails the import.
void bind_functions(PyObject* module, Here at = Here());

// Whether `object` is the function this module bound as `name` on import
// (and not, say, a caller's replacement).
bool is_own_function(PyObject* object, const char* name);

// Sets the argument-count TypeError of the keywords convention and unwinds.
[[noreturn]] void raise_argument_count_error(const char* function, bool all_required,
                                             Py_ssize_t min, Py_ssize_t max, Py_ssize_t given,
                                             Here at = Here());

}  // namespace dorvane

#define DORVANE_FUNCTION(fname)                                                      \
    static ::dorvane::Ref fname##_body(const ::dorvane::Args&);                      \
    static const ::dorvane::Registrar fname##_registrar(#fname, &fname##_body);      \
    static ::dorvane::Ref fname##_body([[maybe_unused]] const ::dorvane::Args& args)
