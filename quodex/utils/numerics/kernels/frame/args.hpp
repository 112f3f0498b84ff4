// Parameter kinds, their declaration as data, and the binder: positional and keyword matching,
// then the three conversion passes (scalars and views; type tests; array buffers) and the refusal of
// None where a parameter declares it.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "buffer.hpp"
#include "context.hpp"

namespace quodex {

enum class Kind : unsigned char {
    Array,         // numpy.ndarray (or subclass) or None; buffer acquired read-only
    WritableView,  // any writable 1-D exporter of doubles, or None
    ReadView,      // any exporter, read-only accepted, or None
    Double,
    Int,           // signed 32-bit
    Flag,          // True, False or None
};

struct Default {
    enum Tag : unsigned char { None, Double, Int, Bool } tag = None;
    double d = 0.0;
    long i = 0;
    constexpr Default() = default;
    constexpr Default(double v) : tag(Double), d(v) {}
    constexpr Default(int v) : tag(Int), i(v) {}
    constexpr Default(bool v) : tag(Bool), i(v) {}
};

struct Param {
    const char* name;
    Kind kind;
    Elem elem = Elem::Double;
    int ndim = 1;
    Default def{};
    // For an array parameter: None is refused with the incorrect-type TypeError naming the parameter,
    // after every argument is converted (the binder accepts None otherwise).
    bool refuse_none = false;
    constexpr bool required() const { return def.tag == Default::None; }
};

constexpr int kMaxParams = 9;

// Index of the parameter called `name`; a name that is not declared does not compile.
template <std::size_t N>
consteval int param_index(const Param (&params)[N], std::string_view name) {
    for (std::size_t k = 0; k < N; ++k)
        if (std::string_view(params[k].name) == name) return static_cast<int>(k);
    throw "no parameter of this name";
}

// A parameter of the list P, written as its name and resolved to its index at compile time.
template <const auto& P>
struct ParamName {
    int index;
    consteval ParamName(const char* name) : index(param_index(P, name)) {}
};

// One bound argument after conversion. The object is borrowed from the call or the defaults.
struct Arg {
    PyObject* obj = nullptr;
    Buffer buffer;
    double d = 0.0;
    std::int32_t i = 0;
    bool flag = false;
};

class Args {
public:
    PyObject* object(int k) const { return a_[k].obj; }
    bool is_none(int k) const { return a_[k].obj == Py_None; }
    double number(int k) const { return a_[k].d; }
    std::int32_t integer(int k) const { return a_[k].i; }
    bool flag(int k) const { return a_[k].flag; }
    const Buffer& buffer(int k) const { return a_[k].buffer; }
    template <class T>
    Strided<T> view(int k) const { return a_[k].buffer.as1d<T>(); }
    template <class T>
    Strided2D<T> view2d(int k) const { return a_[k].buffer.as2d<T>(); }

    Arg& operator[](int k) { return a_[k]; }

private:
    std::array<Arg, kMaxParams> a_{};
};

// Conversions shared by arguments and by values the routines produce themselves.
inline double to_double(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw_python_error();
    return v;
}

inline std::int32_t long_to_int32(PyObject* o) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_python_error();
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        raise_error(PyExc_OverflowError, "value too large to convert to %.200s", "int");
    }
    return static_cast<std::int32_t>(v);
}

