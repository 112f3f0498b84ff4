// Per-module state of the frame. Every extension module compiles the frame into its own shared
// object with hidden visibility, so each module has exactly one Context of its own.
#pragma once

#include "python.hpp"

namespace quodex {

struct Context {
    const char* short_name = nullptr;   // module definition name, e.g. "deconvolution"
    const char* full_name = nullptr;    // dotted import name
    const char* source_path = nullptr;  // file name shown in traceback entries and __code__
    PyObject* module = nullptr;         // strong; set while executed
    PyObject* dict = nullptr;           // borrowed from module
    PyTypeObject* ndarray = nullptr;    // strong
    PyObject* empty_str = nullptr;      // strong
    PyObject* s_np = nullptr;           // interned "np"
    PyObject* s_dtype = nullptr;        // interned "dtype"
    PyObject* kw_dtype = nullptr;       // ("dtype",) for keyword calls into NumPy
    PyObject* code_cache = nullptr;     // strong; (name, line) -> code of a traceback entry
};

inline Context& ctx() {
    static Context c;
    return c;
}

}  // namespace quodex
