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
//  * own_rows + make_plan + iterate: the rows are checked and copied once, then the iterations run fused
//    and unchecked on the copies, run rows in diagonal blocks of vector lanes where the CPU has AVX2 or
//    AVX-512. Every element sees the same operations in the same order as in the reference form, so
//    the results are bit-identical; tests/cpp compares the forms on random and Gaussian rows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "../frame/core/chains.hpp"
#include "../frame/core/dispatch.hpp"
#include "../frame/core/simd_exp.hpp"
#include "../frame/core/views.hpp"

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
// Owned rows and the fused iteration.
//
// Validation copies everything the iterations index (row bounds, measured bins, weights) together
// with y and the sensitivity divisors into memory the call owns, and checks the copies, never a second
// reading of the caller's arrays. The iterations, which run without the GIL, index nothing else: a
// thread that rewrites the caller's arrays meanwhile can change what a call computes, never where it
// reads or writes.

// Storage of trivially copyable elements, left uninitialised. Large arrays are fresh memory on every
// call; on 2 MiB aligned ranges marked for huge pages the kernel takes one fault per 2 MiB instead of
// one per 4 KiB, which otherwise costs about as much as filling them.
template <class T>
class OwnedArray {
    static constexpr std::size_t kHuge = std::size_t{2} << 20;
    struct Free {
        bool huge;
        void operator()(T* p) const noexcept {
            if (huge) ::operator delete(p, std::align_val_t{kHuge});
            else ::operator delete(p);
        }
    };
    std::unique_ptr<T, Free> data_{nullptr, Free{false}};
    std::size_t size_ = 0;

public:
    OwnedArray() = default;
    explicit OwnedArray(std::size_t n) : size_(n) {
        const std::size_t bytes = (n ? n : 1) * sizeof(T);
        const bool huge = bytes >= 2 * kHuge;
        void* p = huge ? ::operator new(bytes, std::align_val_t{kHuge}) : ::operator new(bytes);
        data_ = std::unique_ptr<T, Free>(static_cast<T*>(p), Free{huge});
#if defined(MADV_HUGEPAGE)
        if (huge) madvise(p, bytes / kHuge * kHuge, MADV_HUGEPAGE);
#endif
    }
    T* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) const noexcept { return data_.get()[i]; }
};

// What validation found about the caller's rows: whether any used entry position or measured bin is
// negative and needed wrapping, and whether every row is a run of consecutive bins without either (as
// the Gaussian builder makes them), which the diagonal blocks need.
struct RowsLayout {
    bool wrap_positions = false;
    bool wrap_bins = false;
    bool runs = true;
};

// Elements of estimate and ratio before and after their n bins where blocks run: a block's vectors reach
// up to L - 1 bins below 0 (and W more in the scatter) and L - 1 above n - 1.
inline constexpr std::ptrdiff_t kScratchPad = 64;

// The rows of one call in its own memory: row j is the entries [start[j], start[j + 1]) of `bin` and
// `weight`, with bins resolved to 0 .. n-1 (n < 2^32); y and the divisors max(s, 1e-12) as given; the
// working x, estimate and ratio of the iterations, with `pad` elements before and after estimate and
// ratio. One allocation: small calls notice each one.
struct OwnedRows {
    std::ptrdiff_t n = 0;
    RowsLayout layout;
    bool has_sensitivity = false;
    OwnedArray<double> storage;  // everything below
    std::int64_t* start = nullptr;
    double *y = nullptr, *divisor = nullptr, *x = nullptr, *estimate = nullptr, *ratio = nullptr;
    double* weight = nullptr;
    std::uint32_t* bin = nullptr;
    std::ptrdiff_t pad = 0;
    // Rows whose bins ascend with gaps hold explicit zero weights in the gaps (fill_gaps), so that they
    // run as runs; `filler` marks those cells, one bit each, for the plain-order fallback.
    bool filled = false;
    OwnedArray<std::uint64_t> filler;
    // A small call's arrays live here rather than in a heap block: the allocation alone cost more than
    // its iteration. Pointers into it make the rows immovable.
    static constexpr std::size_t kInline = 512;
    alignas(64) double inline_storage[kInline];

    OwnedRows() = default;
    OwnedRows(const OwnedRows&) = delete;
    OwnedRows& operator=(const OwnedRows&) = delete;
};

