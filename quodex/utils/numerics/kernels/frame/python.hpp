// Owning references and the C++ exception that means "a Python exception is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <utility>

namespace quodex {

// Thrown after a Python exception has been set; the boundary returns NULL for it.
struct PythonError {};

// Unwinds to the boundary when the C API has already set the exception.
[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Raises `type` with a message formatted as PyErr_Format formats it.
[[noreturn]] inline void raise_error(PyObject* type, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PythonError{};
}

// Owning reference: releases its object when it goes out of scope.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    // For results of the C API: NULL means an exception is set.
    static Ref check(PyObject* o) {
        if (!o) throw_python_error();
        return Ref(o);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace quodex
