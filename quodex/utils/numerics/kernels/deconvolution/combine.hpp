// Response rows combined and summed outside the iterations. No Python here.
//
// combine_rows: two sets of rows added with a weight per row and set.
//   offsets_a[>= n + 1], indices_a[*], values_a[*], scale_a[n]   rows A, row j = entries [offsets_a[j], offsets_a[j + 1])
//   offsets_b, indices_b, values_b, scale_b                     rows B, likewise
//   -> out: row j = scale_a[j] * A_j + scale_b[j] * B_j, columns ascending, exact zeros left out
//   Cost: O(n + nnz_a + nnz_b).
//
// The sum is the one SciPy's sparse arithmetic makes of diags(scale_a) @ A + diags(scale_b) @ B: a row
// whose scale is zero contributes nothing, a product that is zero is no entry, a column in both rows
// is the sum of the two products, and sums that are zero are left out. Each row's columns must ascend
// strictly, which makes the merge the same as SciPy's (that sorts and adds duplicates first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../frame/core/sparse.hpp"
#include "../frame/core/views.hpp"
#include "mlem.hpp"

namespace quodex::deconvolution {

enum class CombineStatus { Ok, NotAscending };

namespace detail {

// Checks row j of r and returns its position range; OutOfBounds{0} where it leaves the arrays or a
// column is negative, NotAscending where its columns do not ascend.
inline bool row_range(const ResponseRows& r, std::ptrdiff_t j, std::int64_t& s, std::int64_t& e) {
    s = r.offsets.at<Checked>(j);
    e = r.offsets.at<Checked>(j + 1);
    if (s >= e) {
        e = s;
        return true;
    }
    if (s < 0 || e > r.indices.size || e > r.values.size) throw OutOfBounds{0};
    std::int32_t previous = -1;
    for (std::int64_t k = s; k < e; ++k) {
        const std::int32_t c = r.indices[k];
        if (c < 0) throw OutOfBounds{0};
        if (c <= previous) return false;
        previous = c;
    }
    return true;
}

}  // namespace detail

inline CombineStatus combine_rows(const ResponseRows& a, Strided<const double> scale_a, const ResponseRows& b,
                                  Strided<const double> scale_b, SparseRows& out) {
    const std::ptrdiff_t n = scale_a.size;
    if (scale_b.size != n || a.offsets.size < n + 1 || b.offsets.size < n + 1) throw OutOfBounds{0};
    // Rows are checked before anything is written; the entries then go into storage sized for all.
    std::int64_t total = 0;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        std::int64_t sa, ea, sb, eb;
        if (!detail::row_range(a, j, sa, ea) || !detail::row_range(b, j, sb, eb)) return CombineStatus::NotAscending;
        total += (ea - sa) + (eb - sb);
    }
    out.offsets.assign(static_cast<std::size_t>(n) + 1, 0);
    out.indices.resize(static_cast<std::size_t>(total));
    out.values.resize(static_cast<std::size_t>(total));
    std::int32_t* oi = out.indices.data();
    double* ov = out.values.data();
    std::int64_t k = 0;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        std::int64_t sa = a.offsets[j], ea = a.offsets[j + 1], sb = b.offsets[j], eb = b.offsets[j + 1];
        const double fa = scale_a[j], fb = scale_b[j];
        if (sa >= ea || fa == 0.0) sa = ea;
        if (sb >= eb || fb == 0.0) sb = eb;
        auto put = [&](std::int32_t column, double v) {
            oi[k] = column;
            ov[k] = v;
            k += v != 0.0;
        };
        while (sa < ea && sb < eb) {
            const std::int32_t ca = a.indices[sa], cb = b.indices[sb];
            // A product that is zero is no entry of its scaled row, so it adds nothing to the other.
            if (ca == cb) {
                const double ta = fa * a.values[sa++], tb = fb * b.values[sb++];
                put(ca, ta == 0.0 ? tb : tb == 0.0 ? ta : ta + tb);
            } else if (ca < cb) {
                put(ca, fa * a.values[sa++]);
            } else {
                put(cb, fb * b.values[sb++]);
            }
        }
        for (; sa < ea; ++sa) put(a.indices[sa], fa * a.values[sa]);
        for (; sb < eb; ++sb) put(b.indices[sb], fb * b.values[sb]);
        out.offsets[static_cast<std::size_t>(j) + 1] = k;
    }
    out.indices.resize(static_cast<std::size_t>(k));
    out.values.resize(static_cast<std::size_t>(k));
    return CombineStatus::Ok;
}

// row_sums: sums[j] = the entries of row j added in order from 0.0 (np.bincount of the values by row).
// fold_rows: folded[b] = the products values[k] * x[j] of the entries k in bin b, added in entry order
// from 0.0 (np.bincount of values * x[row] by bin). A row with start >= end is empty; OutOfBounds{0}
// where a row leaves the arrays or a bin is outside [0, n). Cost O(n + nnz).
inline void check_rows(const ResponseRows& r, std::ptrdiff_t n, bool bins) {
    if (r.offsets.size < n + 1) throw OutOfBounds{0};
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::int64_t s = r.offsets[j], e = r.offsets[j + 1];
        if (s >= e) continue;
        if (s < 0 || e > r.values.size || (bins && e > r.indices.size)) throw OutOfBounds{0};
        if (bins)
            for (std::int64_t k = s; k < e; ++k)
                if (r.indices[k] < 0 || r.indices[k] >= n) throw OutOfBounds{0};
    }
}

inline void row_sums(const ResponseRows& r, Strided<double> sums) {
    check_rows(r, sums.size, false);
    for (std::ptrdiff_t j = 0; j < sums.size; ++j) {
        double total = 0.0;
        for (std::int64_t k = r.offsets[j]; k < r.offsets[j + 1]; ++k) total = total + r.values[k];
        sums[j] = total;
    }
}

inline void fold_rows(Strided<const double> x, const ResponseRows& r, Strided<double> folded) {
    const std::ptrdiff_t n = x.size;
    check_rows(r, n, true);
    for (std::ptrdiff_t i = 0; i < n; ++i) folded[i] = 0.0;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const double xj = x[j];
        for (std::int64_t k = r.offsets[j]; k < r.offsets[j + 1]; ++k) {
            const std::int32_t b = r.indices[k];
            folded[b] = folded[b] + r.values[k] * xj;
        }
    }
}

}  // namespace quodex::deconvolution