// Checks everything the iterations use and copies it: offsets[0 .. n], every entry position of rows
// 0 .. n-1 against both indices and values, every measured bin in those rows against n, and n
// sensitivities. Throws OutOfBounds{0} at the first violation. O(n + nnz), nnz = the summed row lengths.
inline void own_rows(OwnedRows& o, Strided<const double> y, const ResponseRows& r,
                     Strided<const double> sensitivity, bool has_sensitivity, std::ptrdiff_t pad = 0) {
    const std::ptrdiff_t n = y.size;
    o.n = n;
    o.has_sensitivity = has_sensitivity;
    if (r.offsets.size < n + 1) throw OutOfBounds{0};
    if (has_sensitivity && sensitivity.size < n) throw OutOfBounds{0};
    // Bins are kept as 32-bit numbers; a spectrum of 2^32 bins (32 GiB) is beyond what a call can copy.
    if (static_cast<std::uint64_t>(n) > std::uint64_t{UINT32_MAX}) throw std::bad_alloc();
    const std::int64_t entries = r.indices.size < r.values.size ? r.indices.size : r.values.size;

    // Each offset is read once; the checks and the copy below use only this snapshot, on the stack for
    // small calls.
    constexpr std::ptrdiff_t kStackBounds = 256;
    std::int64_t stack_bounds[kStackBounds];
    OwnedArray<std::int64_t> heap_bounds;
    if (n + 1 > kStackBounds) heap_bounds = OwnedArray<std::int64_t>(static_cast<std::size_t>(n) + 1);
    std::int64_t* bound = n + 1 > kStackBounds ? heap_bounds.data() : stack_bounds;
    for (std::ptrdiff_t j = 0; j <= n; ++j) bound[j] = r.offsets[j];
    std::int64_t nnz = 0;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::int64_t s = bound[j], e = bound[j + 1];
        if (s >= e) continue;
        // Positions below 0 count from the end of each array, so [s, e) must lie in
        // [-entries, entries) for both arrays.
        if (s < -entries || e > entries) throw OutOfBounds{0};
        if (s < 0) o.layout.wrap_positions = true;
        nnz += e - s;
        // Rows may overlap, so their total has no bound but the product of n and the entries; far
        // below where the sizes below would overflow, no copy of that many fits in memory.
        if (nnz > std::int64_t{1} << 56) throw std::bad_alloc();
    }

    // One allocation: start, y, divisor, x; estimate and ratio, each starting a multiple of 8 elements
    // in; weights, then bins. int64 and double have the same size.
    const std::size_t bins = static_cast<std::size_t>(n);
    const std::size_t head = (bins + 1 + 3 * bins + 7) / 8 * 8;
    o.pad = pad;
    const std::size_t padded = (bins + 2 * pad + 7) / 8 * 8;
    const std::size_t entry_at = head + 2 * padded;
    const std::size_t total = entry_at + static_cast<std::size_t>(nnz + (nnz + 1) / 2);
    if (total > OwnedRows::kInline) o.storage = OwnedArray<double>(total);
    double* base = total > OwnedRows::kInline ? o.storage.data() : o.inline_storage;
    o.start = reinterpret_cast<std::int64_t*>(base);
    o.y = base + bins + 1;
    o.divisor = o.y + bins;
    o.x = o.divisor + bins;
    o.estimate = base + head + pad;
    o.ratio = base + head + padded + pad;
    std::fill(base + head, base + entry_at, 0.0);
    o.weight = base + entry_at;
    o.bin = reinterpret_cast<std::uint32_t*>(o.weight + nnz);

    std::int64_t k = 0;
    std::int64_t lo = bound[0];
    o.start[0] = 0;
    const bool contiguous = r.indices.contiguous() && r.values.contiguous();
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::int64_t hi = bound[j + 1];
        if (lo < hi && lo >= 0 && contiguous) {
            // The common case in one pass without branches on the data; a bad bin throws after the row.
            const std::int64_t len = hi - lo;
            const auto* ip = reinterpret_cast<const std::int32_t*>(r.indices.data) + lo;
            std::memcpy(o.weight + k, reinterpret_cast<const double*>(r.values.data) + lo,
                        static_cast<std::size_t>(len) * sizeof(double));
            std::uint32_t* bp = o.bin + k;
            const std::int64_t first = ip[0];
            bool bad = false, negative = false, run = true;
            for (std::int64_t q = 0; q < len; ++q) {
                const std::int64_t b = ip[q];
                bad |= (b < -n) | (b >= n);
                negative |= b < 0;
                run &= b == first + q;
                bp[q] = static_cast<std::uint32_t>(b < 0 ? b + n : b);
            }
            if (bad) throw OutOfBounds{0};
            if (negative) o.layout.wrap_bins = true;
            if (!run) o.layout.runs = false;
            k += len;
        } else if (lo < hi) {
            std::int64_t first = 0;
            for (std::int64_t q = lo; q < hi; ++q, ++k) {
                std::int64_t b = r.indices[q < 0 ? q + r.indices.size : q];
                o.weight[k] = r.values[q < 0 ? q + r.values.size : q];
                if (b < -n || b >= n) throw OutOfBounds{0};
                if (b < 0) {
                    o.layout.wrap_bins = true;
                    b += n;
                }
                if (q == lo) first = b;
                if (b != first + (q - lo)) o.layout.runs = false;
                o.bin[k] = static_cast<std::uint32_t>(b);
            }
        }
        o.start[j + 1] = k;
        lo = hi;
    }
    if (o.layout.wrap_positions || o.layout.wrap_bins) o.layout.runs = false;

    for (std::ptrdiff_t i = 0; i < n; ++i) o.y[i] = y[i];
    if (has_sensitivity) {
        for (std::ptrdiff_t i = 0; i < n; ++i) o.divisor[i] = sensitivity_divisor(sensitivity[i]);
    }
}

// Gap cells a call may add at most, per entry of its rows: beyond this the zeros cost more than the
// scattered rows they avoid.
inline constexpr std::int64_t kMaxGapCellsPerEntry = 1;

