// Buffer acquisition (RAII), the element-type check of buffer formats with its messages, and the
// conversion of an acquired buffer into strided views.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "context.hpp"
#include "core/views.hpp"

namespace quodex {

// Element types as declared by a parameter; the name is the one quoted in messages.
enum class Elem : unsigned char { Float64, Double, Int64, Int32 };

struct ElemInfo {
    const char* name;
    char kind;  // 'f' floating, 'i' signed integer
    Py_ssize_t size;
};

constexpr ElemInfo elem_info(Elem e) {
    switch (e) {
        case Elem::Float64: return {"float64_t", 'f', 8};
        case Elem::Double: return {"double", 'f', 8};
        case Elem::Int64: return {"int64_t", 'i', 8};
        case Elem::Int32: return {"int32_t", 'i', 4};
    }
    return {"?", '?', 0};
}

template <class T>
constexpr bool elem_matches(Elem e) {
    using U = std::remove_const_t<T>;
    const ElemInfo info = elem_info(e);
    if constexpr (std::is_floating_point_v<U>) return info.kind == 'f' && info.size == sizeof(U);
    else return info.kind == 'i' && info.size == sizeof(U);
}

class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}
    ~Buffer() { release(); }

    void acquire(PyObject* obj, int flags) {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) throw_python_error();
        held_ = true;
    }
    void release() noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }
    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }

    std::ptrdiff_t length(int dim) const noexcept { return held_ ? view_.shape[dim] : 0; }
    std::ptrdiff_t stride(int dim) const noexcept {
        return view_.strides ? view_.strides[dim] : view_.itemsize;
    }

    template <class T>
    Strided<T> as1d() const noexcept {
        if (!held_) return {};
        return Strided<T>(static_cast<typename Strided<T>::Byte*>(view_.buf), view_.shape[0], stride(0));
    }
    template <class T>
    Strided2D<T> as2d() const noexcept {
        Strided2D<T> v;
        if (!held_) return v;
        v.data = static_cast<typename Strided2D<T>::Byte*>(view_.buf);
        v.rows = view_.shape[0];
        v.cols = view_.shape[1];
        v.row_stride = view_.strides ? view_.strides[0] : view_.itemsize * v.cols;
        v.col_stride = stride(1);
        return v;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

namespace detail {

// One element of a struct-module format: its kind and size, or why it cannot be one.
struct FormatItem {
    char code = 0;           // format character, 0 when none
    bool complex = false;    // 'Z' prefix
    bool big_endian = false;
    bool standard = false;   // '=', '<', '>' or '!': standard sizes
    bool single = true;      // nothing follows the item
};

inline FormatItem parse_format(const char* fmt) {
    FormatItem item;
    if (!fmt) fmt = "B";
    const char* p = fmt;
    switch (*p) {
        case '@': ++p; break;
        case '=': case '<': item.standard = true; ++p; break;
        case '>': case '!': item.standard = true; item.big_endian = true; ++p; break;
        default: break;
    }
    bool counted = false;
    while (*p >= '0' && *p <= '9') { ++p; counted = true; }
    if (*p == 'Z') { item.complex = true; ++p; }
    item.code = *p;
    if (*p) ++p;
    item.single = !counted && *p == 0 && item.code != 'T';
    return item;
}

inline Py_ssize_t native_size(char code) {
    switch (code) {
        case 'b': case 'B': case 'c': case '?': return 1;
        case 'h': case 'H': return sizeof(short);
        case 'i': case 'I': return sizeof(int);
        case 'l': case 'L': return sizeof(long);
        case 'q': case 'Q': return sizeof(long long);
        case 'n': case 'N': return sizeof(Py_ssize_t);
        case 'f': return sizeof(float);
        case 'd': return sizeof(double);
        case 'g': return sizeof(long double);
        default: return 0;
    }
}

inline Py_ssize_t standard_size(char code) {
    switch (code) {
        case 'b': case 'B': case 'c': case '?': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': case 'l': case 'L': case 'f': return 4;
        case 'q': case 'Q': case 'd': return 8;
        default: return 0;
    }
}

inline const char* describe(const FormatItem& it) {
    if (!it.single) return "a struct";
    switch (it.code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return it.complex ? "'complex float'" : "'float'";
        case 'd': return it.complex ? "'complex double'" : "'double'";
        case 'g': return it.complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        default: return "unparsable format string";
    }
}

inline bool item_matches(const FormatItem& it, const ElemInfo& want) {
    if (!it.single || it.complex) return false;
    const Py_ssize_t size = it.standard ? standard_size(it.code) : native_size(it.code);
    switch (it.code) {
        case 'f': case 'd': case 'g': return want.kind == 'f' && size == want.size;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return want.kind == 'i' && size == want.size;
        default: return false;
    }
}

}  // namespace detail

// Checks dimensions, element type and item size of an acquired buffer; `view_kind` selects the
// message variants of typed views and their test for indirect access.
inline void validate_buffer(const Py_buffer& b, int ndim, Elem elem, bool view_kind) {
    if (b.ndim != ndim) {
        raise_error(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, b.ndim);
    }
    const ElemInfo want = elem_info(elem);
    const detail::FormatItem item = detail::parse_format(b.format);
    if (item.big_endian) {
        raise_error(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    }
    if (!detail::item_matches(item, want)) {
        raise_error(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", want.name, "'",
                     detail::describe(item));
    }
    if (b.itemsize != want.size) {
        const char* fmt = view_kind
            ? "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)"
            : "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)";
        raise_error(PyExc_ValueError, fmt, b.itemsize, b.itemsize == 1 ? "" : "s", want.name, want.size,
                     want.size == 1 ? "" : "s");
    }
    if (view_kind && b.suboffsets) {
        for (int d = 0; d < ndim; ++d) {
            if (b.suboffsets[d] >= 0) {
                raise_error(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", d);
            }
        }
    }
}

}  // namespace quodex
