// The runtime layer every function body stands on.
//
// Bodies are written as straight sequences of steps. Each operation here
// either succeeds or sets a Python exception and throws `PythonError`
// (pyutil/errors.h), carrying the body's source line; the function's entry
// point catches it, adds the one traceback entry and returns failure to the
// interpreter. Owning references (`Ref`) release everything on the way out.
#pragma once

#include "pyutil/compat.h"

#include <cstddef>
#include <initializer_list>

#include "pyutil/errors.h"
#include "pyutil/ref.h"
#include "src/module/names.h"

namespace dorvane {

using pyutil::Here;
using pyutil::owned_or_raise;
using pyutil::PythonError;
using pyutil::raise_error;
using pyutil::raise_pending;
using pyutil::Ref;

// A callable plus the line of the call, so `call` can take a parameter pack.
struct Callee {
    const Ref& fn;
    int line;
    Callee(const Ref& f, int l = __builtin_LINE()) : fn(f), line(l) {}  // NOLINT
};

// ---- constants -----------------------------------------------------------

// The constant created at initialisation for `id` (borrowed, never null
// after a successful import).
PyObject* constant(Id id);

// The two integer constants: 2 (a missing path) and 6 (a rejected filter).
PyObject* constant_int(int value);

// ---- failing ---------------------------------------------------------------

// raise_pending (the exception is already set), owned_or_raise and
// raise_error come from pyutil/errors.h, shared with ondrel.

// The `raise` statement: makes `exception` (an instance or a class) the
// current exception, with the statement's checks, and unwinds.
[[noreturn]] void raise(const Ref& exception, Here at = Here());

// Sets "local variable '<name>' referenced before assignment" and unwinds.
[[noreturn]] void raise_unbound_local(const char* name, Here at = Here());

// ---- names -----------------------------------------------------------------

PyObject* module_object();

// The module attribute `name` at this moment, else the built-in of that
// name, else NameError(name). Never cached: rebinding takes effect at once.
Ref global(Id name, Here at = Here());
void set_global(Id name, const Ref& value, Here at = Here());
void del_global(Id name, Here at = Here());

// The module attribute `name` (not a built-in), or null; never fails.
PyObject* global_or_null(Id name);

// The module attribute `name` while it is still what the companion module
// gave at import (one of StreamError, bstream, ustream, fstream, pstream),
// else null; borrowed.
PyObject* companion_original(Id name);
inline bool is_companion_original(Id name) { return companion_original(name) != nullptr; }

Ref attr(const Ref& object, Id name, Here at = Here());

// ---- calls -------------------------------------------------------------------

inline PyObject* raw(const Ref& r) { return r.get(); }
inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(Id id) { return constant(id); }

Ref call_tuple(const Ref& fn, const Ref& args, int line);

template <class... A>
Ref call(Callee f, const A&... args) {
    PyObject* items[] = {raw(args)..., nullptr};
    return owned_or_raise(pyutil::call_objects(f.fn.get(), items, sizeof...(A)), Here(f.line));
}

// fn(*args, key=value): the one keyword the bodies pass.
template <class... A>
Ref call_with_keyword(Callee f, Id key, const Ref& value, const A&... args) {
    Ref kwargs = owned_or_raise(PyDict_New(), Here(f.line));
    if (PyDict_SetItem(kwargs.get(), constant(key), value.get()) < 0) raise_pending(Here(f.line));
    PyObject* items[] = {raw(args)..., nullptr};
    Ref tuple = owned_or_raise(pyutil::tuple_of(items, sizeof...(A)), Here(f.line));
    return owned_or_raise(PyObject_Call(f.fn.get(), tuple.get(), kwargs.get()), Here(f.line));
}

// ---- values ------------------------------------------------------------------

// True/False/None decided at once; anything else through the truth protocol.
bool truth(const Ref& object, Here at = Here());

// A float is read directly, str/unicode parsed, anything else as float() would.
double to_double(const Ref& object, Here at = Here());

Ref boolean(bool value);
Ref none();
Ref new_list(Here at = Here());
void append(const Ref& list, const Ref& item, Here at = Here());
Ref item(const Ref& sequence, Py_ssize_t index, Here at = Here());
void set_item(const Ref& sequence, Py_ssize_t index, const Ref& value, Here at = Here());

// ---- with blocks ---------------------------------------------------------------

// `with manager as entered: body(entered)`. __exit__ is fetched before
// __enter__ is called; a failing body's exception reaches __exit__ and
// propagates unless __exit__ answers true.
template <class Body>
void with_block(const Ref& manager, Body&& body, Here at = Here());

namespace detail {
struct WithExit {
    Ref exit;
    int line;
    // Called with the failing body's exception set; true when suppressed.
    bool on_error();
    void on_success();
};
WithExit enter(const Ref& manager, Ref& entered, int line);
}  // namespace detail

template <class Body>
void with_block(const Ref& manager, Body&& body, Here at) {
    Ref entered;
    detail::WithExit exit = detail::enter(manager, entered, at.line);
    try {
        body(entered);
    } catch (const PythonError&) {
        if (exit.on_error()) return;
        throw;
    }
    exit.on_success();
}

}  // namespace dorvane
