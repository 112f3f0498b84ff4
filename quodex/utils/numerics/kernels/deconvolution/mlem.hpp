// ML-EM iteration over sparse response rows. No Python here.
//
//   y[n]                 measured spectrum
//   offsets[>= n + 1]    row j is the entry range [offsets[j], offsets[j + 1]); start >= end is empty
//   indices[*], values[*] measured bin and weight of each entry
//   sensitivity[>= n]    per-true-bin divisor, floored at 1e-12; absent means no division
//   x, estimate, ratio, correction [n]: working arrays, x is the result
//   Cost per iteration: O(n + nnz), nnz = entries of rows 0 .. n-1.
//
// Two forms of the same arithmetic:
//  * the reference routines (forward, compute_ratio, back_project_row, backward, apply_sensitivity,
//    multiply_update), range-tested element by element, in the plain order of one iteration;
//  * validate_rows + iterate: the rows are checked once, then the iterations run fused and unchecked.
//    Every element sees the same operations in the same order as in the reference form, so the
//    results are bit-identical; tests/cpp compares the two on random rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../frame/views.hpp"

namespace quodex::deconvolution {

inline constexpr double RATIO_GUARD = 1e-12;        // added to every forward projection
inline constexpr double SENSITIVITY_FLOOR = 1e-12;  // lower bound of every sensitivity divisor

// max(s, 1e-12) where NaN, zero and negative sensitivities all give the floor.
inline double sensitivity_divisor(double s) noexcept { return s > SENSITIVITY_FLOOR ? s : SENSITIVITY_FLOOR; }

struct ResponseRows {
    Strided<const std::int64_t> offsets;
    Strided<const std::int32_t> indices;
    Strided<const double> values;
};

// ---------------------------------------------------------------------------------------------
// Reference routines: range-tested with negative wrap-around (OutOfBounds{0} on failure).

// y[indices[k]] += x[j] * values[k], rows in ascending order, entries in ascending position.
inline void forward(Strided<const double> x, const ResponseRows& r, Strided<double> y) {
    for (std::ptrdiff_t i = 0; i < y.size; ++i) y[i] = 0.0;
    for (std::ptrdiff_t j = 0; j < x.size; ++j) {
        const std::int64_t start = r.offsets.at<Checked>(j);
        const std::int64_t end = r.offsets.at<Checked>(j + 1);
        for (std::int64_t k = start; k < end; ++k) {
            const std::int32_t idx = r.indices.at<Checked>(k);
            y.at<Checked>(idx) = y.at<Checked>(idx) + x[j] * r.values.at<Checked>(k);
        }
    }
}

inline void compute_ratio(Strided<const double> y, Strided<const double> estimate, Strided<double> ratio) {
    for (std::ptrdiff_t i = 0; i < y.size; ++i) ratio.at<Checked>(i) = y[i] / (estimate.at<Checked>(i) + RATIO_GUARD);
}

inline double back_project_row(std::int64_t j, Strided<const double> ratio, const ResponseRows& r) {
    double total = 0.0;
    const std::int64_t end = r.offsets.at<Checked>(j + 1);
    for (std::int64_t k = r.offsets.at<Checked>(j); k < end; ++k)
        total = total + r.values.at<Checked>(k) * ratio.at<Checked>(r.indices.at<Checked>(k));
    return total;
}

inline void backward(Strided<const double> ratio, const ResponseRows& r, Strided<double> correction) {
    for (std::ptrdiff_t j = 0; j < correction.size; ++j) correction[j] = back_project_row(j, ratio, r);
}

inline void apply_sensitivity(Strided<double> correction, Strided<const double> sensitivity) {
    for (std::ptrdiff_t i = 0; i < correction.size; ++i)
        correction[i] = correction[i] / sensitivity_divisor(sensitivity.at<Checked>(i));
}

inline void multiply_update(Strided<double> x, Strided<const double> correction) {
    for (std::ptrdiff_t i = 0; i < x.size; ++i) x[i] = x[i] * correction.at<Checked>(i);
}

// The working arrays of one call, each of n elements.
struct Workspace {
    Strided<double> x, estimate, ratio, correction;
};

// `iterations` plain iterations from the current x; a null sensitivity (has_sensitivity false) skips
// the division, which equals dividing by ones.
inline void iterate_reference(Strided<const double> y, const ResponseRows& r, Strided<const double> sensitivity,
                              bool has_sensitivity, const Workspace& w, int iterations) {
    for (int t = 0; t < iterations; ++t) {
        forward(w.x, r, w.estimate);
        compute_ratio(y, w.estimate, w.ratio);
        backward(w.ratio, r, w.correction);
        if (has_sensitivity) apply_sensitivity(w.correction, sensitivity);
        multiply_update(w.x, w.correction);
    }
}

// ---------------------------------------------------------------------------------------------
// Validated, fused iteration.

// What validation found about the rows: whether any used entry position or measured bin is negative
// and needs wrapping, and whether every row is a run of consecutive bins (as the Gaussian builder
// makes them), which lets the iterations address bins by their row's first bin alone.
struct RowsLayout {
    bool wrap_positions = false;
    bool wrap_bins = false;
    bool runs = true;
};

// Checks everything the iterations will read: offsets[0 .. n], every entry position of rows
// 0 .. n-1 against both indices and values, every measured bin in those rows against n, and
// n sensitivities. Throws OutOfBounds{0} at the first violation. O(n + nnz).
inline RowsLayout validate_rows(std::ptrdiff_t n, const ResponseRows& r, Strided<const double> sensitivity,
                                bool has_sensitivity) {
    RowsLayout layout;
    if (r.offsets.size < n + 1) throw OutOfBounds{0};
    if (has_sensitivity && sensitivity.size < n) throw OutOfBounds{0};
    const std::int64_t entries = r.indices.size < r.values.size ? r.indices.size : r.values.size;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::int64_t start = r.offsets[j];
        const std::int64_t end = r.offsets[j + 1];
        if (start >= end) continue;
        // Positions below 0 count from the end of each array, so [start, end) must lie in
        // [-entries, entries) for both arrays.
        if (start < -entries || end > entries) throw OutOfBounds{0};
        if (start < 0) layout.wrap_positions = true;
        const std::int64_t first = r.indices[start < 0 ? start + r.indices.size : start];
        for (std::int64_t k = start; k < end; ++k) {
            const std::int32_t bin = r.indices[k < 0 ? k + r.indices.size : k];
            if (bin < -n || bin >= n) throw OutOfBounds{0};
            if (bin < 0) layout.wrap_bins = true;
            if (bin != first + (k - start)) layout.runs = false;
        }
    }
    if (layout.wrap_positions || layout.wrap_bins) layout.runs = false;
    return layout;
}

