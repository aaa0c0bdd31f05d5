#include "src/module/guard.h"

#include "src/module/state.h"

namespace dorvane {

Ref to_ustream(const Ref& value, Here at) { return call(Callee(global(Id::ustream, at), at.line), value); }

Ref ustream_list(const Ref& iterable, Here at) {
    Ref items = new_list(at);
    Ref iterator = owned_or_raise(PyObject_GetIter(iterable.get()), at);
    while (PyObject* next = PyIter_Next(iterator.get())) {
        append(items, to_ustream(Ref::steal(next), at), at);
    }
    if (PyErr_Occurred()) raise_pending(at);
    return items;
}

Ref text_of(const Ref& ustream, Here at) { return attr(ustream, Id::_unicode_, at); }

Ref module_function(Id module, Id name, Here at) { return attr(global(module, at), name, at); }

Ref os_path_function(Id name, Here at) {
    return attr(attr(global(Id::os, at), Id::path, at), name, at);
}

void require_existing(const Ref& path, Here at) {
    Ref exists = global(Id::exists, at);
    if (truth(call(Callee(exists, at.line), path), at)) return;
    raise_missing(text_of(path, at), at);
}

void raise_missing(const Ref& text, Here at) {
    Ref error = call(Callee(Ref::borrow(state().os_error), at.line), constant_int(2),
                     Id::no_such_file, text);
    raise(error, at);
}

Ref int_type() { return Ref::borrow(reinterpret_cast<PyObject*>(pyutil::int_type())); }
Ref tuple_type() { return Ref::borrow(reinterpret_cast<PyObject*>(&PyTuple_Type)); }
Ref list_type() { return Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type)); }

}  // namespace dorvane