// Turns rows whose bins ascend with gaps into runs: each gap gets cells of weight +0.0, marked in
// `filler`. A zero cell adds x[j] * 0 to an estimate bin and 0 * ratio to a back projection, both +-0
// while x and the ratios are finite, and adding +-0 leaves every sum unchanged (no sum that starts at
// +0.0 is ever -0.0). Only a non-finite x or ratio can make a cell differ (NaN), and that shows as a
// non-finite x at the end, which `iterate` then recomputes without the cells. Works on the owned copies
// only. Returns false (rows left as they are) when some row does not ascend or the gaps are too wide.
inline bool fill_gaps(OwnedRows& o) {
    if (o.layout.runs || o.layout.wrap_positions || o.layout.wrap_bins || o.n == 0) return false;
    const std::ptrdiff_t n = o.n;
    const std::int64_t nnz = o.start[n];
    std::int64_t cells = 0;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::int64_t s = o.start[j], e = o.start[j + 1];
        if (s >= e) continue;
        for (std::int64_t k = s + 1; k < e; ++k)
            if (o.bin[k] <= o.bin[k - 1]) return false;
        cells += std::int64_t{o.bin[e - 1]} - o.bin[s] + 1;
    }
    if (cells - nnz > kMaxGapCellsPerEntry * nnz) return false;

    double* old_base = reinterpret_cast<double*>(o.start);
    const std::size_t entry_at = static_cast<std::size_t>(o.weight - old_base);
    const std::size_t c = static_cast<std::size_t>(cells);
    OwnedArray<double> storage(entry_at + c + (c + 1) / 2);
    double* base = storage.data();
    std::memcpy(base, old_base, entry_at * sizeof(double));
    auto* start = reinterpret_cast<std::int64_t*>(base);
    double* weight = base + entry_at;
    auto* bin = reinterpret_cast<std::uint32_t*>(weight + c);
    OwnedArray<std::uint64_t> filler((c + 63) / 64);
    std::fill(filler.data(), filler.data() + filler.size(), std::uint64_t{0});
    std::int64_t k = 0;
    start[0] = 0;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const std::int64_t s = o.start[j], e = o.start[j + 1];
        for (std::int64_t q = s; q < e; ++q) {
            if (q > s) {
                for (std::uint32_t b = o.bin[q - 1] + 1; b < o.bin[q]; ++b, ++k) {
                    weight[k] = 0.0;
                    bin[k] = b;
                    filler[static_cast<std::size_t>(k) / 64] |= std::uint64_t{1} << (k % 64);
                }
            }
            weight[k] = o.weight[q];
            bin[k] = o.bin[q];
            ++k;
        }
        start[j + 1] = k;
    }
    const std::ptrdiff_t shift = base - old_base;
    o.y += shift;
    o.divisor += shift;
    o.x += shift;
    o.estimate += shift;
    o.ratio += shift;
    o.start = start;
    o.weight = weight;
    o.bin = bin;
    o.storage = std::move(storage);
    o.filler = std::move(filler);
    o.filled = true;
    o.layout.runs = true;
    return true;
}

// The checks alone (for callers that only want to know).
inline RowsLayout validate_rows(std::ptrdiff_t n, const ResponseRows& r, Strided<const double> sensitivity,
                                bool has_sensitivity) {
    const std::vector<double> y(static_cast<std::size_t>(n));
    OwnedRows o;
    own_rows(o, Strided<const double>(y.data(), n), r, sensitivity, has_sensitivity);
    return o.layout;
}

// Diagonal blocks of run rows. A block holds L consecutive rows, one per vector lane, in V vectors of W
// lanes (L = V * W). With f_l the first bin of lane l and g = min over non-empty lanes of (f_l - l),
// lane l's entry q sits at slot s_l + q, s_l = f_l - l - g; the block's cells are slot-major, zero
// where a lane has no entry. Slot p then touches the bins g + p .. g + p + L - 1, one per lane, so the
// ratios and estimate bins a slot needs are contiguous vectors.
namespace detail {

inline constexpr int kBlockVectors = 4;
// A block whose cells exceed its entries by more than a quarter runs as scalar rows instead.
inline constexpr int kMaxPaddingQuarters = 1;

struct Block {
    std::int64_t row;          // first row
    std::int64_t g;            // bin of lane 0 at slot 0
    std::int64_t slots;        // P
    std::int64_t core_begin;   // [core_begin, core_end): slots where every lane has an entry
    std::int64_t core_end;
    std::size_t cells;         // offset of slot 0 in the cells, P * L doubles
    std::size_t masks;         // offset of the edge slots' lane masks, L per slot: first [0, core_begin),
                               // then [core_end, slots)
};

}  // namespace detail

// Calls with fewer iterations run the run rows without blocks: making the blocks costs about 1.5 ns per
// entry, what 7-8 iterations gain on the Gaussian rows (measured on HPGe; NaI breaks even sooner).
inline constexpr int kBlockMinIterations = 8;

