// What the Python-facing sources of ondrel share: error plumbing, the
// lock-release helper, text/bytes conversions and the type objects.
//
// Inside the module every failure is a C++ exception. `PythonError` means a
// Python exception is already set (pyutil/errors.h names the ways to throw
// it); anything else (CodecError, std::system_error, std::bad_alloc) is
// turned into one by set_error_from_current(), the only place that knows
// how. Slot and method entry points wrap their bodies in guard() so no
// exception ever reaches the interpreter.
//
// Include this first: Python.h must precede every system header.
#pragma once

#include "pyutil/compat.h"

#include <cstddef>
#include <exception>
#include <string>
#include <type_traits>

#include "ondrel/interrupt.h"
#include "ondrel/result.h"
#include "pyutil/errors.h"
#include "pyutil/ref.h"

namespace ondrel {

using pyutil::owned_or_raise;
using pyutil::raise_error;
using pyutil::raise_if_negative;
using pyutil::raise_pending;
using pyutil::no_keywords;
using pyutil::Ref;

// StreamError codes of our own. Failures the system reports keep its errno.
constexpr int kCorruptData = 5;    // EIO: a codec rejected its input
constexpr int kUnknownFilter = 6;  // ENXIO: no codec of that name in this build

extern PyObject* StreamError;
extern PyTypeObject UStreamType;
extern PyTypeObject BStreamType;
extern PyTypeObject FStreamType;
extern PyTypeObject PStreamType;

// How a system error becomes a Python one at a given entry point: the
// exception class (IOError for files, OSError for processes) and the file
// name, if any, to attach to it and to prefix codec messages with.
struct ErrorContext {
    PyObject* os_error = PyExc_OSError;
    Ref filename;
};

// Sets the Python exception for the C++ exception being handled, and
// returns: the caller reports failure. Only valid inside a catch block.
void set_error_from_current(const ErrorContext& context) noexcept;

// Runs `body` (returning a Ref, or an int status) and maps any exception to
// a Python one. `context` is read only after `body` has unwound, so a body
// may fill in the file name once it knows it.
template <class Body>
auto guard(const ErrorContext& context, Body&& body) noexcept {
    using Result = decltype(body());
    try {
        if constexpr (std::is_same_v<Result, Ref>)
            return body().release();
        else
            return body();
    } catch (...) {
        set_error_from_current(context);
        if constexpr (std::is_same_v<Result, Ref>)
            return static_cast<PyObject*>(nullptr);
        else
            return Result(-1);
    }
}

template <class Body>
auto guard(Body&& body) noexcept {
    ErrorContext context;
    return guard(context, static_cast<Body&&>(body));
}

namespace detail {
// The interpreter lock released for the lifetime of the object, with
// check_interrupt() able to take it back in between.
class Released {
public:
    Released();
    ~Released();
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    friend void ondrel::check_interrupt_now();
    PyThreadState* state_;
    Released* outer_;
};
}  // namespace detail

// Runs `work` with the interpreter lock released. `work` must not touch
// Python objects or the Python allocator. Its exceptions are carried across
// the lock re-acquisition and rethrown here; PythonError among them when
// check_interrupt() inside `work` found a signal handler raising.
template <class Work>
void without_gil(Work&& work) {
    std::exception_ptr failure;
    {
        detail::Released released;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

// For letting go of what may wait for its workers (an encoder, a
// transfer), where a signal handler raising would have nowhere to go.
using pyutil::LockReleased;

// --- text (ustream.cpp) ---------------------------------------------------

// The file-system encoding, both ways. A path (errors null) is decoded as
// pyutil/compat.h says; other text with the codec machinery's `errors`.
Ref fs_decode(const char* data, std::size_t size, const char* errors = nullptr);
std::string fs_encode(PyObject* text);

// fs_encode for something handed to the OS as a C string.
std::string fs_encode_path(PyObject* text, const char* what);

// A path or text as given: bytes in the file-system encoding, or text.
inline bool is_text(PyObject* o) { return PyBytes_Check(o) || PyUnicode_Check(o); }

// text, or bytes decoded with the file-system encoding, as a text object.
Ref text_of(PyObject* o);

// ustream's argument rules, giving plain text: text, bytes, an os.PathLike,
// or a list/tuple of those joined as path components. `who` starts the TypeError message.
Ref path_text(PyObject* arg, const char* who);

// A new ustream holding `text`.
Ref make_ustream(PyObject* text);

// The exact text of a text (subclass) object.
Ref plain_unicode(PyObject* text);

// --- bytes (bstream.cpp) --------------------------------------------------

Ref make_bstream(const char* data, std::size_t size);
inline Ref make_bstream(const std::string& data) { return make_bstream(data.data(), data.size()); }
// The memory of a bstream to be filled without the lock (result.h), and the
// bstream it then becomes, without a copy where that matters.
ResultBuffer result_buffer(std::size_t expected = 0);
Ref make_bstream(ResultBuffer& filled);

// str, buffer or bytearray content, or unicode as UTF-8, as a str object
// (immutable, so it can be read with the lock released).
Ref bytes_of(PyObject* o, const char* who);

// --- module assembly ------------------------------------------------------

void add_ustream(PyObject* module);
void add_bstream(PyObject* module);
void add_fstream(PyObject* module);
void add_pstream(PyObject* module);

}  // namespace ondrel
