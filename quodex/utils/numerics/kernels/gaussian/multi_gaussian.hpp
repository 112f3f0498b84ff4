// Sum of unnormalised Gaussian peaks and its Jacobian with respect to the peak parameters.
// No Python here.
//
//   params[n]: triples (A, mu, variance); n_gauss = n / 3, trailing elements ignored.
//   multi_gaussian(x[m], params[n], y[m])                y[j] += sum_k A_k exp(-(x_j - mu_k)^2 / (2 v_k))
//   multi_gaussian_jacobian(x[m], params[n], J[m x n])   J[j, 3k..3k+2] = d model_j / d (A_k, mu_k, v_k)
//   Cost: one exp per pair of peak and point, O(m * n_gauss); J's columns from 3 * n_gauss on untouched.
//   Preconditions: y has m elements, J at least m rows and n columns; nothing is range-tested.
//
// The *_plain routines follow the defining order literally (peaks outside, points inside, scalar exp).
// The others compute the same arithmetic per element on blocks of points copied to the stack, with
// vectorised exp where available: every operation but exp is the same IEEE operation on the same
// operands, so results differ from the plain ones only by exp's few-ulp difference. Blocks that lie
// wholly past exp's underflow for a peak skip the divisions whose results are then known exactly.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "../frame/core/dispatch.hpp"
#include "../frame/core/overlap.hpp"
#include "../frame/core/simd_exp.hpp"
#include "../frame/core/views.hpp"

