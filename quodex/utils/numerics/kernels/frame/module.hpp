// Multi-phase module definition: the create and exec slots, NumPy's array API import and checks,
// and the helpers through which routines reach the module-global `np`.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#pragma GCC diagnostic pop

#include <cstdio>
#include <string>

#include "errors.hpp"
#include "function.hpp"

namespace quodex {

struct ModuleSpec {
    const char* short_name;
    const char* full_name;
    const char* source_path;
    const FunctionSpec* functions;
    int count;
    int init_line;  // line reported by the "init" traceback entry

    template <std::size_t N>
    constexpr ModuleSpec(const char* short_name_, const char* full_name_, const char* source_path_,
                         const FunctionSpec (&functions_)[N], int init_line_)
        : short_name(short_name_), full_name(full_name_), source_path(source_path_), functions(functions_),
          count(int(N)), init_line(init_line_) {}
};

namespace detail {

inline const ModuleSpec*& module_spec() {
    static const ModuleSpec* s = nullptr;
    return s;
}

inline PyObject*& created_module() {
    static PyObject* m = nullptr;
    return m;
}

inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
    static std::int64_t first_interpreter = -1;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (first_interpreter == -1) {
        first_interpreter = id;
    } else if (first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (created_module()) return Py_NewRef(created_module());
    try {
        Ref name = Ref::check(PyObject_GetAttrString(spec, "name"));
        Ref module = Ref::check(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        const char* copies[][2] = {
            {"loader", "__loader__"}, {"origin", "__file__"}, {"parent", "__package__"},
            {"submodule_search_locations", "__path__"}};
        for (auto& [from, to] : copies) {
            PyObject* value = PyObject_GetAttrString(spec, from);
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
                PyErr_Clear();
                continue;
            }
            Ref v = Ref::steal(value);
            if (v.get() == Py_None && std::string(to) == "__path__") continue;
            if (PyDict_SetItemString(dict, to, v.get()) < 0) throw_python_error();
        }
        created_module() = Py_NewRef(module.get());
        return module.release();
    } catch (const PythonError&) {
        return nullptr;
    }
}

inline void check_interpreter_version(const ModuleSpec& s) {
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, s.full_name, "does not match", major, minor) < 0)
            throw_python_error();
    }
}

// Imports NumPy's native array API; any failure becomes the one ImportError NumPy users know.
inline void import_numpy_api() {
    try {
        PyObject* mod = PyImport_ImportModule("numpy._core._multiarray_umath");
        if (!mod && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
            PyErr_Clear();
            mod = PyImport_ImportModule("numpy.core._multiarray_umath");
        }
        Ref m = Ref::check(mod);
        Ref capsule = Ref::check(PyObject_GetAttrString(m.get(), "_ARRAY_API"));
        if (!PyCapsule_CheckExact(capsule.get())) throw_python_error();
        void* api = PyCapsule_GetPointer(capsule.get(), nullptr);
        if (!api) throw_python_error();
        PyArray_API = static_cast<void**>(api);
        if (PyArray_GetNDArrayCVersion() > 0x2000000) throw_python_error();
        const unsigned feature = PyArray_GetNDArrayCFeatureVersion();
        if (feature < 0xe) throw_python_error();
        if (PyArray_GetEndianness() != NPY_CPU_LITTLE) throw_python_error();
#if NPY_ABI_VERSION >= 0x02000000
        PyArray_RUNTIME_VERSION = static_cast<int>(feature);
#endif
    } catch (const PythonError&) {
        PyArray_API = nullptr;
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                        "numpy.core.multiarray failed to import (auto-generated because you didn't call "
                        "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable "
                        "if you are certain you don't need it).");
        throw;
    }
}

inline void make_constants(Context& c) {
    if (!c.empty_str) c.empty_str = Ref::check(PyUnicode_FromString("")).release();
    if (!c.s_np) c.s_np = Ref::check(PyUnicode_InternFromString("np")).release();
    if (!c.s_dtype) c.s_dtype = Ref::check(PyUnicode_InternFromString("dtype")).release();
    if (!c.kw_dtype) c.kw_dtype = Ref::check(PyTuple_Pack(1, c.s_dtype)).release();
}