namespace detail {

struct Direct {
    static std::int64_t index(std::int64_t i, std::int64_t) noexcept { return i; }
};

struct Wrapped {
    static std::int64_t index(std::int64_t i, std::int64_t n) noexcept { return i < 0 ? i + n : i; }
};

// Entry positions and measured bins of validated rows, resolved through the wrap policies.
template <class Pos, class Bin>
struct RowReader {
    const char* idx_data;
    std::ptrdiff_t idx_stride;
    std::int64_t idx_size;
    const char* val_data;
    std::ptrdiff_t val_stride;
    std::int64_t val_size;
    std::int64_t n;

    explicit RowReader(const ResponseRows& r, std::int64_t bins) noexcept
        : idx_data(r.indices.data), idx_stride(r.indices.stride), idx_size(r.indices.size),
          val_data(r.values.data), val_stride(r.values.stride), val_size(r.values.size), n(bins) {}

    std::int64_t bin(std::int64_t k) const noexcept {
        const std::int32_t b =
            *reinterpret_cast<const std::int32_t*>(idx_data + Pos::index(k, idx_size) * idx_stride);
        return Bin::index(b, n);
    }
    double value(std::int64_t k) const noexcept {
        return *reinterpret_cast<const double*>(val_data + Pos::index(k, val_size) * val_stride);
    }
};

// Scatter of row j's entries with weight xj into estimate, in ascending entry position.
template <class Reader>
inline void scatter_row(const Reader& rd, std::int64_t start, std::int64_t end, double xj,
                        Strided<double> estimate) noexcept {
    for (std::int64_t k = start; k < end; ++k) {
        double& e = estimate[rd.bin(k)];
        e = e + xj * rd.value(k);
    }
}

template <class Reader>
inline double gather_row(const Reader& rd, std::int64_t start, std::int64_t end, Strided<const double> ratio,
                         double total = 0.0) noexcept {
    for (std::int64_t k = start; k < end; ++k) total = total + rd.value(k) * ratio[rd.bin(k)];
    return total;
}

// Back projections of the four rows [bounds[l], bounds[l + 1]). Each row's sum is still one chain in
// ascending entry position; running four chains side by side hides the latency of the additions.
template <class Reader>
inline void gather_rows4(const Reader& rd, const std::int64_t (&bounds)[5], Strided<const double> ratio,
                         double (&total)[4]) noexcept {
    std::int64_t len[4];
    std::int64_t common = INT64_MAX;
    for (int l = 0; l < 4; ++l) {
        len[l] = bounds[l + 1] > bounds[l] ? bounds[l + 1] - bounds[l] : 0;
        common = len[l] < common ? len[l] : common;
    }
    const std::int64_t s0 = bounds[0], s1 = bounds[1], s2 = bounds[2], s3 = bounds[3];
    double t0 = 0.0, t1 = 0.0, t2 = 0.0, t3 = 0.0;
    for (std::int64_t q = 0; q < common; ++q) {
        t0 = t0 + rd.value(s0 + q) * ratio[rd.bin(s0 + q)];
        t1 = t1 + rd.value(s1 + q) * ratio[rd.bin(s1 + q)];
        t2 = t2 + rd.value(s2 + q) * ratio[rd.bin(s2 + q)];
        t3 = t3 + rd.value(s3 + q) * ratio[rd.bin(s3 + q)];
    }
    total[0] = gather_row(rd, s0 + common, s0 + len[0], ratio, t0);
    total[1] = gather_row(rd, s1 + common, s1 + len[1], ratio, t1);
    total[2] = gather_row(rd, s2 + common, s2 + len[2], ratio, t2);
    total[3] = gather_row(rd, s3 + common, s3 + len[3], ratio, t3);
}

// One pass per iteration over the rows. The ratio pass also clears the estimate for the next
// forward projection; the row pass back-projects row j, divides, updates x[j] and at once scatters
// the new x[j] through the same row into the next estimate. Each measured bin therefore still
// accumulates rows in ascending order and entries in ascending position, and each x[j] sees the
// quotient, division and product of the plain order; only the traversals are merged.
template <class Pos, class Bin>
void iterate_fused(Strided<const double> y, const ResponseRows& r, Strided<const double> sensitivity,
                   bool has_sensitivity, const Workspace& w, int iterations) noexcept {
    const std::ptrdiff_t n = y.size;
    const RowReader<Pos, Bin> rd(r, n);
    for (std::ptrdiff_t i = 0; i < n; ++i) w.estimate[i] = 0.0;
    for (std::ptrdiff_t j = 0; j < n; ++j) scatter_row(rd, r.offsets[j], r.offsets[j + 1], w.x[j], w.estimate);

    for (int t = 0; t < iterations; ++t) {
        const bool project_next = t + 1 < iterations;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            w.ratio[i] = y[i] / (w.estimate[i] + RATIO_GUARD);
            if (project_next) w.estimate[i] = 0.0;
        }
        // Correction of row j from its back projection, the new x[j], and its next forward projection;
        // rows are finished strictly in ascending order.
        auto finish_row = [&](std::ptrdiff_t j, std::int64_t start, std::int64_t end, double c) {
            if (has_sensitivity) c = c / sensitivity_divisor(sensitivity[j]);
            const double xj = w.x[j] * c;
            w.x[j] = xj;
            if (project_next) scatter_row(rd, start, end, xj, w.estimate);
        };
        std::ptrdiff_t j = 0;
        for (; j + 4 <= n; j += 4) {
            const std::int64_t bounds[5] = {r.offsets[j], r.offsets[j + 1], r.offsets[j + 2], r.offsets[j + 3],
                                             r.offsets[j + 4]};
            double total[4];
            gather_rows4(rd, bounds, w.ratio, total);
            for (int l = 0; l < 4; ++l) finish_row(j + l, bounds[l], bounds[l + 1], total[l]);
        }
        for (; j < n; ++j) {
            const std::int64_t start = r.offsets[j], end = r.offsets[j + 1];
            finish_row(j, start, end, gather_row(rd, start, end, w.ratio));
        }
    }
}

