// Region-wise interpolation of a response row between two reference rows, and the searches and
// point interpolations it is built from. No Python here.
//
//   requested_E_axis[n]            channel energies (keV) of the row to produce
//   ref_E_axis[m]                  channel energies of the reference rows
//   low_row[>= m], high_row[>= m]  reference rows at low_E and high_E
//   row_buffer[>= n]               output, entries 0 .. n-1 overwritten
// Cost O(n * (bounds + 2 search(m))): search(m) is m for the linear scan; on an ascending axis a
// cursor that follows the channels makes it a few steps (log m at worst).
#pragma once

#include <cstddef>
#include <limits>
#include <string>

#include "../frame/core/views.hpp"
#include "regions.hpp"

namespace quodex::tarvel {

using View = Strided<const double>;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A length that a routine relies on is too short; the binding raises it as ValueError.
struct LengthError {
    std::string message;
};

// First i with !(E > array[i]) (E <= array[i], or a NaN involved); -1 when E exceeds every element.
inline std::ptrdiff_t find_index_from_energy(double E, const View& array) noexcept {
    for (std::ptrdiff_t i = 0; i < array.size; ++i)
        if (!(E > array[i])) return i;
    return -1;
}

// Non-decreasing without NaN (a single element counts, whatever it holds): the scan's stopping
// test then holds on a suffix, which bisection can find.
inline bool is_ascending(const View& array) noexcept {
    for (std::ptrdiff_t i = 1; i < array.size; ++i)
        if (!(array[i - 1] <= array[i])) return false;
    return true;
}

namespace detail {

// First i in [lo, hi) with !(E > array[i]), or hi; the test must hold on a suffix of the range.
inline std::ptrdiff_t bisect(double E, const View& array, std::ptrdiff_t lo, std::ptrdiff_t hi) noexcept {
    while (lo < hi) {
        const std::ptrdiff_t mid = lo + (hi - lo) / 2;
        if (E > array[mid]) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

}  // namespace detail

// find_index_from_energy on an array for which is_ascending holds, in O(log size).
inline std::ptrdiff_t find_index_ascending(double E, const View& array) noexcept {
    if (E != E) return array.size > 0 ? 0 : -1;  // the scan stops at once on NaN
    const std::ptrdiff_t i = detail::bisect(E, array, 0, array.size);
    return i == array.size ? -1 : i;
}

// find_index_ascending for a sequence of nearby energies: each search starts where the previous one
// ended, walks a few elements and bisects only beyond them. Consecutive channels map to nearby
// reference energies, so the answer is usually one or two elements away.
class AscendingCursor {
public:
    explicit AscendingCursor(const View& a) noexcept : array(a) {}

    std::ptrdiff_t operator()(double E) noexcept {
        const std::ptrdiff_t n = array.size;
        if (E != E) return n > 0 ? 0 : -1;
        std::ptrdiff_t m = pos_;  // the answer lies above m when E > array[m], else at or below it
        if (m < n && E > array[m]) {
            const std::ptrdiff_t stop = m + kWalk < n ? m + kWalk : n;
            do ++m;
            while (m < stop && E > array[m]);
            if (m < n && E > array[m]) m = detail::bisect(E, array, m + 1, n);
        } else {
            const std::ptrdiff_t stop = m > kWalk ? m - kWalk : 0;
            while (m > stop && !(E > array[m - 1])) --m;
            if (m > 0 && !(E > array[m - 1])) m = detail::bisect(E, array, 0, m - 1);
        }
        pos_ = m;
        return m == n ? -1 : m;
    }

    View array;

private:
    static constexpr std::ptrdiff_t kWalk = 4;
    std::ptrdiff_t pos_ = 0;
};

// find_index_from_energy over one array, by bisection when the array allows it (tested once).
struct EnergySearch {
    View array;
    bool ascending;

    explicit EnergySearch(const View& a) noexcept : array(a), ascending(is_ascending(a)) {}
    std::ptrdiff_t operator()(double E) const noexcept {
        return ascending ? find_index_ascending(E, array) : find_index_from_energy(E, array);
    }
};

inline double linear_interpolation(double x, double x1, double x2, double y1, double y2) noexcept {
    return ((y2 - y1) * (x - x1)) / (x2 - x1) + y1;
}

namespace detail {

// y at x by linear interpolation on the searched axis; NaN at or below its first element, above
// its last, or for NaN. `y` holds at least as many elements as the axis.
template <class Search>
double on_axis(double x, Search& axis, const View& y) noexcept {
    const std::ptrdiff_t m = axis(x);
    if (m <= 0) return kNaN;
    const View& xa = axis.array;
    return linear_interpolation(x, xa[m - 1], xa[m], y[m - 1], y[m]);
}

struct LinearSearch {
    View array;
    std::ptrdiff_t operator()(double E) const noexcept { return find_index_from_energy(E, array); }
};

// One channel: map j_k region by region into the bound lists of E_1 and E_2, read y_1 and y_2
// there, interpolate the two readings in incident energy. All bound lists have one length.
// `axis_1` and `axis_2` search ref_E_axis for the readings of y_1 and y_2.
template <class Search1, class Search2, class Bounds>
double point(double j_k, double E_i, double E_1, double E_2, const Bounds& E_1_regions, const Bounds& E_2_regions,
             const Bounds& E_i_regions, Search1& axis_1, Search2& axis_2, const View& y_1, const View& y_2) noexcept {
    const double ei_jk = j_k;
    std::ptrdiff_t k = -1;
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(E_i_regions.size); ++i) {
        if (!(ei_jk > E_i_regions[i])) {
            k = i;
            break;
        }
    }
    if (k <= 0) return kNaN;
    const double f = (ei_jk - E_i_regions[k - 1]) / (E_i_regions[k] - E_i_regions[k - 1]);
    const double e1_jk = f * (E_1_regions[k] - E_1_regions[k - 1]) + E_1_regions[k - 1];
    const double e2_jk = f * (E_2_regions[k] - E_2_regions[k - 1]) + E_2_regions[k - 1];
    const double y1_jk = on_axis(e1_jk, axis_1, y_1);
    const double y2_jk = on_axis(e2_jk, axis_2, y_2);
    return linear_interpolation(E_i, E_2, E_1, y2_jk, y1_jk);
}

[[noreturn]] inline void too_short(const char* routine, const char* what, std::ptrdiff_t have, const char* other,
                                   std::ptrdiff_t need) {
    throw LengthError{std::string(routine) + ": " + what + " has " + std::to_string(have) + " elements, fewer than the " +
                      std::to_string(need) + " of " + other};
}

}  // namespace detail

// y_array at x by linear interpolation on x_array (linear scan), or NaN where x_array does not
// bracket x. Throws LengthError when y_array is shorter than x_array.
inline double interpolate_point_on_axis(double x, const View& x_array, const View& y_array) {
    if (y_array.size < x_array.size)
        detail::too_short("interpolate_point_on_axis", "y_array", y_array.size, "x_array", x_array.size);
    detail::LinearSearch search{x_array};
    return detail::on_axis(x, search, y_array);
}

// One channel value (linear scans throughout). Throws LengthError unless the three bound lists
// have one length and y_1, y_2 cover ref_E_axis.
inline double interpolate_point(double j_k, double E_i, double E_1, double E_2, const View& E_1_regions,
                                const View& E_2_regions, const View& E_i_regions, const View& ref_E_axis,
                                const View& y_1, const View& y_2) {
    if (E_1_regions.size != E_i_regions.size || E_2_regions.size != E_i_regions.size)
        throw LengthError{"interpolate_point: E_1_regions, E_2_regions and E_i_regions have " +
                          std::to_string(E_1_regions.size) + ", " + std::to_string(E_2_regions.size) + " and " +
                          std::to_string(E_i_regions.size) + " elements; they must be equal"};
    if (y_1.size < ref_E_axis.size) detail::too_short("interpolate_point", "y_1", y_1.size, "ref_E_axis", ref_E_axis.size);
    if (y_2.size < ref_E_axis.size) detail::too_short("interpolate_point", "y_2", y_2.size, "ref_E_axis", ref_E_axis.size);
    detail::LinearSearch search{ref_E_axis};
    return detail::point(j_k, E_i, E_1, E_2, E_1_regions, E_2_regions, E_i_regions, search, search, y_1, y_2);
}

// Bound lists of one output row: those of low_E and high_E (escape peaks for both when
// low_E > 1022) and, between them, those of E_p.
struct RowRegions {
    RegionBounds low, high, E_i;
};

// `max_value` is the top of the requested axis as np.max gives it (NaN when the axis holds NaN);
// `sort` as for calculate_regions.
template <class Sort = PythonListSort>
RowRegions response_row_regions(double E_p, double low_E, double high_E, double max_value, const Sort& sort = {}) {
    const bool has_escape_peaks = low_E > kPairThreshold;
    RowRegions r;
    r.low = calculate_regions(low_E, max_value, has_escape_peaks, sort);
    r.high = calculate_regions(high_E, max_value, has_escape_peaks, sort);
    const double t = (E_p - low_E) / (high_E - low_E);
    r.E_i.size = r.low.size;
    for (int i = 0; i < r.low.size; ++i) r.E_i.value[i] = t * (r.high[i] - r.low[i]) + r.low[i];
    return r;
}

// Throws LengthError unless the rows cover ref_E_axis and row_buffer covers requested_E_axis.
inline void check_response_row_lengths(const View& requested_E_axis, const View& ref_E_axis, const View& low_row,
                                       const View& high_row, const Strided<double>& row_buffer) {
    constexpr const char* who = "interpolate_response_row";
    if (low_row.size < ref_E_axis.size) detail::too_short(who, "low_row", low_row.size, "ref_E_axis", ref_E_axis.size);
    if (high_row.size < ref_E_axis.size)
        detail::too_short(who, "high_row", high_row.size, "ref_E_axis", ref_E_axis.size);
    if (row_buffer.size < requested_E_axis.size)
        detail::too_short(who, "row_buffer", row_buffer.size, "requested_E_axis", requested_E_axis.size);
}

namespace detail {

template <class Search>
void fill_row(double E_p, const View& requested_E_axis, Search high_axis, Search low_axis, double low_E,
              const View& low_row, double high_E, const View& high_row, const RowRegions& regions,
              const Strided<double>& row_buffer) noexcept {
    for (std::ptrdiff_t i = 0; i < requested_E_axis.size; ++i)
        row_buffer[i] = point(requested_E_axis[i], E_p, high_E, low_E, regions.high, regions.low, regions.E_i,
                              high_axis, low_axis, high_row, low_row);
}

}  // namespace detail

// The channel loop, on lengths already checked; touches no Python object and cannot fail. On an
// ascending reference axis each of the two readings follows its own cursor.
inline void fill_response_row(double E_p, const View& requested_E_axis, const EnergySearch& ref_E_axis, double low_E,
                              const View& low_row, double high_E, const View& high_row, const RowRegions& regions,
                              const Strided<double>& row_buffer) noexcept {
    if (ref_E_axis.ascending)
        detail::fill_row(E_p, requested_E_axis, AscendingCursor(ref_E_axis.array), AscendingCursor(ref_E_axis.array),
                         low_E, low_row, high_E, high_row, regions, row_buffer);
    else
        detail::fill_row(E_p, requested_E_axis, detail::LinearSearch{ref_E_axis.array},
                         detail::LinearSearch{ref_E_axis.array}, low_E, low_row, high_E, high_row, regions, row_buffer);
}

// Response row for E_p between the reference rows at low_E and high_E, on requested_E_axis.
// `max_value` as for response_row_regions. Throws LengthError before writing anything.
inline void interpolate_response_row(double E_p, const View& requested_E_axis, const View& ref_E_axis, double low_E,
                                     const View& low_row, double high_E, const View& high_row,
                                     const Strided<double>& row_buffer, double max_value) {
    check_response_row_lengths(requested_E_axis, ref_E_axis, low_row, high_row, row_buffer);
    fill_response_row(E_p, requested_E_axis, EnergySearch(ref_E_axis), low_E, low_row, high_E, high_row,
                      response_row_regions(E_p, low_E, high_E, max_value), row_buffer);
}

}  // namespace quodex::tarvel