namespace quodex::gaussian {

inline std::ptrdiff_t peak_count(const Strided<const double>& params) noexcept { return params.size / 3; }

// ---- plain order ------------------------------------------------------------------------------

inline void multi_gaussian_plain(Strided<const double> x, Strided<const double> params, Strided<double> y) {
    const std::ptrdiff_t m = x.size, n_gauss = peak_count(params);
    if (n_gauss <= 0 || m <= 0) return;
    for (std::ptrdiff_t i = 0; i < n_gauss; ++i) {
        const double A = params[3 * i], mu = params[3 * i + 1], variance = params[3 * i + 2];
        for (std::ptrdiff_t j = 0; j < m; ++j) {
            const double dx = x[j] - mu;
            const double exponent = ((-0.5 * dx) * dx) / variance;
            y[j] = y[j] + A * std::exp(exponent);
        }
    }
}

inline void multi_gaussian_jacobian_plain(Strided<const double> x, Strided<const double> params, Strided2D<double> J) {
    const std::ptrdiff_t m = x.size, n = params.size, n_gauss = peak_count(params);
    if (n <= 2 || m <= 0) return;
    for (std::ptrdiff_t i = 0; i < n_gauss; ++i) {
        const double A = params[3 * i], mu = params[3 * i + 1], variance = params[3 * i + 2];
        const double doubled = variance + variance;
        for (std::ptrdiff_t j = 0; j < m; ++j) {
            const double dx = x[j] - mu;
            const double e = std::exp(((-0.5 * dx) * dx) / variance);
            J(j, 3 * i) = e;
            J(j, 3 * i + 1) = ((A * e) * dx) / variance;
            J(j, 3 * i + 2) = (((A * e) * dx) * dx) / (doubled * variance);
        }
    }
}

// ---- blocked, vectorised ------------------------------------------------------------------------

namespace detail {

inline constexpr std::ptrdiff_t kBlock = 256;
static_assert(kBlock % kExpLanes == 0, "blocks hold whole vectors of exp");

// The blocked kernels read every input before writing and may write in another order than the plain
// loops; they give the same results only when the result is separate from the inputs and from itself.
// Anything else can only come from a caller's own allocator and takes the plain order.
template <class Out>
bool separate(const Out& out, const Strided<const double>& x, const Strided<const double>& params) noexcept {
    return distinct_elements(out) && !overlaps(out, x) && !overlaps(out, params);
}

// The exponents of one peak for a block of points, in the defining order.
[[gnu::always_inline]] inline void exponents(const double* __restrict xb, std::ptrdiff_t len, double mu,
                                             double variance, double* __restrict t) noexcept {
    QUODEX_SIMD
    for (std::ptrdiff_t r = 0; r < len; ++r) {
        const double dx = xb[r] - mu;
        t[r] = ((-0.5 * dx) * dx) / variance;
    }
}

// Range of the points of a block, for the underflow test below.
struct BlockRange {
    double lo, hi;
    bool has_nan;
};

[[gnu::always_inline]] inline BlockRange block_range(const double* xb, std::ptrdiff_t len) noexcept {
    double lo = xb[0], hi = xb[0];
    bool has_nan = false;
    for (std::ptrdiff_t r = 0; r < len; ++r) {
        lo = xb[r] < lo ? xb[r] : lo;
        hi = xb[r] > hi ? xb[r] : hi;
        has_nan |= xb[r] != xb[r];
    }
    return {lo, hi, has_nan};
}

// True when exp underflows to 0.0 at every point of the block. For variance > 0 the computed
// exponent ((-0.5 * dx) * dx) / variance never increases as |x - mu| grows (every step is a
// correctly rounded monotone operation), so the block edge nearest mu bounds all of its points.
[[gnu::always_inline]] inline bool block_underflows(const BlockRange& b, double mu, double variance) noexcept {
    if (!(variance > 0.0) || b.has_nan) return false;
    double d;
    if (mu < b.lo) d = b.lo - mu;
    else if (mu > b.hi) d = b.hi - mu;
    else return false;  // also NaN mu
    return ((-0.5 * d) * d) / variance < kExpZeroBelow;
}

// The running sums of a block of points stay on the stack while every peak is added in order.
[[gnu::always_inline]] inline void model_blocked(Strided<const double> x, Strided<const double> params,
                                                 Strided<double> y) noexcept {
    const std::ptrdiff_t m = x.size, n_gauss = peak_count(params);
    alignas(64) double xb[kBlock];
    alignas(64) double acc[kBlock];
    alignas(64) double t[kBlock];
    alignas(64) double e[kBlock];
    for (std::ptrdiff_t j0 = 0; j0 < m; j0 += kBlock) {
        const std::ptrdiff_t len = std::min(kBlock, m - j0);
        for (std::ptrdiff_t r = 0; r < len; ++r) {
            xb[r] = x[j0 + r];
            acc[r] = y[j0 + r];
        }
        const BlockRange range = block_range(xb, len);
        for (std::ptrdiff_t i = 0; i < n_gauss; ++i) {
            const double A = params[3 * i], mu = params[3 * i + 1], variance = params[3 * i + 2];
            if (block_underflows(range, mu, variance)) {
                // e is 0.0 at every point: the term is A * 0.0, which still matters for A = inf or NaN.
                const double term = A * 0.0;
                QUODEX_SIMD
                for (std::ptrdiff_t r = 0; r < len; ++r) acc[r] = acc[r] + term;
                continue;
            }
            exponents(xb, len, mu, variance, t);
            exp_block_padded(t, e, len);
            QUODEX_SIMD
            for (std::ptrdiff_t r = 0; r < len; ++r) acc[r] = acc[r] + A * e[r];
        }
        for (std::ptrdiff_t r = 0; r < len; ++r) y[j0 + r] = acc[r];
    }
}

// Rows of J in blocks small enough to stay in L1 while every peak writes its three columns.
[[gnu::always_inline]] inline void jacobian_blocked(Strided<const double> x, Strided<const double> params,
                                                    Strided2D<double> J) noexcept {
    const std::ptrdiff_t m = x.size, n = params.size, n_gauss = peak_count(params);
    const std::ptrdiff_t rows = std::clamp<std::ptrdiff_t>((4096 / n) & ~std::ptrdiff_t{7}, 16, kBlock);
    alignas(64) double xb[kBlock];
    alignas(64) double t[kBlock];
    alignas(64) double e[kBlock];
    alignas(64) double dmu[kBlock];
    alignas(64) double dvar[kBlock];
    for (std::ptrdiff_t j0 = 0; j0 < m; j0 += rows) {
        const std::ptrdiff_t len = std::min(rows, m - j0);
        for (std::ptrdiff_t r = 0; r < len; ++r) xb[r] = x[j0 + r];
        const BlockRange range = block_range(xb, len);
        for (std::ptrdiff_t i = 0; i < n_gauss; ++i) {
            const double A = params[3 * i], mu = params[3 * i + 1], variance = params[3 * i + 2];
            const double doubled_times_variance = (variance + variance) * variance;
            if (doubled_times_variance > 0.0 && block_underflows(range, mu, variance)) {
                // e is 0.0 at every point, so both numerators are +-0.0 or NaN, which division by a
                // positive denominator returns unchanged: the divisions can be left out.
                const double slope_factor = A * 0.0;
                QUODEX_SIMD
                for (std::ptrdiff_t r = 0; r < len; ++r) {
                    const double dx = xb[r] - mu;
                    const double slope = slope_factor * dx;
                    e[r] = 0.0;
                    dmu[r] = slope;
                    dvar[r] = slope * dx;
                }
            } else {
                exponents(xb, len, mu, variance, t);
                exp_block_padded(t, e, len);
                QUODEX_SIMD
                for (std::ptrdiff_t r = 0; r < len; ++r) {
                    const double dx = xb[r] - mu;
                    const double slope = (A * e[r]) * dx;
                    dmu[r] = slope / variance;
                    dvar[r] = (slope * dx) / doubled_times_variance;
                }
            }
            for (std::ptrdiff_t r = 0; r < len; ++r) {
                J(j0 + r, 3 * i) = e[r];
                J(j0 + r, 3 * i + 1) = dmu[r];
                J(j0 + r, 3 * i + 2) = dvar[r];
            }
        }
    }
}

}  // namespace detail

// The model on the path `isa` (which the CPU must support).
inline void multi_gaussian(Strided<const double> x, Strided<const double> params, Strided<double> y,
                           Isa isa = best_isa()) {
    if (peak_count(params) <= 0 || x.size <= 0) return;
    if (!detail::separate(y, x, params)) return multi_gaussian_plain(x, params, y);
    dispatch(isa, [&](auto) QUODEX_ISA_BODY { detail::model_blocked(x, params, y); });
}

inline void multi_gaussian_jacobian(Strided<const double> x, Strided<const double> params, Strided2D<double> J,
                                    Isa isa = best_isa()) {
    if (params.size <= 2 || x.size <= 0) return;
    if (!detail::separate(J, x, params)) return multi_gaussian_jacobian_plain(x, params, J);
    dispatch(isa, [&](auto) QUODEX_ISA_BODY { detail::jacobian_blocked(x, params, J); });
}

}  // namespace quodex::gaussian