// Rows that are runs of consecutive bins with contiguous weights: row j's entry q has the weight
// values[offsets[j] + q] and feeds bin indices[offsets[j]] + q. The estimate and ratio are contiguous.
struct RunRows {
    Strided<const std::int64_t> offsets;
    Strided<const std::int32_t> indices;
    const double* values;
};

// Row j as (first weight, first bin, length); an empty row has length 0 and is never dereferenced.
struct Run {
    const double* v;
    std::int64_t first_bin;
    std::int64_t len;
};

[[gnu::always_inline]] inline Run run_of(const RunRows& r, std::int64_t start, std::int64_t end) noexcept {
    if (start >= end) return {r.values, 0, 0};
    return {r.values + start, r.indices[start], end - start};
}

[[gnu::always_inline]] inline void scatter_run(const Run& run, double xj, double* estimate) noexcept {
    double* e = estimate + run.first_bin;
    for (std::int64_t q = 0; q < run.len; ++q) e[q] = e[q] + xj * run.v[q];
}

[[gnu::always_inline]] inline double gather_run(const Run& run, std::int64_t from, const double* ratio,
                                                double total) noexcept {
    const double* r = ratio + run.first_bin;
    for (std::int64_t q = from; q < run.len; ++q) total = total + run.v[q] * r[q];
    return total;
}

