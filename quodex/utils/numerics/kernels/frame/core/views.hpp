// Strided views over caller memory and the two element-access policies. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quodex {

// Thrown by the range-tested policy; the binding turns it into IndexError.
struct OutOfBounds {
    int axis;
};

// Range-tested access: a negative index counts from the end, anything still outside throws.
struct Checked {
    static constexpr bool checked = true;
    static inline std::ptrdiff_t index(std::ptrdiff_t i, std::ptrdiff_t n, int axis = 0) {
        if (i < 0) i += n;
        if (i < 0 || i >= n) [[unlikely]]
            throw OutOfBounds{axis};
        return i;
    }
};

// The caller guarantees 0 <= i < n.
struct Unchecked {
    static constexpr bool checked = false;
    static inline std::ptrdiff_t index(std::ptrdiff_t i, std::ptrdiff_t, int = 0) noexcept { return i; }
};

// One-dimensional view: element i lives at data + i * stride (stride in bytes, any sign).
template <class T>
struct Strided {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    Byte* data = nullptr;
    std::ptrdiff_t size = 0;
    std::ptrdiff_t stride = sizeof(T);

    Strided() = default;
    Strided(Byte* d, std::ptrdiff_t n, std::ptrdiff_t s) : data(d), size(n), stride(s) {}
    Strided(T* d, std::ptrdiff_t n) : data(reinterpret_cast<Byte*>(d)), size(n), stride(sizeof(T)) {}
    template <class U, class = std::enable_if_t<std::is_same_v<const U, T> && !std::is_same_v<U, T>>>
    Strided(const Strided<U>& o) : data(o.data), size(o.size), stride(o.stride) {}

    T& operator[](std::ptrdiff_t i) const noexcept { return *reinterpret_cast<T*>(data + i * stride); }
    template <class Policy>
    T& at(std::ptrdiff_t i) const {
        return (*this)[Policy::index(i, size)];
    }
    bool contiguous() const noexcept { return stride == static_cast<std::ptrdiff_t>(sizeof(T)); }
};

// Two-dimensional view with byte strides per axis.
template <class T>
struct Strided2D {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    Byte* data = nullptr;
    std::ptrdiff_t rows = 0, cols = 0;
    std::ptrdiff_t row_stride = 0, col_stride = sizeof(T);

    T& operator()(std::ptrdiff_t r, std::ptrdiff_t c) const noexcept {
        return *reinterpret_cast<T*>(data + r * row_stride + c * col_stride);
    }
    Strided<T> row(std::ptrdiff_t r) const noexcept { return Strided<T>(data + r * row_stride, cols, col_stride); }
    Strided<T> col(std::ptrdiff_t c) const noexcept { return Strided<T>(data + c * col_stride, rows, row_stride); }
};

}  // namespace quodex
