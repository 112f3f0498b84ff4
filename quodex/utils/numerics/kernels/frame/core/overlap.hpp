// Whether views share memory: the tests that decide when a kernel may take a path that reads every
// input before it writes, or writes in another order than the plain loop. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <utility>

#include "views.hpp"

namespace quodex {

// Bytes spanned by a view, as [lo, hi); {nullptr, nullptr} when empty.
template <class T>
std::pair<const char*, const char*> byte_extent(const Strided<T>& v) noexcept {
    if (v.size <= 0 || !v.data) return {nullptr, nullptr};
    const char* a = v.data;
    const char* b = v.data + (v.size - 1) * v.stride;
    return {std::min(a, b), std::max(a, b) + sizeof(T)};
}

template <class T>
std::pair<const char*, const char*> byte_extent(const Strided2D<T>& v) noexcept {
    if (v.rows <= 0 || v.cols <= 0 || !v.data) return {nullptr, nullptr};
    const std::ptrdiff_t r = (v.rows - 1) * v.row_stride, c = (v.cols - 1) * v.col_stride;
    const char* lo = v.data + std::min<std::ptrdiff_t>(r, 0) + std::min<std::ptrdiff_t>(c, 0);
    const char* hi = v.data + std::max<std::ptrdiff_t>(r, 0) + std::max<std::ptrdiff_t>(c, 0) + sizeof(T);
    return {lo, hi};
}

// The byte ranges of two views intersect (sufficient for sharing memory, not necessary).
template <class A, class B>
bool overlaps(const A& a, const B& b) noexcept {
    const auto [alo, ahi] = byte_extent(a);
    const auto [blo, bhi] = byte_extent(b);
    return alo && blo && alo < bhi && blo < ahi;
}

// No two elements share memory (sufficient test; zero or tangled strides fail it).
template <class T>
bool distinct_elements(const Strided<T>& v) noexcept {
    return v.size <= 1 || std::abs(v.stride) >= static_cast<std::ptrdiff_t>(sizeof(T));
}

template <class T>
bool distinct_elements(const Strided2D<T>& v) noexcept {
    if (v.rows <= 1) return distinct_elements(v.row(0));
    if (v.cols <= 1) return distinct_elements(v.col(0));
    const std::ptrdiff_t rs = std::abs(v.row_stride), cs = std::abs(v.col_stride);
    const auto item = static_cast<std::ptrdiff_t>(sizeof(T));
    return (cs >= item && rs >= v.cols * cs) || (rs >= item && cs >= v.rows * rs);
}

}  // namespace quodex