// The fused iteration of iterate_fused on run rows: the same operations per element in the same
// order; contiguous runs let the compiler vectorise the products and the scatter.
[[gnu::always_inline]] inline void iterate_runs_body(Strided<const double> y, const RunRows& r,
                                                     Strided<const double> sensitivity, bool has_sensitivity,
                                                     Strided<double> x, double* estimate, double* ratio,
                                                     int iterations) noexcept {
    const std::ptrdiff_t n = y.size;
    for (std::ptrdiff_t i = 0; i < n; ++i) estimate[i] = 0.0;
    for (std::ptrdiff_t j = 0; j < n; ++j) scatter_run(run_of(r, r.offsets[j], r.offsets[j + 1]), x[j], estimate);

    for (int t = 0; t < iterations; ++t) {
        const bool project_next = t + 1 < iterations;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            ratio[i] = y[i] / (estimate[i] + RATIO_GUARD);
            if (project_next) estimate[i] = 0.0;
        }
        auto finish_row = [&](std::ptrdiff_t j, const Run& run, double c) {
            if (has_sensitivity) c = c / sensitivity_divisor(sensitivity[j]);
            const double xj = x[j] * c;
            x[j] = xj;
            if (project_next) scatter_run(run, xj, estimate);
        };
        std::ptrdiff_t j = 0;
        for (; j + 4 <= n; j += 4) {
            const Run a = run_of(r, r.offsets[j], r.offsets[j + 1]);
            const Run b = run_of(r, r.offsets[j + 1], r.offsets[j + 2]);
            const Run c = run_of(r, r.offsets[j + 2], r.offsets[j + 3]);
            const Run d = run_of(r, r.offsets[j + 3], r.offsets[j + 4]);
            std::int64_t common = a.len < b.len ? a.len : b.len;
            common = c.len < common ? c.len : common;
            common = d.len < common ? d.len : common;
            const double *ra = ratio + a.first_bin, *rb = ratio + b.first_bin, *rc = ratio + c.first_bin,
                         *rd = ratio + d.first_bin;
            // Four independent chains side by side; each row still sums in ascending entry order.
            double ta = 0.0, tb = 0.0, tc = 0.0, td = 0.0;
            for (std::int64_t q = 0; q < common; ++q) {
                ta = ta + a.v[q] * ra[q];
                tb = tb + b.v[q] * rb[q];
                tc = tc + c.v[q] * rc[q];
                td = td + d.v[q] * rd[q];
            }
            finish_row(j, a, gather_run(a, common, ratio, ta));
            finish_row(j + 1, b, gather_run(b, common, ratio, tb));
            finish_row(j + 2, c, gather_run(c, common, ratio, tc));
            finish_row(j + 3, d, gather_run(d, common, ratio, td));
        }
        for (; j < n; ++j) {
            const Run a = run_of(r, r.offsets[j], r.offsets[j + 1]);
            finish_row(j, a, gather_run(a, 0, ratio, 0.0));
        }
    }
}

