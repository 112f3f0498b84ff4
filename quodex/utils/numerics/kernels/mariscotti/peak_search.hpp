// Second difference of a spectrum and its Poisson standard deviation. No Python here.
//
//   peak_search(y[n], S[>= n - 1], F[>= n - 1])
//     S[i] = (y[i-1] - 2 y[i]) + y[i+1],  F[i] = sqrt((y[i-1] + 4 y[i]) + y[i+1]),  1 <= i <= n - 2
//   Cost: O(n), one pass, each input element read once.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "../frame/core/dispatch.hpp"
#include "../frame/core/overlap.hpp"
#include "../frame/core/views.hpp"

namespace quodex::mariscotti {

// The plain order: channel by channel, two statements, every access range-tested (input elements and
// S[i] first, then F[i]). F's statement reads the input again, so a result over the input's memory
// sees S[i] there. A result shorter than n - 1 throws OutOfBounds{0} at its first missing element.
inline void peak_search_plain(Strided<const double> y, Strided<double> S, Strided<double> F) {
    const std::ptrdiff_t n = y.size;
    for (std::ptrdiff_t i = 1; i < n - 1; ++i) {
        S.at<Checked>(i) = (y.at<Checked>(i - 1) - 2.0 * y.at<Checked>(i)) + y.at<Checked>(i + 1);
        F.at<Checked>(i) = std::sqrt((y.at<Checked>(i - 1) + 4.0 * y.at<Checked>(i)) + y.at<Checked>(i + 1));
    }
}

namespace detail {

// Contiguous input and results: a loop the compiler vectorises (sqrt is exact in every width, so each
// instruction set gives the same bits).
[[gnu::always_inline]] inline void peak_search_contiguous(const double* __restrict y, double* __restrict S, double* __restrict F,
                                   std::ptrdiff_t n) noexcept {
    for (std::ptrdiff_t i = 1; i < n - 1; ++i) {
        S[i] = (y[i - 1] - 2.0 * y[i]) + y[i + 1];
        F[i] = std::sqrt((y[i - 1] + 4.0 * y[i]) + y[i + 1]);
    }
}

// Any strides: a sliding window of three values, so each input element is loaded once.
inline void peak_search_strided(Strided<const double> y, Strided<double> S, Strided<double> F) noexcept {
    const std::ptrdiff_t n = y.size;
    double left = y[0], mid = y[1];
    for (std::ptrdiff_t i = 1; i < n - 1; ++i) {
        const double right = y[i + 1];
        S[i] = (left - 2.0 * mid) + right;
        F[i] = std::sqrt((left + 4.0 * mid) + right);
        left = mid;
        mid = right;
    }
}

}  // namespace detail

// Same results as peak_search_plain, including its OutOfBounds. The range tests are hoisted: a
// result that is too short, or results that share memory with the input or with each other (possible
// only when the caller's allocator hands back such arrays), take the plain path, whose reads see
// earlier writes exactly as the channel-by-channel order does.
// The contiguous loop runs on the path `isa` (which the CPU must support).
inline void peak_search(Strided<const double> y, Strided<double> S, Strided<double> F, Isa isa = best_isa()) {
    const std::ptrdiff_t n = y.size;
    if (n < 3) return;
    if (S.size < n - 1 || F.size < n - 1 || overlaps(y, S) || overlaps(y, F) || overlaps(S, F)) {
        peak_search_plain(y, S, F);
        return;
    }
    if (y.contiguous() && S.contiguous() && F.contiguous()) {
        const auto* yc = reinterpret_cast<const double*>(y.data);
        auto* Sc = reinterpret_cast<double*>(S.data);
        auto* Fc = reinterpret_cast<double*>(F.data);
        dispatch(isa, [&](auto) QUODEX_ISA_BODY { detail::peak_search_contiguous(yc, Sc, Fc, n); });
    } else {
        detail::peak_search_strided(y, S, F);
    }
}

}  // namespace quodex::mariscotti