inline std::int32_t to_int32(PyObject* o) {
    if (PyLong_Check(o)) return long_to_int32(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        raise_error(PyExc_TypeError, "an integer is required");
    }
    Ref r = Ref::check(nb->nb_int(o));
    if (!PyLong_CheckExact(r.get())) {
        if (!PyLong_Check(r.get())) {
            raise_error(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            throw_python_error();
    }
    return long_to_int32(r.get());
}

[[noreturn]] inline void raise_incorrect_type(const char* name, const char* expected, PyObject* got) {
    raise_error(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", name,
                 expected, Py_TYPE(got)->tp_name, "", ctx().empty_str);
}

inline bool is_ndarray(PyObject* o) { return PyObject_TypeCheck(o, ctx().ndarray); }

// Acquires a 1-D or 2-D view of `obj` as a typed view parameter (None gives an empty view).
inline void acquire_view(Buffer& buf, PyObject* obj, const Param& p) {
    if (obj == Py_None) return;
    const int flags = PyBUF_FORMAT | PyBUF_STRIDES | (p.kind == Kind::WritableView ? PyBUF_WRITABLE : 0);
    buf.acquire(obj, flags);
    validate_buffer(buf.view(), p.ndim, p.elem, true);
}

// Acquires an array argument's buffer (type already tested).
inline void acquire_array(Buffer& buf, PyObject* obj, const Param& p, bool writable = false) {
    if (obj == Py_None) return;
    buf.acquire(obj, PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0));
    validate_buffer(buf.view(), p.ndim, p.elem, false);
}

// Stores an object made by a routine into a typed array variable: must be an ndarray (or None),
// acquired writable with the declared dimensions and element type.
inline void acquire_result(Buffer& buf, PyObject* obj, Elem elem, int ndim) {
    if (obj != Py_None && !is_ndarray(obj)) {
        raise_error(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(obj)->tp_name,
                     ctx().ndarray->tp_name);
    }
    acquire_array(buf, obj, Param{"", Kind::Array, elem, ndim}, true);
}

struct Signature {
    const char* name;
    const Param* params;
    int count;
    int required;
    PyObject* const* names;  // interned parameter names
    PyObject* defaults;      // tuple of default values of the trailing parameters, or nullptr
};

[[noreturn]] inline void raise_arg_count(const Signature& s, Py_ssize_t given) {
    const bool exact = s.required == s.count;
    Py_ssize_t expected;
    const char* how;
    if (given < s.required) {
        expected = s.required;
        how = "at least";
    } else {
        expected = s.count;
        how = "at most";
    }
    if (exact) how = "exactly";
    raise_error(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name, how,
                 expected, expected == 1 ? "" : "s", given);
}

// Binds a vectorcall into `out`, then converts in three passes. Throws PythonError on failure.
inline void bind(const Signature& s, Args& out, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > s.count || (nkw == 0 && nargs < s.required)) raise_arg_count(s, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) out[int(k)].obj = args[k];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            raise_error(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
        }
        int found = -1;
        for (int p = int(nargs); p < s.count && found < 0; ++p)
            if (s.names[p] == key) found = p;
        for (int p = int(nargs); p < s.count && found < 0; ++p) {
            const int eq = PyUnicode_Compare(s.names[p], key);
            if (eq == -1 && PyErr_Occurred()) throw_python_error();
            if (eq == 0) found = p;
        }
        if (found < 0) {
            for (int p = 0; p < nargs; ++p) {
                const int eq = PyUnicode_Compare(s.names[p], key);
                if (eq == -1 && PyErr_Occurred()) throw_python_error();
                if (eq == 0) {
                    raise_error(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
                }
            }
            raise_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
        }
        if (out[found].obj) {
            raise_error(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
        }
        out[found].obj = args[nargs + k];
    }
    for (int p = 0; p < s.required; ++p) {
        if (!out[p].obj) {
            int set = 0;
            while (set < s.count && out[set].obj) ++set;
            raise_arg_count(s, set);
        }
    }
    for (int p = s.required; p < s.count; ++p)
        if (!out[p].obj) out[p].obj = PyTuple_GET_ITEM(s.defaults, p - s.required);

    for (int p = 0; p < s.count; ++p) {
        const Param& par = s.params[p];
        Arg& a = out[p];
        switch (par.kind) {
            case Kind::Double: a.d = to_double(a.obj); break;
            case Kind::Int: a.i = to_int32(a.obj); break;
            case Kind::WritableView:
            case Kind::ReadView: acquire_view(a.buffer, a.obj, par); break;
            default: break;
        }
    }
    for (int p = 0; p < s.count; ++p) {
        const Param& par = s.params[p];
        PyObject* o = out[p].obj;
        if (par.kind == Kind::Array && o != Py_None && !is_ndarray(o)) raise_incorrect_type(par.name, "numpy.ndarray", o);
        if (par.kind == Kind::Flag) {
            if (o == Py_True) out[p].flag = true;
            else if (o == Py_False || o == Py_None) out[p].flag = false;
            else raise_incorrect_type(par.name, "bool", o);
        }
    }
    for (int p = 0; p < s.count; ++p)
        if (s.params[p].kind == Kind::Array) acquire_array(out[p].buffer, out[p].obj, s.params[p]);
    for (int p = 0; p < s.count; ++p) {
        const Param& par = s.params[p];
        if (par.refuse_none && out[p].obj == Py_None)
            raise_incorrect_type(par.name, "numpy.ndarray", Py_None);
    }
}

// The bound arguments as a routine of a function with the parameters P sees them: addressed by
// parameter name, so a routine never depends on where a parameter stands in the list.
template <const auto& P>
class Bound {
public:
    using Name = ParamName<P>;

    explicit Bound(const Args& a) : a_(a) {}

    static constexpr const Param& param(Name n) { return P[n.index]; }
    PyObject* object(Name n) const { return a_.object(n.index); }
    bool is_none(Name n) const { return a_.is_none(n.index); }
    double number(Name n) const { return a_.number(n.index); }
    std::int32_t integer(Name n) const { return a_.integer(n.index); }
    bool flag(Name n) const { return a_.flag(n.index); }
    const Buffer& buffer(Name n) const { return a_.buffer(n.index); }
    template <class T>
    Strided<T> view(Name n) const { return a_.view<T>(n.index); }
    template <class T>
    Strided2D<T> view2d(Name n) const { return a_.view2d<T>(n.index); }

    // Refuses None in every array parameter, in parameter order, from inside the routine (where the
    // routine's own traceback entry is wanted; the binder refuses it before any routine runs).
    void refuse_none_arrays() const {
        for (int k = 0; k < int(std::size(P)); ++k)
            if (P[k].kind == Kind::Array && a_.is_none(k)) raise_incorrect_type(P[k].name, "numpy.ndarray", Py_None);
    }

private:
    const Args& a_;
};

}  // namespace quodex
