// Gaussian response rows and the resolution model. No Python here.
//
//   build_gaussian_rows(axis[n], sigma[>= n], nsigma) -> offsets[n + 1], indices[nnz], values[nnz]
//   Cost: two bisections per row plus one exp per entry; nnz ~ n * mean window length.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "../frame/core/chains.hpp"
#include "../frame/core/dispatch.hpp"
#include "../frame/core/simd_exp.hpp"
#include "../frame/core/sparse.hpp"
#include "../frame/core/views.hpp"

namespace quodex::deconvolution {

inline constexpr double FWHM_C = 2.3548200450309493;

// sigma(E) = k * E * sqrt(E) / FWHM_C, evaluated as ((k * sqrt(E)) * E) / FWHM_C.
inline double get_sigma(double k, double E) noexcept {
    const double resolution = k * std::sqrt(E);
    return (resolution * E) / FWHM_C;
}

// NumPy's ordering for floats: NaN sorts after every number.
inline bool npy_less(double a, double b) noexcept { return a < b || (b != b && a == a); }

// Bisection without branches on the data: on an ascending array it returns the first index whose
// value fails `before`, as any bisection would; the loads and compares form one short chain.
template <class Before>
inline std::ptrdiff_t bisect(Strided<const double> a, Before before) noexcept {
    std::ptrdiff_t n = a.size;
    if (n == 0) return 0;
    std::ptrdiff_t base = 0;
    while (n > 1) {
        const std::ptrdiff_t half = n >> 1;
        base = before(a[base + half]) ? base + half : base;
        n -= half;
    }
    return base + (before(a[base]) ? 1 : 0);
}

// np.searchsorted(a, v, side="left") on an ascending array: first index whose value is not less than v.
inline std::ptrdiff_t search_left(Strided<const double> a, double v) noexcept {
    return bisect(a, [v](double x) { return npy_less(x, v); });
}

// np.searchsorted(a, v, side="right") on an ascending array: first index whose value is greater than v.
inline std::ptrdiff_t search_right(Strided<const double> a, double v) noexcept {
    return bisect(a, [v](double x) { return !npy_less(v, x); });
}

// The bisection's answer where a nearby guess already is one: on an ascending array exactly one index
// has every value before it pass `before` and the value at it fail, so a guess that checks out is the
// answer. Consecutive rows' window limits move by a bin or two, which makes the previous row's limit a
// good guess; otherwise bisect.
template <class Before>
inline std::ptrdiff_t bisect_near(Strided<const double> a, Before before, std::ptrdiff_t guess) noexcept {
    const std::ptrdiff_t n = a.size;
    for (std::ptrdiff_t c = guess; c <= guess + 2 && c <= n; ++c) {
        if ((c == 0 || before(a[c - 1])) && (c == n || !before(a[c]))) return c;
    }
    return bisect(a, before);
}

// Largest axis whose column indices fit the int32 `indices` array.
inline constexpr std::ptrdiff_t kMaxAxisLength = std::ptrdiff_t{std::numeric_limits<std::int32_t>::max()} + 1;

// Window of row i: the bins [low, high) within nsigma * sigma[i] of axis[i].
struct Window {
    std::ptrdiff_t low, high;
};

// First pass: the window of every row and the total number of entries. sigma is range-tested
// (OutOfBounds when it is shorter than axis). The caller guarantees axis.size <= kMaxAxisLength.
inline std::int64_t gaussian_windows(Strided<const double> axis, Strided<const double> sigma, double nsigma,
                                     std::vector<Window>& windows) {
    const std::ptrdiff_t n = axis.size;
    windows.resize(static_cast<std::size_t>(n));
    std::int64_t nnz = 0;
    std::ptrdiff_t low = 0, high = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double E = axis[i];
        const double half = sigma.at<Checked>(i) * nsigma;
        const double xmin = E - half;
        const double xmax = E + half;
        low = bisect_near(axis, [xmin](double x) { return npy_less(x, xmin); }, low);
        high = bisect_near(axis, [xmax](double x) { return !npy_less(xmax, x); }, high);
        windows[static_cast<std::size_t>(i)] = {low, high};
        if (low < high) nnz += high - low;
    }
    return nnz;
}

