// The function-object type of the Python-visible kernels: vectorcall entry, the attributes that make
// it look like a Python function to inspect, pydoc and pickle, and the one place where C++ failures
// become Python exceptions.
#pragma once

#include <structmember.h>

#include <cstddef>
#include <iterator>
#include <source_location>
#include <string>

#include "args.hpp"
#include "errors.hpp"

namespace quodex {

using Impl = Ref (*)(Args&);

// A Python-visible function: its name, its parameters, its routine and the line of its definition in
// the module's source file. Made by `define` only.
struct FunctionSpec {
    const char* name;
    const Param* params;
    int count;
    Impl impl;
    int line;
};

namespace detail {

template <class Routine, const auto& P>
Ref invoke(Args& a) {
    return Routine{}(Bound<P>(a));
}

template <class Routine, const auto& P>
consteval FunctionSpec make_spec(const char* name, Ref (Routine::*)(const Bound<P>&) const, int line) {
    static_assert(std::size(P) <= std::size_t(kMaxParams), "more parameters than kMaxParams");
    return FunctionSpec{name, P, int(std::size(P)), &invoke<Routine, P>, line};
}

}  // namespace detail

// Declares a function as data: `define("name", [](const Bound<params>& a) -> Ref { ... })`. The
// parameters come from the routine's argument type and the parameter count from the array; the line
// is that of the `define` call, the function's definition, which its code object and traceback entry
// report.
template <class Routine>
consteval FunctionSpec define(const char* name, Routine,
                              std::source_location where = std::source_location::current()) {
    return detail::make_spec(name, &Routine::operator(), int(where.line()));
}

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Signature sig;
    PyObject* name;         // interned
    PyObject* qualified;    // full module name, a dot, the function name
    const char* qualified_utf8;  // owned by `qualified`
    PyObject* module_name;
    PyObject* defaults;     // tuple or None
    PyObject* code;
    PyObject* annotations;  // dict
    PyObject* names[kMaxParams];
};

namespace detail {

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    try {
        Args a;
        bind(f->sig, a, args, PyVectorcall_NARGS(nargsf), kwnames);
        return f->spec->impl(a).release();
    } catch (...) {
        set_python_error_from_current();
        add_traceback(f->qualified_utf8, f->spec->line);
        return nullptr;
    }
}

inline void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualified);
    Py_XDECREF(f->module_name);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->code);
    Py_XDECREF(f->annotations);
    for (PyObject*& n : f->names) Py_CLEAR(n);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualified, self);
}

// Pickle by reference: the module attribute of this name is this object.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}

// Like Python functions: accessed through an instance, the function binds to it.
inline PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
inline PyObject* get_globals(PyObject*, void*) { return Py_NewRef(ctx().dict ? ctx().dict : Py_None); }

inline PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module_name), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace detail

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
inline PyTypeObject& function_type() {
    static PyTypeObject t = [] {
        PyTypeObject x{PyVarObject_HEAD_INIT(nullptr, 0)};
        x.tp_name = "quodex_function";
        x.tp_basicsize = sizeof(FunctionObject);
        x.tp_dealloc = detail::function_dealloc;
        x.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
        x.tp_repr = detail::function_repr;
        x.tp_call = PyVectorcall_Call;
        x.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
        x.tp_methods = detail::function_methods;
        x.tp_members = detail::function_members;
        x.tp_getset = detail::function_getset;
        x.tp_descr_get = detail::function_get;
        return x;
    }();
    return t;
}
#pragma GCC diagnostic pop

// Python object for a declared default value.
inline Ref default_object(const Default& d) {
    switch (d.tag) {
        case Default::Double: return Ref::check(PyFloat_FromDouble(d.d));
        case Default::Int: return Ref::check(PyLong_FromLong(d.i));
        case Default::Bool: return Ref::borrow(d.i ? Py_True : Py_False);
        default: return Ref::borrow(Py_None);
    }
}

// A code object with the parameters as its arguments, placed at the definition's line.
inline Ref make_code(const FunctionSpec& s) {
    std::string src(s.line > 1 ? s.line - 1 : 0, '\n');
    src += "def ";
    src += s.name;
    src += "(";
    for (int p = 0; p < s.count; ++p) {
        if (p) src += ", ";
        src += s.params[p].name;
    }
    src += "): pass\n";
    Ref module_code = Ref::check(Py_CompileString(src.c_str(), ctx().source_path, Py_file_input));
    Ref consts = Ref::check(PyObject_GetAttrString(module_code.get(), "co_consts"));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(consts.get()); ++k) {
        PyObject* c = PyTuple_GET_ITEM(consts.get(), k);
        if (PyCode_Check(c)) return Ref::borrow(c);
    }
    raise_error(PyExc_SystemError, "no code object compiled");
}

inline Ref make_function(const FunctionSpec& s) {
    auto* f = PyObject_New(FunctionObject, &function_type());
    if (!f) throw_python_error();
    f->vectorcall = detail::function_vectorcall;
    f->spec = &s;
    f->name = f->qualified = f->module_name = f->defaults = f->code = f->annotations = nullptr;
    f->qualified_utf8 = nullptr;
    for (PyObject*& n : f->names) n = nullptr;
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));

    f->name = Ref::check(PyUnicode_InternFromString(s.name)).release();
    f->module_name = Ref::check(PyUnicode_FromString(ctx().full_name)).release();
    f->qualified = Ref::check(PyUnicode_FromFormat("%s.%s", ctx().full_name, s.name)).release();
    if (!(f->qualified_utf8 = PyUnicode_AsUTF8(f->qualified))) throw_python_error();
    int required = 0;
    for (int p = 0; p < s.count; ++p) {
        f->names[p] = Ref::check(PyUnicode_InternFromString(s.params[p].name)).release();
        if (s.params[p].required()) required = p + 1;
    }
    if (required < s.count) {
        Ref t = Ref::check(PyTuple_New(s.count - required));
        for (int p = required; p < s.count; ++p)
            PyTuple_SET_ITEM(t.get(), p - required, default_object(s.params[p].def).release());
        f->defaults = t.release();
    } else {
        f->defaults = Py_NewRef(Py_None);
    }
    f->code = make_code(s).release();
    f->annotations = Ref::check(PyDict_New()).release();
    f->sig = Signature{s.name, s.params, s.count, required, f->names,
                       f->defaults == Py_None ? nullptr : f->defaults};
    return self;
}

}  // namespace quodex