// Everything one call's iterations use, made with the GIL held: the owned rows, the blocks of the
// vector path `isa` (none on Baseline).
class MlemPlan {
public:
    // Checks and copies the rows (OutOfBounds{0} on failure), with the scratch padding that blocks
    // need where they can be made, then makes the blocks.
    MlemPlan(Strided<const double> y, const ResponseRows& r, Strided<const double> sensitivity, bool has_sensitivity,
             int iterations, Isa isa = best_isa(), int min_block_iterations = kBlockMinIterations);
    MlemPlan(const MlemPlan&) = delete;
    MlemPlan& operator=(const MlemPlan&) = delete;

    OwnedRows rows;
    Isa isa = Isa::Baseline;
    int lanes = 0;
    std::vector<detail::Block> blocks;
    OwnedArray<double> cells;
    OwnedArray<std::int64_t> masks;  // all bits set in the lanes of an edge slot that hold an entry
    std::int64_t block_entries = 0;  // entries held in blocks
    std::int64_t block_cells = 0;    // their cells, padding included

private:
    void make_blocks(int iterations, int min_block_iterations);
};

inline int block_lanes(Isa isa) noexcept {
    return isa == Isa::Avx512 ? 8 * detail::kBlockVectors : isa == Isa::Avx2 ? 4 * detail::kBlockVectors : 0;
}

namespace detail {

// Block candidates of L rows from `row`; false when a lane is empty throughout or the padding is too big.
inline bool shape_block(const OwnedRows& o, std::int64_t row, int L, Block& b, std::int64_t& entries) noexcept {
    std::int64_t g = INT64_MAX;
    entries = 0;
    for (int l = 0; l < L; ++l) {
        const std::int64_t s = o.start[row + l], e = o.start[row + l + 1];
        if (s >= e) continue;
        entries += e - s;
        const std::int64_t d = std::int64_t{o.bin[s]} - l;
        g = d < g ? d : g;
    }
    if (entries == 0) return false;
    std::int64_t slots = 0, core_begin = 0, core_end = INT64_MAX;
    for (int l = 0; l < L; ++l) {
        const std::int64_t s = o.start[row + l], e = o.start[row + l + 1];
        const std::int64_t len = e > s ? e - s : 0;
        const std::int64_t first = len ? std::int64_t{o.bin[s]} - l - g : 0;
        slots = first + len > slots ? first + len : slots;
        core_begin = first > core_begin ? first : core_begin;
        core_end = first + len < core_end ? first + len : core_end;
    }
    if ((slots * L - entries) * 4 > entries * kMaxPaddingQuarters) return false;
    if (core_begin >= core_end) core_begin = core_end = slots;
    b = Block{row, g, slots, core_begin, core_end, 0, 0};
    return true;
}

}  // namespace detail

inline MlemPlan::MlemPlan(Strided<const double> y, const ResponseRows& r, Strided<const double> sensitivity,
                          bool has_sensitivity, int iterations, Isa isa_, int min_block_iterations)
    : isa(isa_) {
    const bool make = block_lanes(isa) > 0 && iterations >= min_block_iterations && y.size >= block_lanes(isa);
    own_rows(rows, y, r, sensitivity, has_sensitivity, make ? kScratchPad : 0);
    fill_gaps(rows);
    make_blocks(iterations, min_block_iterations);
}

inline void MlemPlan::make_blocks(int iterations, int min_block_iterations) {
    using namespace detail;
    MlemPlan& p = *this;
    const OwnedRows& o = rows;
    const std::ptrdiff_t n = o.n;

    const int L = block_lanes(isa);
    if (L == 0 || !o.layout.runs || iterations < min_block_iterations || o.pad < kScratchPad) {
        // Scalar run rows vectorise only their short scatters, for which the AVX2 build is as fast and
        // starts sooner: a small call measurably pays for its first 512-bit instructions.
        if (isa == Isa::Avx512 && isa_supported(Isa::Avx2)) p.isa = Isa::Avx2;
        return;
    }
    p.lanes = L;
    std::size_t cells = 0, masks = 0;
    for (std::int64_t row = 0; row + L <= n; row += L) {
        Block b;
        std::int64_t entries;
        if (!shape_block(o, row, L, b, entries)) continue;
        b.cells = cells;
        b.masks = masks;
        cells += static_cast<std::size_t>(b.slots * L);
        masks += static_cast<std::size_t>((b.core_begin + b.slots - b.core_end) * L);
        p.block_entries += entries;
        p.blocks.push_back(b);
    }
    p.block_cells = static_cast<std::int64_t>(cells);
    p.cells = OwnedArray<double>(cells);
    p.masks = OwnedArray<std::int64_t>(masks);
    std::vector<std::int64_t> first(static_cast<std::size_t>(L)), last(static_cast<std::size_t>(L));
    for (const Block& b : p.blocks) {
        for (int l = 0; l < L; ++l) {
            const std::int64_t lo = o.start[b.row + l], hi = o.start[b.row + l + 1];
            const std::int64_t len = hi > lo ? hi - lo : 0;
            first[l] = len ? std::int64_t{o.bin[lo]} - l - b.g : 0;
            last[l] = first[l] + len;
        }
        // Slot-major, written in order: lane l's entry q = slot - first[l] where there is one.
        double* c = p.cells.data() + b.cells;
        std::int64_t* m = p.masks.data() + b.masks;
        for (std::int64_t slot = 0; slot < b.slots; ++slot) {
            const bool edge = slot < b.core_begin || slot >= b.core_end;
            for (int l = 0; l < L; ++l) {
                const bool entry = slot >= first[l] && slot < last[l];
                *c++ = entry ? o.weight[o.start[b.row + l] + slot - first[l]] : 0.0;
                if (edge) *m++ = entry ? -1 : 0;
            }
        }
    }
    return;
}

