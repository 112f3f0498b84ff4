// Float64 sums in NumPy's order, so that rows normalised here equal rows normalised by NumPy bit for
// bit. No Python here.
//
// np.add.reduce starts from 0.0 and adds a pairwise sum: below 8 elements one running sum, up to 128
// eight interleaved accumulators, above that the two halves (the first a multiple of 8 long).
// NumPy 1.x splits a reduction into chunks of its buffer size (np.getbufsize()) and adds the chunk
// sums in turn; newer versions do not. Within one buffer both agree, so callers use these sums only
// for lengths up to the buffer size and ask NumPy itself beyond it.
#pragma once

#include <cstddef>

#include "../frame/core/views.hpp"

namespace quodex::tarvel {

namespace detail {

inline constexpr std::ptrdiff_t kPairwiseBlock = 128;

template <class Read>
double pairwise_sum(const Strided<const double>& a, std::ptrdiff_t first, std::ptrdiff_t n, Read read) noexcept {
    if (n < 8) {
        double res = 0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += read(a[first + i]);
        return res;
    }
    if (n <= kPairwiseBlock) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = read(a[first + j]);
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += read(a[first + i + j]);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += read(a[first + i]);
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, first, n2, read) + pairwise_sum(a, first + n2, n - n2, read);
}

}  // namespace detail

// np.sum(a) for a.size within NumPy's buffer size.
inline double numpy_sum(const Strided<const double>& a) noexcept {
    return 0.0 + detail::pairwise_sum(a, 0, a.size, [](double x) { return x; });
}

// np.nansum(a) (NaN entries count as +0.0) for a.size within NumPy's buffer size.
inline double numpy_nansum(const Strided<const double>& a) noexcept {
    return 0.0 + detail::pairwise_sum(a, 0, a.size, [](double x) { return x != x ? 0.0 : x; });
}

}  // namespace quodex::tarvel
