// Raising with exact messages, translating C++ exceptions at the boundary, traceback entries.
#pragma once

#include <frameobject.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "context.hpp"
#include "core/views.hpp"

namespace quodex {

[[noreturn]] inline void raise_index_error(int axis) {
    raise_error(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

// Turns the exception being handled into a set Python exception. Call only inside a catch block.
inline void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const OutOfBounds& e) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", e.axis);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// The code object of a traceback entry, made once per (name, line): a new code object per raised
// error would intern and drop its names each time, churning the interpreter's table of names.
// Returns a new reference, or nullptr with an error set.
inline PyCodeObject* traceback_code(const char* funcname, int line) {
    Context& c = ctx();
    if (!c.code_cache && !(c.code_cache = PyDict_New())) return nullptr;
    PyObject* key = Py_BuildValue("(si)", funcname, line);
    if (!key) return nullptr;
    PyObject* code = PyDict_GetItemWithError(c.code_cache, key);
    if (code) {
        Py_DECREF(key);
        return reinterpret_cast<PyCodeObject*>(Py_NewRef(code));
    }
    if (!PyErr_Occurred()) {
        code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(c.source_path, funcname, line));
        if (code && PyDict_SetItem(c.code_cache, key, code) < 0) Py_CLEAR(code);
    }
    Py_DECREF(key);
    return reinterpret_cast<PyCodeObject*>(code);
}

// Adds one traceback entry named `funcname` at `line` of the module's source path to the set exception.
inline void add_traceback(const char* funcname, int line) noexcept {
    const Context& c = ctx();
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyCodeObject* code = traceback_code(funcname, line);
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (!code) return;
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, c.dict, nullptr);
    Py_DECREF(code);
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// A named routine of a module, for its traceback entry.
struct Routine {
    const char* qualified_name;
    int line;
};

// Runs `body`; if anything escapes it, the Python exception is set and the routine's entry added.
template <class F>
decltype(auto) traced(const Routine& where, F&& body) {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current();
        add_traceback(where.qualified_name, where.line);
        throw_python_error();
    }
}

}  // namespace quodex