namespace detail {

// ---- scalar rows, on the owned copies -----------------------------------------------------------

// Row j as (first weight, first bin, length); an empty row has length 0 and is never dereferenced.
struct Run {
    const double* v;
    std::int64_t first_bin;
    std::int64_t len;
};

[[gnu::always_inline]] inline Run run_of(const OwnedRows& o, std::int64_t j) noexcept {
    const std::int64_t s = o.start[j], e = o.start[j + 1];
    if (s >= e) return {o.weight, 0, 0};
    return {o.weight + s, std::int64_t{o.bin[s]}, e - s};
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

// c / divisor, then x[j] * c, and the new x[j] scattered into the next estimate: the order of the
// plain iteration for one row.
[[gnu::always_inline]] inline void finish_run(const OwnedRows& o, std::int64_t j, const Run& run, double c,
                                              double* x, double* estimate, bool project_next) noexcept {
    if (o.has_sensitivity) c = c / o.divisor[j];
    const double xj = x[j] * c;
    x[j] = xj;
    if (project_next) scatter_run(run, xj, estimate);
}

// Rows [jb, je) one by one, four back projections side by side (four_chain_sums).
[[gnu::always_inline]] inline void iterate_run_rows(const OwnedRows& o, std::int64_t jb, std::int64_t je, double* x,
                                                    double* estimate, const double* ratio,
                                                    bool project_next) noexcept {
    std::int64_t j = jb;
    for (; j + 4 <= je; j += 4) {
        const Run a = run_of(o, j), b = run_of(o, j + 1), c = run_of(o, j + 2), d = run_of(o, j + 3);
        std::int64_t common = a.len < b.len ? a.len : b.len;
        common = c.len < common ? c.len : common;
        common = d.len < common ? d.len : common;
        const double *ra = ratio + a.first_bin, *rb = ratio + b.first_bin, *rc = ratio + c.first_bin,
                     *rd = ratio + d.first_bin;
        const double* v[4] = {a.v, b.v, c.v, d.v};
        const double* r[4] = {ra, rb, rc, rd};
        double t[4] = {0.0, 0.0, 0.0, 0.0};
        four_chain_sums(common, t, [&](int l, std::int64_t q) { return v[l][q] * r[l][q]; });
        finish_run(o, j, a, gather_run(a, common, ratio, t[0]), x, estimate, project_next);
        finish_run(o, j + 1, b, gather_run(b, common, ratio, t[1]), x, estimate, project_next);
        finish_run(o, j + 2, c, gather_run(c, common, ratio, t[2]), x, estimate, project_next);
        finish_run(o, j + 3, d, gather_run(d, common, ratio, t[3]), x, estimate, project_next);
    }
    for (; j < je; ++j) {
        const Run a = run_of(o, j);
        finish_run(o, j, a, gather_run(a, 0, ratio, 0.0), x, estimate, project_next);
    }
}

// ---- blocks ---------------------------------------------------------------------------------------

// GCC vector types of W doubles: plain + and * on them are the IEEE operations lane by lane, so the
// same code serves every width and compiles to the instruction set of the function it is inlined into.
// The helpers hand vectors back through references: a vector return value would have an ABI that
// depends on the instruction set.
template <int W>
struct Vec {
    typedef double D __attribute__((vector_size(8 * W)));
    typedef double DU __attribute__((vector_size(8 * W), aligned(8)));
    typedef std::int64_t I __attribute__((vector_size(8 * W)));
    typedef std::int64_t IU __attribute__((vector_size(8 * W), aligned(8)));
};

template <int W>
[[gnu::always_inline]] inline void load(const double* p, typename Vec<W>::D& v) noexcept {
    v = *reinterpret_cast<const typename Vec<W>::DU*>(p);
}

template <int W>
[[gnu::always_inline]] inline void store(double* p, const typename Vec<W>::D& v) noexcept {
    *reinterpret_cast<typename Vec<W>::DU*>(p) = v;
}

// Sets to +0.0 the lanes of v outside the mask m. Adding +0.0 leaves every sum that started at +0.0
// unchanged (such a sum is never -0.0), where multiplying a zero weight could give 0 * inf = NaN.
template <int W>
[[gnu::always_inline]] inline void keep_entries(typename Vec<W>::D& v, const std::int64_t* m) noexcept {
    using I = typename Vec<W>::I;
    v = (typename Vec<W>::D)((I)v & *reinterpret_cast<const typename Vec<W>::IU*>(m));
}

// b moved one bin lower: (a[W - 1], b[0], ..., b[W - 2]).
template <int W>
[[gnu::always_inline]] inline void shift_in(const typename Vec<W>::D& a, typename Vec<W>::D& b) noexcept {
    if constexpr (W == 8) b = __builtin_shufflevector(a, b, 7, 8, 9, 10, 11, 12, 13, 14);
    else b = __builtin_shufflevector(a, b, 3, 4, 5, 6);
}

// One slot of the back projection; m: the slot's lane masks when Masked.
template <int W, bool Masked>
[[gnu::always_inline]] inline void gather_slot(std::int64_t p, const double* cells, const double* ratio,
                                               const std::int64_t* m,
                                               typename Vec<W>::D (&acc)[kBlockVectors]) noexcept {
    constexpr int L = W * kBlockVectors;
    for (int v = 0; v < kBlockVectors; ++v) {
        typename Vec<W>::D w, r;
        load<W>(cells + p * L + v * W, w);
        load<W>(ratio + p + v * W, r);
        typename Vec<W>::D prod = w * r;
        if constexpr (Masked) keep_entries<W>(prod, m + v * W);
        acc[v] = acc[v] + prod;
    }
}

// Back projections of the block's rows into total[0 .. L): slots ascending, so each lane's sum is one
// chain in entry order, as back_project_row adds. Only the edge slots need masks.
template <int W>
[[gnu::always_inline]] inline void block_gather(const Block& b, const double* cells, const std::int64_t* masks,
                                                const double* ratio, double* total) noexcept {
    constexpr int L = W * kBlockVectors;
    typename Vec<W>::D acc[kBlockVectors] = {};
    const double* c = cells + b.cells;
    const std::int64_t* m = masks + b.masks;
    const double* r = ratio + b.g;
    std::int64_t p = 0;
    for (; p < b.core_begin; ++p, m += L) gather_slot<W, true>(p, c, r, m, acc);
    for (; p < b.core_end; ++p) gather_slot<W, false>(p, c, r, m, acc);
    for (; p < b.slots; ++p, m += L) gather_slot<W, true>(p, c, r, m, acc);
    for (int v = 0; v < kBlockVectors; ++v) store<W>(total + v * W, acc[v]);
}

// One slot of the scatter, e holding the estimate bins of slot p, which then moves to slot p - 1.
template <int W, bool Masked>
[[gnu::always_inline]] inline void scatter_slot(std::int64_t p, const double* cells, const std::int64_t* m,
                                                const typename Vec<W>::D (&xv)[kBlockVectors],
                                                typename Vec<W>::D (&e)[kBlockVectors], double* est) noexcept {
    constexpr int L = W * kBlockVectors;
    for (int v = 0; v < kBlockVectors; ++v) {
        typename Vec<W>::D w;
        load<W>(cells + p * L + v * W, w);
        typename Vec<W>::D prod = xv[v] * w;
        if constexpr (Masked) keep_entries<W>(prod, m + v * W);
        e[v] = e[v] + prod;
    }
    // The top bin, est[p + L - 1], is final: no lower slot reaches it. Storing the whole top vector
    // each slot is cheaper than picking out that lane; the others are stored again later.
    store<W>(est + p + L - W, e[kBlockVectors - 1]);
    if (p == 0) return;
    typename Vec<W>::D below;
    load<W>(est + p - W, below);
    for (int v = kBlockVectors - 1; v > 0; --v) shift_in<W>(e[v - 1], e[v]);
    shift_in<W>(below, e[0]);
}

// x[0 .. L) of the block's rows scattered into the estimate: slots descending, so every bin receives
// lane 0 before lane 1 ... before lane L-1 (its rows in ascending order), and every slot's bins are
// distinct. The bins of the current slot stay in registers, shifted one bin down per slot; the loads
// below them never meet a store of this block.
template <int W>
[[gnu::always_inline]] inline void block_scatter(const Block& b, const double* cells, const std::int64_t* masks,
                                                 const double* x, double* estimate) noexcept {
    using D = typename Vec<W>::D;
    constexpr int L = W * kBlockVectors;
    D xv[kBlockVectors], e[kBlockVectors];
    const double* c = cells + b.cells;
    double* est = estimate + b.g;
    for (int v = 0; v < kBlockVectors; ++v) {
        load<W>(x + v * W, xv[v]);
        load<W>(est + (b.slots - 1) + v * W, e[v]);
    }
    // Edge masks: [0, core_begin) first, then [core_end, slots).
    const std::int64_t* m = masks + b.masks + (b.core_begin + b.slots - 1 - b.core_end) * L;
    std::int64_t p = b.slots - 1;
    for (; p >= b.core_end; --p, m -= L) scatter_slot<W, true>(p, c, m, xv, e, est);
    m = masks + b.masks + (b.core_begin - 1) * L;
    for (; p >= b.core_begin; --p) scatter_slot<W, false>(p, c, m, xv, e, est);
    for (; p >= 0; --p, m -= L) scatter_slot<W, true>(p, c, m, xv, e, est);
    for (int v = 0; v + 1 < kBlockVectors; ++v) store<W>(est + v * W, e[v]);
}

// A slot of either kind, masked where it is an edge slot.
template <int W>
[[gnu::always_inline]] inline void gather_any(const Block& b, std::int64_t p, const double* c, const double* r,
                                              const std::int64_t* masks,
                                              typename Vec<W>::D (&acc)[kBlockVectors]) noexcept {
    constexpr int L = W * kBlockVectors;
    if (p >= b.core_begin && p < b.core_end) {
        gather_slot<W, false>(p, c, r, masks, acc);
    } else {
        const std::int64_t edge = p < b.core_begin ? p : b.core_begin + p - b.core_end;
        gather_slot<W, true>(p, c, r, masks + b.masks + edge * L, acc);
    }
}

template <int W>
[[gnu::always_inline]] inline void scatter_any(const Block& b, std::int64_t p, const double* c,
                                               const std::int64_t* masks,
                                               const typename Vec<W>::D (&xv)[kBlockVectors],
                                               typename Vec<W>::D (&e)[kBlockVectors], double* est) noexcept {
    constexpr int L = W * kBlockVectors;
    if (p >= b.core_begin && p < b.core_end) {
        scatter_slot<W, false>(p, c, masks, xv, e, est);
    } else {
        const std::int64_t edge = p < b.core_begin ? p : b.core_begin + p - b.core_end;
        scatter_slot<W, true>(p, c, masks + b.masks + edge * L, xv, e, est);
    }
}

// block_scatter of block a and block_gather of a later block b in one loop. Both are chains of
// dependent additions, and independent of each other (the back projection reads only the ratios):
// side by side each fills the other's waiting time.
template <int W>
[[gnu::always_inline]] inline void scatter_and_gather(const Block& a, const Block& b, const double* cells,
                                                      const std::int64_t* masks, const double* xa, double* estimate,
                                                      const double* ratio, double* total) noexcept {
    using D = typename Vec<W>::D;
    D xv[kBlockVectors], e[kBlockVectors], acc[kBlockVectors] = {};
    const double* ca = cells + a.cells;
    const double* cb = cells + b.cells;
    const double* r = ratio + b.g;
    double* est = estimate + a.g;
    for (int v = 0; v < kBlockVectors; ++v) {
        load<W>(xa + v * W, xv[v]);
        load<W>(est + (a.slots - 1) + v * W, e[v]);
    }
    std::int64_t pa = a.slots - 1, pb = 0;
    for (; pa >= 0 && pb < b.slots; --pa, ++pb) {
        scatter_any<W>(a, pa, ca, masks, xv, e, est);
        gather_any<W>(b, pb, cb, r, masks, acc);
    }
    for (; pa >= 0; --pa) scatter_any<W>(a, pa, ca, masks, xv, e, est);
    for (; pb < b.slots; ++pb) gather_any<W>(b, pb, cb, r, masks, acc);
    for (int v = 0; v + 1 < kBlockVectors; ++v) store<W>(est + v * W, e[v]);
    for (int v = 0; v < kBlockVectors; ++v) store<W>(total + v * W, acc[v]);
}

// The fused iteration over scalar rows and blocks in ascending row order. The ratio pass also clears
// the estimate for the next forward projection; then each row (or block of rows) is back-projected,
// divided, its x updated and at once scattered through the same row into the next estimate. Every
// measured bin therefore accumulates rows in ascending order and entries in ascending position, and
// every x[j] sees the quotient, division and product of the plain order.
template <int W>
[[gnu::always_inline]] inline void iterate_runs_body(const MlemPlan& p, int iterations) noexcept {
    const OwnedRows& o = p.rows;
    const std::ptrdiff_t n = o.n;
    double* x = o.x;
    double* est = o.estimate;
    double* ratio = o.ratio;
    const double* y = o.y;
    for (std::ptrdiff_t i = 0; i < n; ++i) est[i] = 0.0;
    {
        std::int64_t j = 0;
        if constexpr (W > 0) {
            constexpr int L = W * kBlockVectors;
            for (const Block& b : p.blocks) {
                for (; j < b.row; ++j) scatter_run(run_of(o, j), x[j], est);
                block_scatter<W>(b, p.cells.data(), p.masks.data(), x + b.row, est);
                j = b.row + L;
            }
        }
        for (; j < n; ++j) scatter_run(run_of(o, j), x[j], est);
    }

    for (int t = 0; t < iterations; ++t) {
        const bool project_next = t + 1 < iterations;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            ratio[i] = y[i] / (est[i] + RATIO_GUARD);
            if (project_next) est[i] = 0.0;
        }
        std::int64_t j = 0;
        if constexpr (W > 0) {
            constexpr int L = W * kBlockVectors;
            alignas(64) double total[L];
            // A block's scatter waits until the next block is back-projected alongside it; the scalar
            // rows between them come after it, so the estimate still sees rows in ascending order.
            const Block* pending = nullptr;
            for (const Block& b : p.blocks) {
                if (pending && project_next) {
                    scatter_and_gather<W>(*pending, b, p.cells.data(), p.masks.data(), x + pending->row, est,
                                          ratio, total);
                } else {
                    block_gather<W>(b, p.cells.data(), p.masks.data(), ratio, total);
                }
                iterate_run_rows(o, j, b.row, x, est, ratio, project_next);
                double* xb = x + b.row;
                if (o.has_sensitivity) {
                    const double* d = o.divisor + b.row;
                    for (int l = 0; l < L; ++l) xb[l] = xb[l] * (total[l] / d[l]);
                } else {
                    for (int l = 0; l < L; ++l) xb[l] = xb[l] * total[l];
                }
                pending = &b;
                j = b.row + L;
            }
            if (pending && project_next)
                block_scatter<W>(*pending, p.cells.data(), p.masks.data(), x + pending->row, est);
        }
        iterate_run_rows(o, j, n, x, est, ratio, project_next);
    }
}


// Rows of any shape (bins in any order, repeated, wrapped): the same fused order, entry by entry.
// SkipFiller leaves out the cells fill_gaps added, which gives the rows as the caller gave them.
template <bool SkipFiller>
inline void iterate_rows(const MlemPlan& p, int iterations) noexcept {
    const OwnedRows& o = p.rows;
    const std::ptrdiff_t n = o.n;
    double* x = o.x;
    double* est = o.estimate;
    double* ratio = o.ratio;
    const std::int64_t* start = o.start;
    const std::uint32_t* bin = o.bin;
    const double* w = o.weight;
    const std::uint64_t* filler = o.filler.data();
    auto is_filler = [&](std::int64_t k) {
        if constexpr (SkipFiller) return ((filler[k / 64] >> (k % 64)) & 1) != 0;
        else return false;
    };
    auto scatter = [&](std::int64_t s, std::int64_t e, double xj) {
        for (std::int64_t k = s; k < e; ++k)
            if (!is_filler(k)) est[bin[k]] = est[bin[k]] + xj * w[k];
    };
    auto gather = [&](std::int64_t s, std::int64_t e, double total) {
        for (std::int64_t k = s; k < e; ++k)
            if (!is_filler(k)) total = total + w[k] * ratio[bin[k]];
        return total;
    };
    for (std::ptrdiff_t i = 0; i < n; ++i) est[i] = 0.0;
    for (std::ptrdiff_t j = 0; j < n; ++j) scatter(start[j], start[j + 1], x[j]);

    for (int t = 0; t < iterations; ++t) {
        const bool project_next = t + 1 < iterations;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            ratio[i] = o.y[i] / (est[i] + RATIO_GUARD);
            if (project_next) est[i] = 0.0;
        }
        auto finish_row = [&](std::ptrdiff_t j, double c) {
            if (o.has_sensitivity) c = c / o.divisor[j];
            const double xj = x[j] * c;
            x[j] = xj;
            if (project_next) scatter(start[j], start[j + 1], xj);
        };
        std::ptrdiff_t j = 0;
        // Four rows' chains side by side (four_chain_sums).
        for (; j + 4 <= n; j += 4) {
            std::int64_t s[4], len[4];
            std::int64_t common = INT64_MAX;
            for (int l = 0; l < 4; ++l) {
                s[l] = start[j + l];
                len[l] = start[j + l + 1] - s[l];
                common = len[l] < common ? len[l] : common;
            }
            double tot[4] = {0.0, 0.0, 0.0, 0.0};
            // A skipped cell adds +0.0, which leaves a sum that started at +0.0 unchanged.
            four_chain_sums(common, tot, [&](int l, std::int64_t q) {
                return is_filler(s[l] + q) ? 0.0 : w[s[l] + q] * ratio[bin[s[l] + q]];
            });
            for (int l = 0; l < 4; ++l) finish_row(j + l, gather(s[l] + common, s[l] + len[l], tot[l]));
        }
        for (; j < n; ++j) finish_row(j, gather(start[j], start[j + 1], 0.0));
    }
}

}  // namespace detail