// Second pass: fills offsets[n + 1], indices[nnz] and values[nnz] from the windows. Row i holds
// w_j / norm with x = (axis[j] - E) / s, w_j = exp((x * -0.5) * x), norm summed in ascending j.
// Window indices come from the searches and are in range by construction. This is the literal order
// with the C library's scalar exp; fill_gaussian_rows below gives the same up to exp's last bits.
inline void fill_gaussian_rows_plain(Strided<const double> axis, Strided<const double> sigma,
                                     const std::vector<Window>& windows, Strided<std::int64_t> offsets,
                                     Strided<std::int32_t> indices, Strided<double> values) noexcept {
    std::ptrdiff_t k = 0;
    offsets[0] = 0;
    for (std::ptrdiff_t i = 0; i < axis.size; ++i) {
        const auto [low, high] = windows[static_cast<std::size_t>(i)];
        if (low < high) {
            const double E = axis[i];
            const double s = sigma[i];
            const std::ptrdiff_t first = k;
            double norm = 0.0;
            for (std::ptrdiff_t j = low; j < high; ++j, ++k) {
                const double x = (axis[j] - E) / s;
                const double w = std::exp((x * -0.5) * x);
                norm = norm + w;
                indices[k] = static_cast<std::int32_t>(j);
                values[k] = w;
            }
            // The same w divided by the finished sum, as a second pass recomputing w would give.
            for (std::ptrdiff_t e = first; e < k; ++e) values[e] = values[e] / norm;
        }
        offsets[i + 1] = k;
    }
}

namespace detail {

// Row sums in ascending entry order, four rows at a time (four_chain_sums).
inline void row_sums(const double* w, const std::vector<Window>& windows, double* norms) noexcept {
    const std::size_t n = windows.size();
    std::size_t i = 0;
    std::ptrdiff_t k = 0;
    auto len = [&](std::size_t r) { return std::max<std::ptrdiff_t>(windows[r].high - windows[r].low, 0); };
    for (; i + 4 <= n; i += 4) {
        const std::ptrdiff_t l0 = len(i), l1 = len(i + 1), l2 = len(i + 2), l3 = len(i + 3);
        const double* w0 = w + k;
        const double* w1 = w0 + l0;
        const double* w2 = w1 + l1;
        const double* w3 = w2 + l2;
        const std::ptrdiff_t common = std::min(std::min(l0, l1), std::min(l2, l3));
        const double* rows[4] = {w0, w1, w2, w3};
        double t[4] = {0.0, 0.0, 0.0, 0.0};
        four_chain_sums(common, t, [&](int l, std::int64_t r) { return rows[l][r]; });
        double n0 = t[0], n1 = t[1], n2 = t[2], n3 = t[3];
        for (std::ptrdiff_t r = common; r < l0; ++r) n0 = n0 + w0[r];
        for (std::ptrdiff_t r = common; r < l1; ++r) n1 = n1 + w1[r];
        for (std::ptrdiff_t r = common; r < l2; ++r) n2 = n2 + w2[r];
        for (std::ptrdiff_t r = common; r < l3; ++r) n3 = n3 + w3[r];
        norms[i] = n0, norms[i + 1] = n1, norms[i + 2] = n2, norms[i + 3] = n3;
        k += l0 + l1 + l2 + l3;
    }
    for (; i < n; ++i) {
        double norm = 0.0;
        for (std::ptrdiff_t r = 0, l = len(i); r < l; ++r, ++k) norm = norm + w[k];
        norms[i] = norm;
    }
}

// The same arithmetic as the literal order, in passes: every weight (exp over whole vectors through
// aligned scratch), then every row sum, then every division. `values` and `indices` are contiguous;
// `scratch` is 64-byte aligned and holds 2 * max_window doubles, max_window a multiple of kExpLanes
// not below the longest window; `norms` holds one double per row.
[[gnu::always_inline]] inline void fill_rows_blocked(Strided<const double> axis, Strided<const double> sigma,
                                                     const std::vector<Window>& windows,
                                                     Strided<std::int64_t> offsets, std::int32_t* indices,
                                                     double* values, double* scratch, std::ptrdiff_t max_window,
                                                     double* norms) noexcept {
    double* __restrict t = scratch;
    double* __restrict w = scratch + max_window;
    const bool unit = axis.contiguous();
    std::ptrdiff_t k = 0;
    offsets[0] = 0;
    for (std::ptrdiff_t i = 0; i < axis.size; ++i) {
        const auto [low, high] = windows[static_cast<std::size_t>(i)];
        if (low < high) {
            const double E = axis[i];
            const double s = sigma[i];
            const std::ptrdiff_t len = high - low;
            if (unit) {
                const double* __restrict a = &axis[low];
                for (std::ptrdiff_t r = 0; r < len; ++r) {
                    const double x = (a[r] - E) / s;
                    t[r] = (x * -0.5) * x;
                }
            } else {
                for (std::ptrdiff_t r = 0; r < len; ++r) {
                    const double x = (axis[low + r] - E) / s;
                    t[r] = (x * -0.5) * x;
                }
            }
            exp_block_padded(t, w, len);
            double* __restrict v = values + k;
            std::int32_t* __restrict c = indices + k;
            for (std::ptrdiff_t r = 0; r < len; ++r) {
                v[r] = w[r];
                c[r] = static_cast<std::int32_t>(low + r);
            }
            k += len;
        }
        offsets[i + 1] = k;
    }
    row_sums(values, windows, norms);
    k = 0;
    for (std::ptrdiff_t i = 0; i < axis.size; ++i) {
        const std::ptrdiff_t len = std::max<std::ptrdiff_t>(windows[static_cast<std::size_t>(i)].high -
                                                                windows[static_cast<std::size_t>(i)].low, 0);
        const double norm = norms[i];
        double* __restrict v = values + k;
        for (std::ptrdiff_t r = 0; r < len; ++r) v[r] = v[r] / norm;
        k += len;
    }
}

}  // namespace detail

