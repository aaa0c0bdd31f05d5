#include "src/module/runtime.h"

#include "src/module/state.h"

namespace dorvane {

PyObject* constant(Id id) { return state().constants[static_cast<int>(id)]; }

PyObject* constant_int(int value) { return value == 2 ? state().int2 : state().int6; }

PyObject* module_object() { return state().module; }

void raise(const Ref& exception, Here at) {
    PyObject* exc = exception.get();
    if (PyExceptionClass_Check(exc)) {
        PyErr_SetNone(exc);
    } else if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(PyExceptionInstance_Class(exc), exc);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
    }
    raise_pending(at);
}

void raise_unbound_local(const char* name, Here at) {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                 name);
    raise_pending(at);
}

Ref global(Id name, Here at) {
    // Both are plain module objects, whose type defines none of the names
    // looked up here: an attribute lookup is exactly a lookup in their dicts.
    PyObject* key = constant(name);
    if (PyObject* found = pyutil::dict_item(PyModule_GetDict(state().module), key)) {
        return Ref::borrow(found);
    }
    if (PyObject* found = pyutil::dict_item(PyModule_GetDict(state().builtins), key)) {
        return Ref::borrow(found);
    }
    raise_error(PyExc_NameError, key, at);
}

PyObject* global_or_null(Id name) {
    return pyutil::dict_item(PyModule_GetDict(state().module), constant(name));
}

PyObject* companion_original(Id name) {
    static constexpr Id kNames[] = {Id::StreamError, Id::bstream, Id::ustream, Id::fstream,
                                    Id::pstream};
    for (std::size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (kNames[i] != name) continue;
        PyObject* bound = global_or_null(name);
        return bound == state().companion[i] ? bound : nullptr;
    }
    return nullptr;
}

void set_global(Id name, const Ref& value, Here at) {
    if (PyObject_SetAttr(state().module, constant(name), value.get()) < 0) raise_pending(at);
}

void del_global(Id name, Here at) {
    if (PyObject_DelAttr(state().module, constant(name)) < 0) raise_pending(at);
}

Ref attr(const Ref& object, Id name, Here at) {
    return owned_or_raise(PyObject_GetAttr(object.get(), constant(name)), at);
}

Ref call_tuple(const Ref& fn, const Ref& args, int line) {
    return owned_or_raise(PyObject_Call(fn.get(), args.get(), nullptr), Here(line));
}

bool truth(const Ref& object, Here at) {
    PyObject* o = object.get();
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    int answer = PyObject_IsTrue(o);
    if (answer < 0) raise_pending(at);
    return answer != 0;
}

double to_double(const Ref& object, Here at) {
    PyObject* o = object.get();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double value;
    if (!PyBytes_Check(o) && !PyUnicode_Check(o) && Py_TYPE(o)->tp_as_number &&
        Py_TYPE(o)->tp_as_number->nb_float) {
        value = PyFloat_AsDouble(o);
    } else {
        // float() parses text and reports anything else with its own TypeError.
        Ref converted = owned_or_raise(PyNumber_Float(o), at);
        value = PyFloat_AS_DOUBLE(converted.get());
    }
    if (value == -1.0 && PyErr_Occurred()) raise_pending(at);
    return value;
}

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref none() { return Ref::borrow(Py_None); }

Ref new_list(Here at) { return owned_or_raise(PyList_New(0), at); }

void append(const Ref& list, const Ref& value, Here at) {
    if (PyList_Append(list.get(), value.get()) < 0) raise_pending(at);
}

Ref item(const Ref& sequence, Py_ssize_t index, Here at) {
    return owned_or_raise(PySequence_GetItem(sequence.get(), index), at);
}

void set_item(const Ref& sequence, Py_ssize_t index, const Ref& value, Here at) {
    if (PySequence_SetItem(sequence.get(), index, value.get()) < 0) raise_pending(at);
}

namespace detail {

namespace {

using pyutil::HandledException;

}  // namespace

WithExit enter(const Ref& manager, Ref& entered, int line) {
    WithExit exit{attr(manager, Id::__exit__, Here(line)), line};
    Ref enter_method = attr(manager, Id::__enter__, Here(line));
    entered = call(Callee(enter_method, line));
    return exit;
}

bool WithExit::on_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb ? tb : (Py_INCREF(Py_None), Py_None));
    bool suppress;
    {
        HandledException handled(t.get(), v.get(), b.get());
        Ref answer = call(Callee(exit, line), t, v, b);
        suppress = truth(answer, Here(line));
    }
    if (!suppress) {
        PyErr_Restore(t.release(), v.release(), b.get() == Py_None ? nullptr : b.release());
    }
    return suppress;
}

void WithExit::on_success() {
    call_tuple(exit, Ref::borrow(state().none3), line);
}

}  // namespace detail

}  // namespace dorvane
