// Owning reference to a Python object, shared by both extension modules.
//
// Ownership is decided once, where a raw pointer enters: `steal` for a new
// reference returned by the C API, `borrow` for a borrowed one. From then on
// copies incref, destruction decrefs, and `release` hands the reference back
// to the interpreter at the C API boundary. A null Ref means "failed, an
// exception is set" where the C API says so; bodies that throw never see one.
#pragma once

#include <Python.h>

#include <utility>

namespace pyutil {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Gives up ownership, for returning a new reference to the interpreter.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace pyutil