inline void iterate_runs_generic(Strided<const double> y, const RunRows& r, Strided<const double> sensitivity,
                                 bool has_sensitivity, Strided<double> x, double* estimate, double* ratio,
                                 int iterations) noexcept {
    iterate_runs_body(y, r, sensitivity, has_sensitivity, x, estimate, ratio, iterations);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define QUODEX_HAVE_AVX2_CLONE 1
// The same code with 256-bit vectors, chosen at run time. AVX2 alone brings no fused multiply-add,
// so every element still sees exactly the separate products and sums above.
[[gnu::target("avx2")]] inline void iterate_runs_avx2(Strided<const double> y, const RunRows& r,
                                                      Strided<const double> sensitivity, bool has_sensitivity,
                                                      Strided<double> x, double* estimate, double* ratio,
                                                      int iterations) noexcept {
    iterate_runs_body(y, r, sensitivity, has_sensitivity, x, estimate, ratio, iterations);
}

inline bool cpu_has_avx2() noexcept {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace detail

// Runs `iterations` iterations on rows that validate_rows accepted with this layout. Cannot fail.
// w.correction is not written: the fused pass keeps each correction in a register.
inline void iterate(Strided<const double> y, const ResponseRows& r, Strided<const double> sensitivity,
                    bool has_sensitivity, const Workspace& w, int iterations, RowsLayout layout) noexcept {
    using namespace detail;
    if (iterations <= 0 || y.size == 0) return;
    if (layout.runs && r.values.contiguous() && w.estimate.contiguous() && w.ratio.contiguous()) {
        const RunRows runs{r.offsets, r.indices, reinterpret_cast<const double*>(r.values.data)};
        auto* estimate = reinterpret_cast<double*>(w.estimate.data);
        auto* ratio = reinterpret_cast<double*>(w.ratio.data);
#ifdef QUODEX_HAVE_AVX2_CLONE
        if (cpu_has_avx2()) {
            iterate_runs_avx2(y, runs, sensitivity, has_sensitivity, w.x, estimate, ratio, iterations);
            return;
        }
#endif
        iterate_runs_generic(y, runs, sensitivity, has_sensitivity, w.x, estimate, ratio, iterations);
    } else if (!layout.wrap_positions && !layout.wrap_bins) {
        iterate_fused<Direct, Direct>(y, r, sensitivity, has_sensitivity, w, iterations);
    } else if (!layout.wrap_positions) {
        iterate_fused<Direct, Wrapped>(y, r, sensitivity, has_sensitivity, w, iterations);
    } else if (!layout.wrap_bins) {
        iterate_fused<Wrapped, Direct>(y, r, sensitivity, has_sensitivity, w, iterations);
    } else {
        iterate_fused<Wrapped, Wrapped>(y, r, sensitivity, has_sensitivity, w, iterations);
    }
}

}  // namespace quodex::deconvolution
