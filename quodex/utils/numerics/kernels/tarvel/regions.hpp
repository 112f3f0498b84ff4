// Characteristic energies of a detector response (backscatter peak, Compton edge, peak window,
// escape peaks) framed by 0 and the top of the energy axis. Energies in keV. No Python here.
#pragma once

#include <array>

namespace quodex::tarvel {

inline constexpr double kPairThreshold = 1022.0;  // keV: below it no escape peaks exist
inline constexpr int kMaxBounds = 8;

// Energy of a photon scattered through 180 degrees, E_p / (1 + 2 E_p / 511), in this exact order.
inline double get_backscatter_E(double E_p) noexcept { return E_p / ((E_p + E_p) / 511.0 + 1.0); }

// Region bounds as doubles, in the order of the region list (the leading integer 0 as 0.0).
struct RegionBounds {
    std::array<double, kMaxBounds> value{};
    int size = 0;

    double operator[](int i) const noexcept { return value[static_cast<std::size_t>(i)]; }
};

// Sorts the way CPython's list.sort up to 3.12 treats a list shorter than its minimum run: the
// leading run (reversed when strictly descending), then binary insertion with `<`. For lists
// without NaN every stable sort agrees, so this is Python's order on any version; where NaN bounds
// land depends on the algorithm (3.13 finds runs differently), and a binding that needs the running
// interpreter's order there sorts such lists with the interpreter itself.
inline bool has_nan(const double* a, int n) noexcept {
    for (int i = 0; i < n; ++i)
        if (a[i] != a[i]) return true;
    return false;
}

inline void python_list_sort(double* a, int n) noexcept {
    if (n < 2) return;
    int run = 2;
    if (a[1] < a[0]) {
        while (run < n && a[run] < a[run - 1]) ++run;
        for (int l = 0, r = run - 1; l < r; ++l, --r) {
            const double t = a[l];
            a[l] = a[r];
            a[r] = t;
        }
    } else {
        while (run < n && !(a[run] < a[run - 1])) ++run;
    }
    for (int start = run; start < n; ++start) {
        const double pivot = a[start];
        int l = 0, r = start;
        do {
            const int p = l + ((r - l) >> 1);
            if (pivot < a[p]) r = p;
            else l = p + 1;
        } while (l < r);
        for (int p = start; p > l; --p) a[p] = a[p - 1];
        a[l] = pivot;
    }
}

// The region list before any sorting: 0, backscatter, Compton edge, peak window bounds,
// [single and double escape,] max_value.
inline RegionBounds region_list(double E_p, double max_value, bool has_escape_peaks) noexcept {
    const double backscatter = get_backscatter_E(E_p);
    RegionBounds b;
    b.value[0] = 0.0;
    b.value[1] = backscatter;
    b.value[2] = E_p - backscatter;
    b.value[3] = E_p - 10.0;
    b.value[4] = E_p + 10.0;
    if (has_escape_peaks) {
        b.value[5] = E_p - 511.0;
        b.value[6] = E_p - 1022.0;
        b.value[7] = max_value;
        b.size = 8;
    } else {
        b.value[5] = max_value;
        b.size = 6;
    }
    return b;
}

struct PythonListSort {
    void operator()(double* a, int n) const noexcept { python_list_sort(a, n); }
};

// Internal form of calculate_regions: 6 bounds in list order, or 8 sorted by `sort`, which must
// order them as Python's list.sort does.
template <class Sort = PythonListSort>
RegionBounds calculate_regions(double E_p, double max_value, bool has_escape_peaks, const Sort& sort = {}) {
    RegionBounds b = region_list(E_p, max_value, has_escape_peaks);
    if (has_escape_peaks) sort(b.value.data(), b.size);
    return b;
}

}  // namespace quodex::tarvel
