// Gaussian response rows and the resolution model. No Python here.
//
//   build_gaussian_rows(axis[n], sigma[>= n], nsigma) -> offsets[n + 1], indices[nnz], values[nnz]
//   Cost: two bisections per row plus one exp per entry; nnz ~ n * mean window length.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

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

// Row i spreads bin i over the bins within nsigma * sigma[i] of axis[i] with normalised Gaussian
// weights. sigma is range-tested (OutOfBounds when shorter than axis); window indices come from the
// searches and are in range by construction. The caller guarantees axis.size <= kMaxAxisLength.
inline void build_gaussian_rows(Strided<const double> axis, Strided<const double> sigma, double nsigma,
                                SparseRows& out) {
    const std::ptrdiff_t n = axis.size;
    out.offsets.assign(1, 0);
    out.indices.clear();
    out.values.clear();
    out.offsets.reserve(static_cast<std::size_t>(n) + 1);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double E = axis[i];
        const double s = sigma.at<Checked>(i);
        const double half = s * nsigma;
        const double xmin = E - half;
        const double xmax = E + half;
        const std::ptrdiff_t low = search_left(axis, xmin);
        const std::ptrdiff_t high = search_right(axis, xmax);
        if (low < high) {
            const std::size_t first = out.values.size();
            double norm = 0.0;
            for (std::ptrdiff_t j = low; j < high; ++j) {
                const double x = (axis[j] - E) / s;
                const double w = std::exp((x * -0.5) * x);
                norm = norm + w;
                out.indices.push_back(static_cast<std::int32_t>(j));
                out.values.push_back(w);
            }
            // The same w divided by the finished sum, as a second pass recomputing w would give.
            for (std::size_t k = first; k < out.values.size(); ++k) out.values[k] = out.values[k] / norm;
        }
        out.offsets.push_back(static_cast<std::int64_t>(out.values.size()));
    }
}

}  // namespace quodex::deconvolution
