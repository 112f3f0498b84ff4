// The resampling of a response matrix onto requested energies, step by step: bracketing each
// requested energy, normalising the reference rows, and the row loop. The few steps that must go to
// the interpreter (error messages, sums beyond NumPy's buffer size, the interpreter's sort for region
// lists with NaN, releasing the GIL) come in through hooks. No Python here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "../frame/core/dispatch.hpp"
#include "../frame/core/views.hpp"
#include "interpolation.hpp"
#include "numpy_sum.hpp"
#include "resample.hpp"
#include "runs.hpp"

namespace quodex::tarvel {

// The high reference row of every requested energy (its low row is the one before), after the tests
// that keep every later read in range: a bracketing pair, ref_indices[0] < E <= ref_indices[-1], and
// the pair's rows in the matrix. Marks the rows used in `rows`. A failed test calls the [[noreturn]]
// hook of `fail`: no_pair(i, E, R), outside(i, E, ref_indices[0], ref_indices[-1]) or
// row_missing(k, matrix_rows).
template <class Fail>
std::vector<std::ptrdiff_t> bracket_requests(const View& requested, const View& ref_indices, std::ptrdiff_t matrix_rows,
                                             NormalisedRows& rows, Fail&& fail) {
    const std::ptrdiff_t R = ref_indices.size;
    const EnergySearch ref_search(ref_indices);
    std::vector<std::ptrdiff_t> high_rows(static_cast<std::size_t>(requested.size));
    for (std::ptrdiff_t i = 0; i < requested.size; ++i) {
        const double E = requested[i];
        if (R < 2) fail.no_pair(i, E, R);
        if (!(ref_indices[0] < E && E <= ref_indices[R - 1])) fail.outside(i, E, ref_indices[0], ref_indices[R - 1]);
        const std::ptrdiff_t k = ref_search(E);  // in 1 .. R-1 by the test above
        if (k >= matrix_rows) fail.row_missing(k, matrix_rows);
        high_rows[static_cast<std::size_t>(i)] = k;
        rows.want(k);
        rows.want(k - 1);
    }
    return high_rows;
}

// Divides each wanted reference row by np.sum of the whole row: summed here in NumPy's order within
// NumPy's buffer size, by the hook long_sum(r) (NumPy itself) beyond it.
template <class LongSum>
void normalise(NormalisedRows& rows, const Strided2D<const double>& matrix, std::ptrdiff_t bufsize,
               LongSum&& long_sum) {
    for (std::ptrdiff_t r = 0; r < rows.rows(); ++r) {
        if (!rows.wanted(r)) continue;
        const Strided<const double> row = matrix.row(r);
        double total;
        if (row.size <= bufsize) {
            total = numpy_sum(row);
        } else {
            total = long_sum(r);
        }
        rows.store(r, row, total);
    }
}

// Reference rows' interval tables for the run-wise path, built on first use by a request and kept
// for the few pairs in use (requests usually come sorted, so pairs change rarely); memory stays at
// a few rows however many reference rows the matrix has.
class TableCache {
public:
    TableCache(const RunTables& t, const NormalisedRows& rows) : tables_(t), rows_(rows) {
        for (Entry& e : entries_) e.table.resize(t.row_table_size());
    }
    // The table of reference row r; the one of `keep` (the other row of the pair) is not evicted.
    RowOperands get(std::ptrdiff_t r, std::ptrdiff_t keep) noexcept {
        Entry* victim = nullptr;
        for (Entry& e : entries_) {
            if (e.row == r) {
                e.used = ++clock_;
                return e.operands;
            }
            if (e.row != keep && (!victim || e.used < victim->used)) victim = &e;
        }
        victim->row = r;
        victim->used = ++clock_;
        victim->operands = tables_.row_table(rows_[r], victim->table.data());  // sized already: no allocation
        return victim->operands;
    }

private:
    struct Entry {
        std::ptrdiff_t row = -1;
        std::uint64_t used = 0;
        std::vector<double> table;
        RowOperands operands{};
    };
    const RunTables& tables_;
    const NormalisedRows& rows_;
    Entry entries_[4];
    std::uint64_t clock_ = 0;
};

// Entries reserved up front, N * K up to this; beyond it the rows grow the storage as they come.
constexpr std::size_t kReserveEntries = std::size_t{1} << 25;
// Channels resampled per release of the GIL, in whole rows (their region lists are made with it
// held): long enough to make the release cheap, short enough that other threads get turns.
constexpr std::ptrdiff_t kChannelsPerRelease = std::ptrdiff_t{1} << 16;

// The output rows, one per requested energy, into `out`. The channel loops run inside an `Unlocked`
// scope (the binding's GIL release) and read only memory the call owns (axis copies, normalised rows,
// tables), so a thread rewriting the inputs meanwhile cannot steer an access out of range. Region
// lists are ordered by `sort`; rows longer than NumPy's buffer size are summed by the hook
// long_nansum(row, K) outside that scope. Throws LengthError before any row is made.
template <class Unlocked, class Sort, class LongNansum>
void resample(const View& requested, const View& ref_indices, const std::vector<std::ptrdiff_t>& high_rows,
              const NormalisedRows& rows, const RunTables& tables, double max_value, std::ptrdiff_t bufsize,
              OutputRows& out, const Sort& sort, LongNansum&& long_nansum) {
    const std::ptrdiff_t N = requested.size, K = tables.channels();
    const bool sum_here = K <= bufsize;
    std::vector<double> row_values(static_cast<std::size_t>(K));
    const Strided<double> row_buffer(row_values.data(), K);
    check_response_row_lengths(tables.requested(), tables.ref_axis(), rows[high_rows[0]], rows[high_rows[0] - 1],
                               row_buffer);

    const Isa isa = best_isa();
    const EnergySearch axis_search(tables.ref_axis());
    std::optional<TableCache> cache;
    if (tables.usable()) cache.emplace(tables, rows);
    out.offsets.reserve(static_cast<std::size_t>(N) + 1);
    const std::size_t reserve = std::min(static_cast<std::size_t>(N) * static_cast<std::size_t>(K), kReserveEntries);
    const std::ptrdiff_t block = sum_here ? std::clamp<std::ptrdiff_t>(kChannelsPerRelease / std::max<std::ptrdiff_t>(K, 1), 1, N) : 1;
    std::vector<RowRegions> regions(static_cast<std::size_t>(block));
    for (std::ptrdiff_t i0 = 0; i0 < N; i0 += block) {
        const std::ptrdiff_t n = std::min(block, N - i0);
        for (std::ptrdiff_t r = 0; r < n; ++r) {
            const std::ptrdiff_t k = high_rows[static_cast<std::size_t>(i0 + r)];
            regions[static_cast<std::size_t>(r)] =
                response_row_regions(requested[i0 + r], ref_indices[k - 1], ref_indices[k], max_value, sort);
        }
        out.make_room(static_cast<std::size_t>(K) * static_cast<std::size_t>(n), reserve);
        {
            Unlocked unlocked;
            for (std::ptrdiff_t r = 0; r < n; ++r) {
                const std::ptrdiff_t i = i0 + r, k = high_rows[static_cast<std::size_t>(i)];
                const double E = requested[i], low_E = ref_indices[k - 1], high_E = ref_indices[k];
                const RowRegions& reg = regions[static_cast<std::size_t>(r)];
                if (cache) {
                    const RowOperands high = cache->get(k, k - 1);
                    const RowOperands low = cache->get(k - 1, k);
                    fill_row_runs(reg, row_runs(reg, E, low_E, high_E, tables), tables, high, low, row_values.data(),
                                  isa);
                } else {
                    fill_response_row(E, tables.requested(), axis_search, low_E, rows[k - 1], high_E, rows[k], reg,
                                      row_buffer);
                }
                if (!sum_here) break;
                collect_contiguous(row_values.data(), K, nansum_contiguous(row_values.data(), K, isa), out, isa);
                out.close_row();
            }
        }
        if (!sum_here) {
            const double total = long_nansum(row_values.data(), K);
            Unlocked unlocked;
            collect_contiguous(row_values.data(), K, total, out, isa);
            out.close_row();
        }
    }
}

}  // namespace quodex::tarvel