inline int module_exec(PyObject* m) {
    const ModuleSpec& s = *module_spec();
    Context& c = ctx();
    if (c.module) {
        if (c.module == m) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", s.short_name);
        return -1;
    }
    const std::string init_name = std::string("init ") + s.full_name;
    try {
        c.module = Py_NewRef(m);
        c.dict = PyModule_GetDict(m);
        {
            Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
            if (PyDict_SetItemString(c.dict, "__builtins__", builtins.get()) < 0) throw_python_error();
        }
        check_interpreter_version(s);
        make_constants(c);
        import_numpy_api();
        if (PyType_Ready(&function_type()) < 0) throw_python_error();
        {
            PyObject* modules = PyImport_GetModuleDict();
            Ref key = Ref::check(PyUnicode_FromString(s.full_name));
            const int has = PyDict_Contains(modules, key.get());
            if (has < 0) throw_python_error();
            if (!has && PyDict_SetItem(modules, key.get(), m) < 0) throw_python_error();
        }
        PyTypeObject* ndarray = &PyArray_Type;
        if (!ndarray || !PyType_Check(reinterpret_cast<PyObject*>(ndarray))) throw_python_error();
        Py_XSETREF(c.ndarray, reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(ndarray))));
        {
            Ref np = Ref::check(PyImport_ImportModule("numpy"));
            if (PyDict_SetItem(c.dict, c.s_np, np.get()) < 0) throw_python_error();
        }
        for (int k = 0; k < s.count; ++k) {
            Ref f = make_function(s.functions[k]);
            if (PyDict_SetItemString(c.dict, s.functions[k].name, f.get()) < 0) throw_python_error();
        }
        Ref test = Ref::check(PyDict_New());
        if (PyDict_SetItemString(c.dict, "__test__", test.get()) < 0) throw_python_error();
        return 0;
    } catch (...) {
        set_python_error_from_current();
        if (c.dict) add_traceback(init_name.c_str(), s.init_line);
        Py_CLEAR(c.module);
        c.dict = nullptr;
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, init_name.c_str());
        return -1;
    }
}

}  // namespace detail

// Looks up `np` in the module namespace at each use, so rebinding it takes effect.
inline PyObject* module_np() {
    const Context& c = ctx();
    PyObject* np = PyDict_GetItemWithError(c.dict, c.s_np);
    if (!np) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", c.s_np);
        throw_python_error();
    }
    return np;
}

inline Ref np_attr(PyObject* name) { return Ref::check(PyObject_GetAttr(module_np(), name)); }

inline Ref np_attr(const char* name) { return Ref::check(PyObject_GetAttrString(module_np(), name)); }

}  // namespace quodex

// Defines the module definition and its exported init entry point.
#define QUODEX_MODULE(short_name_, spec_)                                                              \
    static PyModuleDef_Slot quodex_module_slots[] = {                                                  \
        {Py_mod_create, reinterpret_cast<void*>(quodex::detail::module_create)},                      \
        {Py_mod_exec, reinterpret_cast<void*>(quodex::detail::module_exec)},                          \
        {0, nullptr}};                                                                                 \
    static PyModuleDef quodex_module_def = {PyModuleDef_HEAD_INIT, #short_name_, nullptr, 0, nullptr, \
                                            quodex_module_slots, nullptr, nullptr, nullptr};           \
    PyMODINIT_FUNC PyInit_##short_name_(void) {                                                        \
        quodex::detail::module_spec() = &(spec_);                                                      \
        quodex::ctx().short_name = (spec_).short_name;                                                 \
        quodex::ctx().full_name = (spec_).full_name;                                                   \
        quodex::ctx().source_path = (spec_).source_path;                                               \
        return PyModuleDef_Init(&quodex_module_def);                                                   \
    }