// The rows with the exp in vector form on the path `isa` (which the CPU must support); results within
// a few ulp of fill_gaussian_rows_plain, and the same bits whatever the layout of the outputs.
inline void fill_gaussian_rows(Strided<const double> axis, Strided<const double> sigma,
                               const std::vector<Window>& windows, Strided<std::int64_t> offsets,
                               Strided<std::int32_t> indices, Strided<double> values, Isa isa = best_isa()) {
    const std::ptrdiff_t nnz = values.size;
    if (nnz == 0) return fill_gaussian_rows_plain(axis, sigma, windows, offsets, indices, values);
    if (!indices.contiguous() || !values.contiguous()) {
        std::vector<std::int32_t> idx(static_cast<std::size_t>(nnz));
        std::vector<double> val(static_cast<std::size_t>(nnz));
        fill_gaussian_rows(axis, sigma, windows, offsets, {idx.data(), nnz}, {val.data(), nnz}, isa);
        for (std::ptrdiff_t k = 0; k < nnz; ++k) {
            indices[k] = idx[static_cast<std::size_t>(k)];
            values[k] = val[static_cast<std::size_t>(k)];
        }
        return;
    }
    std::ptrdiff_t longest = 0;
    for (const Window& w : windows) longest = std::max(longest, w.high - w.low);
    const std::ptrdiff_t max_window = round_up_lanes(longest);
    std::vector<double> storage(static_cast<std::size_t>(2 * max_window + 8 + axis.size));
    double* scratch =
        reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(storage.data()) + 63) & ~std::uintptr_t{63});
    double* norms = scratch + 2 * max_window;
    auto* idx = &indices[0];
    auto* val = &values[0];
    dispatch(isa, [&](auto) QUODEX_ISA_BODY {
        detail::fill_rows_blocked(axis, sigma, windows, offsets, idx, val, scratch, max_window, norms);
    });
}

// Both passes into C++ storage.
inline void build_gaussian_rows(Strided<const double> axis, Strided<const double> sigma, double nsigma,
                                SparseRows& out) {
    std::vector<Window> windows;
    const std::int64_t nnz = gaussian_windows(axis, sigma, nsigma, windows);
    out.offsets.assign(static_cast<std::size_t>(axis.size) + 1, 0);
    out.indices.assign(static_cast<std::size_t>(nnz), 0);
    out.values.assign(static_cast<std::size_t>(nnz), 0.0);
    fill_gaussian_rows(axis, sigma, windows, Strided<std::int64_t>(out.offsets.data(), axis.size + 1),
                       Strided<std::int32_t>(out.indices.data(), nnz), Strided<double>(out.values.data(), nnz));
}

}  // namespace quodex::deconvolution
