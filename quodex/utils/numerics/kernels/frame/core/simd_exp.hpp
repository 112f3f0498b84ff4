// The exponential of the kernels: the C library's exp, in vector form where the build found glibc's
// libmvec, for the instruction set of the function it is compiled into (see dispatch.hpp). No Python here.
#pragma once

#include <cmath>
#include <cstddef>

namespace quodex {

#if defined(QUODEX_HAVE_LIBMVEC)
// Declared under its own name but bound to the symbol `exp`: loops marked QUODEX_SIMD then call
// libmvec's _ZGV*_exp variants for the width of the function they are compiled into, and no other
// code of the program sees a SIMD declaration of exp.
#pragma omp declare simd notinbranch
extern "C" double quodex_simd_exp(double) noexcept __asm__("exp");
#define QUODEX_SIMD _Pragma("omp simd")
#define QUODEX_SIMD_ANY_LIVE _Pragma("omp simd reduction(|:live)")
#else
inline double quodex_simd_exp(double t) noexcept { return std::exp(t); }
#define QUODEX_SIMD
#define QUODEX_SIMD_ANY_LIVE
#endif

// exp(t) rounds to +0.0 for every t below about -745.13; answering 0.0 there is bit-identical to
// calling exp and keeps vector lanes off the slow scalar fallback that libmvec takes for them.
inline constexpr double kExpZeroBelow = -746.0;

// e[r] = exp(t[r]) for r < len, NaN and infinities as exp gives them. Simple loops of their own: the
// vectoriser turns a call with a conditional argument into a branch and gives up. A block without a
// live lane (every peak far from every point of it) costs no exp at all.
[[gnu::always_inline]] inline void exp_block(const double* __restrict t, double* __restrict e,
                                             std::ptrdiff_t len) noexcept {
    int live = 0;
    QUODEX_SIMD_ANY_LIVE
    for (std::ptrdiff_t r = 0; r < len; ++r) {
        const bool in_range = !(t[r] < kExpZeroBelow);
        e[r] = in_range ? t[r] : 0.0;
        live |= in_range;
    }
    if (!live) return;  // every e[r] already holds exp's 0.0
    QUODEX_SIMD
    for (std::ptrdiff_t r = 0; r < len; ++r) e[r] = quodex_simd_exp(e[r]);
    QUODEX_SIMD
    for (std::ptrdiff_t r = 0; r < len; ++r) e[r] = t[r] < kExpZeroBelow ? 0.0 : e[r];
}

// Whole vectors of exp: every element goes through the same vector code, never a scalar remainder or
// alignment prologue, so equal arguments give equal results wherever they stand in an array.
inline constexpr std::ptrdiff_t kExpLanes = 8;

inline std::ptrdiff_t round_up_lanes(std::ptrdiff_t n) noexcept { return (n + kExpLanes - 1) / kExpLanes * kExpLanes; }

// exp_block over len elements of t padded with zeros to whole vectors: t and e are 64-byte aligned and
// hold round_up_lanes(len) elements; e's padding is left with exp(0).
[[gnu::always_inline]] inline void exp_block_padded(double* t, double* e, std::ptrdiff_t len) noexcept {
    const std::ptrdiff_t padded = round_up_lanes(len);
    for (std::ptrdiff_t r = len; r < padded; ++r) t[r] = 0.0;
    exp_block(static_cast<const double*>(__builtin_assume_aligned(t, 64)),
              static_cast<double*>(__builtin_assume_aligned(e, 64)), padded);
}

}  // namespace quodex
