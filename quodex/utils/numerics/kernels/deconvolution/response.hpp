// Gaussian response rows and the resolution model. No Python here.
//
//   build_gaussian_rows(axis[n], sigma[>= n], nsigma) -> offsets[n + 1], indices[nnz], values[nnz]
//   Cost: two bisections per row plus one exp per entry; nnz ~ n * mean window length.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "../frame/sparse.hpp"
#include "../frame/views.hpp"

namespace quodex::deconvolution {

inline constexpr double FWHM_C = 2.3548200450309493;

// sigma(E) = k * E * sqrt(E) / FWHM_C, evaluated as ((k * sqrt(E)) * E) / FWHM_C.
inline double get_sigma(double k, double E) noexcept {
    const double resolution = k * std::sqrt(E);
    return (resolution * E) / FWHM_C;
}

// NumPy's ordering for floats: NaN sorts after every number.
inline bool npy_less(double a, double b) noexcept { return a < b || (b != b && a == a); }

// np.searchsorted(a, v, side="left") on an ascending array: first index whose value is not less than v.
inline std::ptrdiff_t search_left(Strided<const double> a, double v) noexcept {
    std::ptrdiff_t lo = 0, hi = a.size;
    while (lo < hi) {
        const std::ptrdiff_t mid = lo + ((hi - lo) >> 1);
        if (npy_less(a[mid], v)) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// np.searchsorted(a, v, side="right") on an ascending array: first index whose value is greater than v.
inline std::ptrdiff_t search_right(Strided<const double> a, double v) noexcept {
    std::ptrdiff_t lo = 0, hi = a.size;
    while (lo < hi) {
        const std::ptrdiff_t mid = lo + ((hi - lo) >> 1);
        if (!npy_less(v, a[mid])) lo = mid + 1;
        else hi = mid;
    }
    return lo;
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
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double E = axis[i];
        const double half = sigma.at<Checked>(i) * nsigma;
        const double xmin = E - half;
        const double xmax = E + half;
        const std::ptrdiff_t low = search_left(axis, xmin);
        const std::ptrdiff_t high = search_right(axis, xmax);
        windows[static_cast<std::size_t>(i)] = {low, high};
        if (low < high) nnz += high - low;
    }
    return nnz;
}

// Second pass: fills offsets[n + 1], indices[nnz] and values[nnz] from the windows. Row i holds
// w_j / norm with x = (axis[j] - E) / s, w_j = exp((x * -0.5) * x), norm summed in ascending j.
// Window indices come from the searches and are in range by construction.
inline void fill_gaussian_rows(Strided<const double> axis, Strided<const double> sigma,
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