// Runs `iterations` iterations from the current x (read at the start, written at the end) on a plan
// made for this many. Cannot fail and allocates nothing.
inline void iterate(const MlemPlan& p, Strided<double> x, int iterations) noexcept {
    using namespace detail;
    const std::ptrdiff_t n = p.rows.n;
    if (iterations <= 0 || n == 0) return;
    double* xo = p.rows.x;
    for (std::ptrdiff_t i = 0; i < n; ++i) xo[i] = x[i];
    if (!p.rows.layout.runs) {
        iterate_rows<false>(p, iterations);
    } else {
        // Blocks of W lanes: 8 on AVX-512, 4 on AVX2, none on the baseline.
        dispatch(p.isa, [&](auto isa) QUODEX_ISA_BODY {
            constexpr int W = isa.value == Isa::Avx512 ? 8 : isa.value == Isa::Avx2 ? 4 : 0;
            iterate_runs_body<W>(p, iterations);
        });
        if (p.rows.filled) {
            // Filled gaps can differ from the plain order only through a non-finite x (fill_gaps).
            bool finite = true;
            for (std::ptrdiff_t i = 0; i < n; ++i) finite &= std::isfinite(xo[i]);
            if (!finite) {
                for (std::ptrdiff_t i = 0; i < n; ++i) xo[i] = x[i];
                iterate_rows<true>(p, iterations);
            }
        }
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) x[i] = xo[i];
}

}  // namespace quodex::deconvolution
