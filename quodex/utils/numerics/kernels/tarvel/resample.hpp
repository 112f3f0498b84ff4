// Pieces of the matrix resampling that need no interpreter: the normalised reference rows and the
// sparse collection of output rows. No Python here.
//
//   NormalisedRows: slot per reference row [R], values [used rows * m], m = length of ref_E_axis
//   collect_row(row[K], total, out): appends the entries of row / total above 1e-12. O(K)
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../frame/core/sparse.hpp"
#include "../frame/core/views.hpp"

namespace quodex::tarvel {

// Entries at or below this after normalisation (and NaN) are left out of an output row.
inline constexpr double kThreshold = 1e-12;

// Reference rows divided by their sums, each stored once however many requested energies use it.
// Only the leading `length` values, the part the interpolation reads, are kept.
class NormalisedRows {
public:
    NormalisedRows(std::ptrdiff_t rows, std::ptrdiff_t length)
        : slot_(static_cast<std::size_t>(rows), -1), length_(length) {}

    void want(std::ptrdiff_t r) {
        if (slot_[static_cast<std::size_t>(r)] < 0) slot_[static_cast<std::size_t>(r)] = count_++;
    }
    bool wanted(std::ptrdiff_t r) const noexcept { return slot_[static_cast<std::size_t>(r)] >= 0; }
    std::ptrdiff_t rows() const noexcept { return static_cast<std::ptrdiff_t>(slot_.size()); }

    // Stores row[j] / total for j < length; `row` holds at least `length` values.
    void store(std::ptrdiff_t r, const Strided<const double>& row, double total) {
        if (values_.empty()) values_.resize(static_cast<std::size_t>(count_ * length_));
        double* out = values_.data() + slot_[static_cast<std::size_t>(r)] * length_;
        for (std::ptrdiff_t j = 0; j < length_; ++j) out[j] = row[j] / total;
    }

    Strided<const double> operator[](std::ptrdiff_t r) const noexcept {
        return Strided<const double>(values_.data() + slot_[static_cast<std::size_t>(r)] * length_, length_);
    }

private:
    std::vector<std::ptrdiff_t> slot_;
    std::vector<double> values_;
    std::ptrdiff_t length_;
    std::ptrdiff_t count_ = 0;
};

// Room for `extra` more elements, growing geometrically, so that appending within it cannot allocate.
template <class T>
void make_room(std::vector<T>& v, std::size_t extra) {
    if (v.capacity() - v.size() < extra) v.reserve(std::max(v.capacity() * 2, v.size() + extra));
}

// Appends channel j and row[j] / total for every quotient above kThreshold, in ascending j, then
// closes the row in `out.offsets`. The caller made room for row.size entries in indices and values;
// offsets must have room for one more.
inline void collect_row(const Strided<double>& row, double total, SparseRows& out) noexcept {
    for (std::ptrdiff_t j = 0; j < row.size; ++j) {
        const double v = row[j] / total;
        if (v > kThreshold) {
            out.indices.push_back(static_cast<std::int32_t>(j));
            out.values.push_back(v);
        }
    }
    out.offsets.push_back(static_cast<std::int64_t>(out.values.size()));
}

}  // namespace quodex::tarvel
