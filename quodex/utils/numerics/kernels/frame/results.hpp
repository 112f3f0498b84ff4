// Result arrays made through the module-global `np` and filled from C++ storage.
#pragma once

#include <cstring>
#include <vector>

#include "args.hpp"
#include "module.hpp"

namespace quodex {

inline PyObject* interned(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw_python_error();
    return o;
}

// Calls np.<func>(arg, dtype=np.<dtype>); a null `dtype` omits the keyword.
inline Ref np_call(PyObject* func_name, PyObject* arg, PyObject* dtype_name) {
    Ref func = np_attr(func_name);
    if (!dtype_name) {
        PyObject* argv[] = {arg};
        return Ref::check(PyObject_Vectorcall(func.get(), argv, 1, nullptr));
    }
    Ref dtype = np_attr(dtype_name);
    PyObject* argv[] = {arg, dtype.get()};
    return Ref::check(PyObject_Vectorcall(func.get(), argv, 1, ctx().kw_dtype));
}

template <class T>
constexpr Elem elem_of() {
    if constexpr (std::is_same_v<T, double>) return Elem::Float64;
    else if constexpr (std::is_same_v<T, std::int64_t>) return Elem::Int64;
    else return Elem::Int32;
}

template <class T>
PyObject* dtype_name_of() {
    static PyObject* name = interned(std::is_same_v<T, double>         ? "float64"
                                     : std::is_same_v<T, std::int64_t> ? "int64"
                                                                       : "int32");
    return name;
}

// A new 1-D array of `n` elements from np.<func>(n, dtype=...), acquired as a typed array variable.
// An array of another length than asked for is refused before anything is written.
template <class T>
Ref new_vector(PyObject* func_name, std::ptrdiff_t n, Buffer& buf) {
    Ref len = Ref::check(PyLong_FromSsize_t(n));
    Ref arr = np_call(func_name, len.get(), dtype_name_of<T>());
    acquire_result(buf, arr.get(), elem_of<T>(), 1);
    if (buf.length(0) != n) raise_index_error(0);
    return arr;
}

template <class T>
Ref array_from(const T* v, std::size_t n) {
    static PyObject* s_empty = interned("empty");
    Buffer buf;
    Ref arr = new_vector<T>(s_empty, static_cast<std::ptrdiff_t>(n), buf);
    Strided<T> out = buf.as1d<T>();
    if (out.contiguous()) {
        if (n) std::memcpy(out.data, v, n * sizeof(T));
    } else {
        for (std::size_t k = 0; k < n; ++k) out[static_cast<std::ptrdiff_t>(k)] = v[k];
    }
    return arr;
}

template <class T>
Ref array_from(const std::vector<T>& v) {
    return array_from(v.data(), v.size());
}

// A result vector filled in place and cut to its final length, for results whose length is known
// only at the end: np.empty(n, dtype=...) is checked as every result is, and kept only if it can be
// written through its data pointer and cut without a copy (an ndarray of exactly that type, C
// contiguous, writeable, owning its data, referenced by nothing else); otherwise null, and the caller
// keeps the values itself and makes the result with array_from.
template <class T>
Ref fillable_vector(std::ptrdiff_t n) {
    static PyObject* s_empty = interned("empty");
    Ref arr;
    {
        Buffer buf;
        arr = new_vector<T>(s_empty, n, buf);
    }
    PyObject* o = arr.get();
    if (Py_TYPE(o) != &PyArray_Type || Py_REFCNT(o) != 1) return Ref();
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
    constexpr int flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED | NPY_ARRAY_OWNDATA;
    if (!PyArray_CHKFLAGS(a, flags) || PyArray_BASE(a)) return Ref();  // dtype checked by new_vector
    return arr;
}

template <class T>
T* vector_data(const Ref& arr) noexcept {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
}

// Cuts an array from fillable_vector to its first n elements: NumPy reallocates, which shrinks in place.
inline void cut_vector(const Ref& arr, std::ptrdiff_t n) {
    npy_intp len = n;
    PyArray_Dims dims{&len, 1};
    Ref::check(PyArray_Resize(reinterpret_cast<PyArrayObject*>(arr.get()), &dims, 0, NPY_CORDER));
}

// Sparse response rows as the tuple (offsets int64, indices int32, values float64).
inline Ref rows_tuple(const std::vector<std::int64_t>& offsets, const std::vector<std::int32_t>& indices,
                      const std::vector<double>& values) {
    Ref o = array_from(offsets);
    Ref i = array_from(indices);
    Ref v = array_from(values);
    return Ref::check(PyTuple_Pack(3, o.get(), i.get(), v.get()));
}

// The same from C++ storage of `n` entries.
inline Ref rows_tuple(const std::vector<std::int64_t>& offsets, const std::int32_t* indices, const double* values,
                      std::size_t n) {
    Ref o = array_from(offsets);
    Ref i = array_from(indices, n);
    Ref v = array_from(values, n);
    return Ref::check(PyTuple_Pack(3, o.get(), i.get(), v.get()));
}

}  // namespace quodex
