// The resampling walked in runs: when both axes ascend without NaN, the channels of one output row
// fall into contiguous runs that share a region pair, the reference-axis searches reduce to a table
// guess plus one compare, and every operand the channel formula reads is precomputed once per call.
// Bit-identical to fill_response_row: the same subtractions, products and divisions in the same
// order; only NaN channels may carry another NaN payload, and those never reach an output row (the
// row sum skips NaN, the threshold test drops it). No Python here; nothing here allocates once the
// tables exist, so the row functions may run without the interpreter lock.
//
//   RunTables:  owned copies of both axes, per reference-axis interval the operands (lower point,
//               width) and a bucket table that bounds the search; O(m + n) per call
//   RowTable:   per used reference row and interval the row value and its difference
//   fill_row_runs(...): one output row, O(n) plus O(bounds * log n) for the run ends
//   nansum_contiguous / collect_contiguous: the finish of a row into OutputRows
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "../frame/core/dispatch.hpp"
#include "../frame/core/simd_exp.hpp"
#include "../frame/core/views.hpp"
#include "interpolation.hpp"
#include "numpy_sum.hpp"
#include "resample.hpp"

namespace quodex::tarvel {

// A buffer of trivially copyable T owned by the call: malloc'd without initialisation (pages are
// touched only where written), grown by realloc, freed on every exit path.
template <class T>
class RawArray {
public:
    RawArray() = default;
    RawArray(const RawArray&) = delete;
    RawArray& operator=(const RawArray&) = delete;
    ~RawArray() { std::free(data_); }

    // Room for at least n elements in total; keeps the contents.
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* p = std::realloc(data_, n * sizeof(T));
        if (!p) throw std::bad_alloc();
        data_ = static_cast<T*>(p);
        capacity_ = n;
    }
    T* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    T* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Where the entries of the output rows go: room for `capacity` entries at `indices` and `values`.
// grow(n, kept) makes room for at least n, keeping the first `kept`, and may move both.
class EntryStorage {
public:
    std::int32_t* indices = nullptr;
    double* values = nullptr;
    std::size_t capacity = 0;
    virtual void grow(std::size_t n, std::size_t kept) = 0;

protected:
    ~EntryStorage() = default;
};

// Entries in memory of its own, freed with it.
class OwnedEntries final : public EntryStorage {
public:
    void grow(std::size_t n, std::size_t) override {
        indices_.reserve(n);
        values_.reserve(n);
        indices = indices_.data();
        values = values_.data();
        capacity = n;
    }

private:
    RawArray<std::int32_t> indices_;
    RawArray<double> values_;
};

// Output rows written in place: a row of n channels needs room for n entries plus one vector of
// slack (whole-vector stores may write past the last kept entry).
struct OutputRows {
    static constexpr std::size_t kSlack = 16;
    explicit OutputRows(EntryStorage& s) : storage(s) {}
    EntryStorage& storage;
    std::vector<std::int64_t> offsets{0};
    std::size_t size = 0;

    std::int32_t* indices() const noexcept { return storage.indices; }
    double* values() const noexcept { return storage.values; }
    // Room for n more entries; when it grows, to at least `expected` (the entries the caller expects
    // in all) and by half at least, so that growth stays rare.
    void make_room(std::size_t n, std::size_t expected = 0) {
        if (storage.capacity >= size + n + kSlack) return;
        storage.grow(std::max({size + n, expected, storage.capacity + storage.capacity / 2}) + kSlack, size);
    }
    void close_row() { offsets.push_back(static_cast<std::int64_t>(size)); }
};

// Appends channel j and row[j] / total for every quotient above kThreshold, in ascending j. The
// caller made room for n entries.
inline void collect_plain(const double* row, std::ptrdiff_t n, double total, OutputRows& out) noexcept {
    std::int32_t* idx = out.indices();
    double* val = out.values();
    std::size_t k = out.size;
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const double v = row[j] / total;
        if (v > kThreshold) {
            idx[k] = static_cast<std::int32_t>(j);
            val[k] = v;
            ++k;
        }
    }
    out.size = k;
}

// Operands of the reference-axis intervals, one array per operand: interval m lies between points
// m-1 and m; intervals 0 and from m_size on are the outside and hold NaN, so a reading there comes
// out NaN without a test. kPad entries past the last interval let a vector load a whole window.
inline constexpr std::ptrdiff_t kPad = 32;

// The row operands of one normalised reference row: y0[m] = y[m-1], dy[m] = y[m] - y[m-1].
struct RowOperands {
    const double* y0;
    const double* dy;
};

class RunTables {
public:
    // Copies both axes. `usable` tells whether the run-wise path applies (both ascend without NaN).
    RunTables(const View& requested_axis, const View& ref_axis)
        : K_(requested_axis.size), M_(ref_axis.size) {
        requested_.resize(static_cast<std::size_t>(K_));
        for (std::ptrdiff_t j = 0; j < K_; ++j) requested_[static_cast<std::size_t>(j)] = requested_axis[j];
        // past the end +inf: never below a reading
        ref_.assign(static_cast<std::size_t>(M_ + kPad), std::numeric_limits<double>::infinity());
        for (std::ptrdiff_t i = 0; i < M_; ++i) ref_[static_cast<std::size_t>(i)] = ref_axis[i];
        usable_ = K_ >= 1 && M_ >= 2 && M_ < (std::ptrdiff_t{1} << 28) && no_nan_ascending(requested_.data(), K_) &&
                  no_nan_ascending(ref_.data(), M_);
        if (!usable_) return;
        build_buckets();
        x0_.assign(static_cast<std::size_t>(M_ + kPad), kNaN);
        dx_.assign(static_cast<std::size_t>(M_ + kPad), kNaN);
        for (std::ptrdiff_t m = 1; m < M_; ++m) {
            const double a = ref_[static_cast<std::size_t>(m) - 1], b = ref_[static_cast<std::size_t>(m)];
            x0_[static_cast<std::size_t>(m)] = a;
            dx_[static_cast<std::size_t>(m)] = b - a;
        }
    }

    bool usable() const noexcept { return usable_; }
    // Owned copies: the GIL-free loops read these, never the caller's arrays.
    View requested() const noexcept { return View(requested_.data(), K_); }
    View ref_axis() const noexcept { return View(ref_.data(), M_); }
    const double* requested_data() const noexcept { return requested_.data(); }
    std::ptrdiff_t channels() const noexcept { return K_; }
    std::ptrdiff_t points() const noexcept { return M_; }
    // Every bucket holds at most one reference point: the search is the guess plus one compare.
    bool one_compare() const noexcept { return max_span_ <= 1; }

    // The interval of ref_axis holding e: #{i : ref[i] < e}, the index find_index_from_energy gives
    // on an ascending axis (M when e lies above it). NaN may give any interval (its reading is NaN).
    std::ptrdiff_t interval(double e) const noexcept {
        const std::int32_t b = bucket(e);
        std::ptrdiff_t lo = lo_[static_cast<std::size_t>(b)], hi = lo_[static_cast<std::size_t>(b) + 1];
        if (hi - lo > 8) return detail::bisect(e, View(ref_.data(), M_), lo, hi);
        while (lo < hi && ref_[static_cast<std::size_t>(lo)] < e) ++lo;
        return lo;
    }

    // interval(e) when one_compare(): no bucket holds two points, so one compare settles it.
    std::ptrdiff_t interval_one_compare(double e) const noexcept {
        const std::int32_t lo = lo_[static_cast<std::size_t>(bucket(e))];
        return lo + (ref_[static_cast<std::size_t>(lo)] < e);
    }

    // The bucket of e: monotone non-decreasing in e, so the points below e are bounded by the
    // counts of points in the buckets before and up to b(e).
    std::int32_t bucket(double e) const noexcept {
        const double t = (e - origin_) * scale_;
        if (!(t > 0.0)) return 0;
        if (!(t < top_)) return buckets_ - 1;
        return static_cast<std::int32_t>(t);
    }

    double origin() const noexcept { return origin_; }
    double scale() const noexcept { return scale_; }
    double top() const noexcept { return top_; }
    const std::int32_t* bucket_starts() const noexcept { return lo_.data(); }
    const double* padded_ref() const noexcept { return ref_.data(); }

    const double* x0() const noexcept { return x0_.data(); }
    const double* dx() const noexcept { return dx_.data(); }

    // Storage for the operands of one row.
    std::size_t row_table_size() const noexcept { return 2 * static_cast<std::size_t>(M_ + kPad); }
    // The operands of a normalised reference row (at least points() values) into `out` of
    // row_table_size() doubles.
    RowOperands row_table(const View& y, double* out) const noexcept {
        double* y0 = out;
        double* dy = out + (M_ + kPad);
        for (std::ptrdiff_t m = 1; m < M_; ++m) {
            y0[m] = y[m - 1];
            dy[m] = y[m] - y[m - 1];
        }
        y0[0] = dy[0] = kNaN;
        for (std::ptrdiff_t m = M_; m < M_ + kPad; ++m) y0[m] = dy[m] = kNaN;
        return {y0, dy};
    }

private:
    static bool no_nan_ascending(const double* a, std::ptrdiff_t n) noexcept {
        if (n > 0 && a[0] != a[0]) return false;
        for (std::ptrdiff_t i = 1; i < n; ++i)
            if (!(a[i - 1] <= a[i])) return false;
        return true;
    }

    // Buckets as wide as the mean spacing of the points, narrower (up to 8 per point) until none
    // holds two points; the search then is the guess plus one compare.
    void build_buckets() {
        for (std::ptrdiff_t per_point = 1; per_point <= 8; per_point *= 2) {
            build_buckets(per_point * M_);
            if (max_span_ <= 1) return;
        }
    }

    void build_buckets(std::ptrdiff_t buckets) {
        const double first = ref_[0], last = ref_[static_cast<std::size_t>(M_) - 1];
        const double scale = static_cast<double>(buckets) / (last - first);
        // Infinite ends or a degenerate span: one bucket, searched by bisection.
        if (first - first == 0.0 && last - last == 0.0 && last > first && scale - scale == 0.0) {
            buckets_ = static_cast<std::int32_t>(buckets);
            origin_ = first;
            scale_ = scale;
        } else {
            buckets_ = 1;
            origin_ = 0.0;
            scale_ = 0.0;
        }
        top_ = static_cast<double>(buckets_);
        std::vector<std::int32_t> count(static_cast<std::size_t>(buckets_) + 1, 0);
        for (std::ptrdiff_t i = 0; i < M_; ++i) ++count[static_cast<std::size_t>(bucket(ref_[static_cast<std::size_t>(i)])) + 1];
        // lo_[b] = points in buckets before b; lo_[b + 1] = points in buckets up to b.
        lo_.assign(static_cast<std::size_t>(buckets_) + 1 + kPad, static_cast<std::int32_t>(M_));
        lo_[0] = 0;
        max_span_ = 0;
        for (std::int32_t b = 0; b < buckets_; ++b) {
            lo_[static_cast<std::size_t>(b) + 1] = lo_[static_cast<std::size_t>(b)] + count[static_cast<std::size_t>(b) + 1];
            max_span_ = std::max(max_span_, count[static_cast<std::size_t>(b) + 1]);
        }
    }

    std::ptrdiff_t K_, M_;
    std::vector<double> requested_, ref_, x0_, dx_;
    std::vector<std::int32_t> lo_;
    double origin_ = 0.0, scale_ = 0.0, top_ = 1.0;
    std::int32_t buckets_ = 1, max_span_ = 0;
    bool usable_ = false;
};

// The constants of one output row, computed as the reference computes them per channel.
struct RowRuns {
    // Channel runs: run r covers channels [start[r], start[r + 1]) and uses bound pair (r, r + 1)
    // (r + 1 = k of the region search); channels before start[0] and from start[B - 1] are NaN.
    std::ptrdiff_t start[kMaxBounds];
    int bounds = 0;
    double c = 0.0, d = 0.0;  // E_p - low_E, high_E - low_E
};

// Run ends of a row on the owned ascending requested axis. The region search takes the first bound
// that reaches the channel; on ascending channels that index only grows, and it exceeds i exactly
// when the channel is above every bound up to i (NaN bounds stop every channel).
inline RowRuns row_runs(const RowRegions& regions, double E_p, double low_E, double high_E,
                        const RunTables& t) noexcept {
    RowRuns runs;
    runs.bounds = regions.E_i.size;
    runs.c = E_p - low_E;
    runs.d = high_E - low_E;
    const double* x = t.requested_data();
    const std::ptrdiff_t K = t.channels();
    double top = -std::numeric_limits<double>::infinity();
    std::ptrdiff_t lo = 0;
    for (int i = 0; i < runs.bounds; ++i) {
        const double b = regions.E_i[i];
        if (top == top && (b != b || b > top)) top = b;
        // first channel above every bound up to i
        std::ptrdiff_t hi = K;
        if (top != top) {
            lo = K;
        } else {
            while (lo < hi) {
                const std::ptrdiff_t mid = lo + (hi - lo) / 2;
                if (x[mid] > top) hi = mid;
                else lo = mid + 1;
            }
        }
        runs.start[i] = lo;
    }
    return runs;
}

namespace detail {

// One channel of run r: the defining operation order of interpolate_point.
struct RunConstants {
    double a, w, h0, hw, l0, lw, c, d;
};

inline RunConstants run_constants(const RowRegions& regions, const RowRuns& runs, int r) noexcept {
    return {regions.E_i[r],           regions.E_i[r + 1] - regions.E_i[r], regions.high[r],
            regions.high[r + 1] - regions.high[r], regions.low[r], regions.low[r + 1] - regions.low[r],
            runs.c,                   runs.d};
}

template <bool kOneCompare>
inline double reading(double e, const RunTables& t, const RowOperands& y) noexcept {
    const std::ptrdiff_t m = kOneCompare ? t.interval_one_compare(e) : t.interval(e);
    return (y.dy[m] * (e - t.x0()[m])) / t.dx()[m] + y.y0[m];
}

inline constexpr std::ptrdiff_t kChunk = 64;

// In chunks, step by step: the mapping and the final interpolation are plain loops over arrays that
// the compiler vectorises (two divisions per instruction with SSE2); the readings stay scalar.
template <bool kOneCompare>
void fill_runs_scalar(const RowRegions& regions, const RowRuns& runs, const RunTables& t,
                             const RowOperands& high, const RowOperands& low, double* row) noexcept {
    const double* x = t.requested_data();
    const std::ptrdiff_t K = t.channels();
    const std::ptrdiff_t first = runs.start[0], last = runs.start[runs.bounds - 1];
    for (std::ptrdiff_t j = 0; j < first; ++j) row[j] = kNaN;
    for (int r = 0; r + 1 < runs.bounds; ++r) {
        const RunConstants k = run_constants(regions, runs, r);
        for (std::ptrdiff_t j0 = runs.start[r]; j0 < runs.start[r + 1]; j0 += kChunk) {
            const std::ptrdiff_t n = std::min(kChunk, runs.start[r + 1] - j0);
            double e1s[kChunk], e2s[kChunk];
            for (std::ptrdiff_t j = 0; j < n; ++j) {
                const double f = (x[j0 + j] - k.a) / k.w;
                e1s[j] = f * k.hw + k.h0;
                e2s[j] = f * k.lw + k.l0;
            }
            for (std::ptrdiff_t j = 0; j < n; ++j) e1s[j] = reading<kOneCompare>(e1s[j], t, high);
            for (std::ptrdiff_t j = 0; j < n; ++j) e2s[j] = reading<kOneCompare>(e2s[j], t, low);
            for (std::ptrdiff_t j = 0; j < n; ++j) row[j0 + j] = ((e1s[j] - e2s[j]) * k.c) / k.d + e2s[j];
        }
    }
    for (std::ptrdiff_t j = last; j < K; ++j) row[j] = kNaN;
}

#if defined(QUODEX_SIMD_DISPATCH)

// Eight readings of one row at mapped energies e; the guess plus one compare needs one_compare().
// Neighbouring channels map to neighbouring intervals, so the bucket starts, reference points and
// operands usually come from a 16- or 32-entry window of each table by permutes; lanes spread wider
// take gathers. Every index lies in the padded tables whatever a lane holds, so masked-off lanes need no
// care.
QUODEX_TARGET_AVX512 inline __m512d window16(const double* a, __m512i at) noexcept {
    return _mm512_permutex2var_pd(_mm512_loadu_pd(a), at, _mm512_loadu_pd(a + 8));
}

QUODEX_TARGET_AVX512 inline __m512d window32(const double* a, __m512i at, __mmask8 upper) noexcept {
    return _mm512_mask_blend_pd(upper, window16(a, at), window16(a + 16, at));
}

QUODEX_TARGET_AVX512 inline __m512d interpolate8(__m512d e, __m512d x0, __m512d dx, __m512d y0, __m512d dy) noexcept {
    return _mm512_add_pd(_mm512_div_pd(_mm512_mul_pd(dy, _mm512_sub_pd(e, x0)), dx), y0);
}

// Readings whose lanes lie too far apart for a window: from the first points of their buckets.
QUODEX_TARGET_AVX512 inline __m512d gathered8(__m512d e, __m256i lo, const RunTables& t, const RowOperands& y) noexcept {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d at = _mm512_mask_i32gather_pd(zero, 0xFF, lo, t.padded_ref(), 8);
    const __m512i lo64 = _mm512_maskz_cvtepi32_epi64(0xFF, lo);
    const __m512i m = _mm512_mask_add_epi64(lo64, _mm512_cmp_pd_mask(at, e, _CMP_LT_OQ), lo64, _mm512_set1_epi64(1));
    return interpolate8(e, _mm512_mask_i64gather_pd(zero, 0xFF, m, t.x0(), 8),
                        _mm512_mask_i64gather_pd(zero, 0xFF, m, t.dx(), 8),
                        _mm512_mask_i64gather_pd(zero, 0xFF, m, y.y0, 8),
                        _mm512_mask_i64gather_pd(zero, 0xFF, m, y.dy, 8));
}

// `rising`: the readings of a run ascend with the channels, so the first lane's bucket is the lowest
// (the range test below catches any lane that is not).
QUODEX_TARGET_AVX512 inline __m512d reading8(__m512d e, const RunTables& t, const RowOperands& y, bool rising) noexcept {
    const __m512d zero = _mm512_setzero_pd();
    __m512d s = _mm512_mul_pd(_mm512_sub_pd(e, _mm512_set1_pd(t.origin())), _mm512_set1_pd(t.scale()));
    s = _mm512_mask_max_pd(zero, 0xFF, s, zero);  // NaN goes to 0, as in bucket()
    s = _mm512_mask_min_pd(zero, 0xFF, s, _mm512_set1_pd(t.top() - 1.0));
    const __m256i b = _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, s);
    std::int32_t bmin;
    if (rising) {
        bmin = t.bucket(_mm512_cvtsd_f64(e));
    } else {
        __m256i v = _mm256_min_epi32(b, _mm256_permute2x128_si256(b, b, 1));
        v = _mm256_min_epi32(v, _mm256_shuffle_epi32(v, 0x4E));
        v = _mm256_min_epi32(v, _mm256_shuffle_epi32(v, 0xB1));
        bmin = _mm256_cvtsi256_si32(v);
    }
    const std::int32_t* starts = t.bucket_starts();
    const __m256i brel = _mm256_sub_epi32(b, _mm256_set1_epi32(bmin));
    const std::int32_t base = starts[bmin];  // the bucket starts ascend: the lowest lane's is lowest
    __m256i lo;
    if (_mm256_testz_si256(brel, _mm256_set1_epi32(~31))) {  // every lane in [bmin, bmin + 32)
        const __m512i window = _mm512_maskz_permutex2var_epi32(0xFFFF, _mm512_loadu_si512(starts + bmin),
                                                               _mm512_castsi256_si512(brel),
                                                               _mm512_loadu_si512(starts + bmin + 16));
        lo = _mm512_maskz_extracti64x4_epi64(0xF, window, 0);
    } else {
        return gathered8(e, _mm256_i32gather_epi32(reinterpret_cast<const int*>(starts), b, 4), t, y);
    }
    const __m256i lrel = _mm256_sub_epi32(lo, _mm256_set1_epi32(base));
    const double* ref = t.padded_ref();
    const int spread = _mm256_movemask_epi8(_mm256_cmpgt_epi32(_mm256_set1_epi32(15), lrel));
    if (spread == -1) {
        const __m512i r = _mm512_maskz_cvtepu32_epi64(0xFF, lrel);
        const __m512d at = window16(ref + base, r);
        const __m512i m = _mm512_mask_add_epi64(r, _mm512_cmp_pd_mask(at, e, _CMP_LT_OQ), r, _mm512_set1_epi64(1));
        return interpolate8(e, window16(t.x0() + base, m), window16(t.dx() + base, m), window16(y.y0 + base, m),
                            window16(y.dy + base, m));
    }
    if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(_mm256_set1_epi32(31), lrel)) == -1) {
        const __m512i r = _mm512_maskz_cvtepu32_epi64(0xFF, lrel);
        const __m512i sixteen = _mm512_set1_epi64(16);
        const __m512d at = window32(ref + base, r, _mm512_cmpge_epu64_mask(r, sixteen));
        const __m512i m = _mm512_mask_add_epi64(r, _mm512_cmp_pd_mask(at, e, _CMP_LT_OQ), r, _mm512_set1_epi64(1));
        const __mmask8 upper = _mm512_cmpge_epu64_mask(m, sixteen);
        return interpolate8(e, window32(t.x0() + base, m, upper), window32(t.dx() + base, m, upper),
                            window32(y.y0 + base, m, upper), window32(y.dy + base, m, upper));
    }
    return gathered8(e, lo, t, y);
}

inline __mmask8 lanes8(std::ptrdiff_t left) noexcept { return left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1); }

QUODEX_TARGET_AVX512 inline void fill_runs_avx512(const RowRegions& regions, const RowRuns& runs,
                                                  const RunTables& t, const RowOperands& high, const RowOperands& low,
                                                  double* row) noexcept {
    const double* x = t.requested_data();
    const std::ptrdiff_t K = t.channels();
    const std::ptrdiff_t first = runs.start[0], last = runs.start[runs.bounds - 1];
    for (std::ptrdiff_t j = 0; j < first; ++j) row[j] = kNaN;
    for (int r = 0; r + 1 < runs.bounds; ++r) {
        const RunConstants k = run_constants(regions, runs, r);
        const __m512d a = _mm512_set1_pd(k.a), w = _mm512_set1_pd(k.w), h0 = _mm512_set1_pd(k.h0),
                      hw = _mm512_set1_pd(k.hw), l0 = _mm512_set1_pd(k.l0), lw = _mm512_set1_pd(k.lw),
                      c = _mm512_set1_pd(k.c), d = _mm512_set1_pd(k.d);
        const bool rising_high = k.w > 0.0 && k.hw >= 0.0, rising_low = k.w > 0.0 && k.lw >= 0.0;
        // In chunks, one step at a time: each step's chain of dependent divisions is short, so the
        // out-of-order core overlaps more channels.
        for (std::ptrdiff_t j0 = runs.start[r]; j0 < runs.start[r + 1]; j0 += kChunk) {
            const std::ptrdiff_t n = std::min(kChunk, runs.start[r + 1] - j0);
            alignas(64) double e1s[kChunk], e2s[kChunk], y1s[kChunk];
            for (std::ptrdiff_t j = 0; j < n; j += 8) {
                const __m512d xv = _mm512_maskz_loadu_pd(lanes8(n - j), x + j0 + j);
                const __m512d f = _mm512_div_pd(_mm512_sub_pd(xv, a), w);
                _mm512_store_pd(e1s + j, _mm512_add_pd(_mm512_mul_pd(f, hw), h0));
                _mm512_store_pd(e2s + j, _mm512_add_pd(_mm512_mul_pd(f, lw), l0));
            }
            for (std::ptrdiff_t j = 0; j < n; j += 8)
                _mm512_store_pd(y1s + j, reading8(_mm512_load_pd(e1s + j), t, high, rising_high));
            for (std::ptrdiff_t j = 0; j < n; j += 8) {
                const __m512d y1 = _mm512_load_pd(y1s + j);
                const __m512d y2 = reading8(_mm512_load_pd(e2s + j), t, low, rising_low);
                const __m512d v = _mm512_add_pd(_mm512_div_pd(_mm512_mul_pd(_mm512_sub_pd(y1, y2), c), d), y2);
                _mm512_mask_storeu_pd(row + j0 + j, lanes8(n - j), v);
            }
        }
    }
    for (std::ptrdiff_t j = last; j < K; ++j) row[j] = kNaN;
}

// np.nansum's pairwise order on contiguous data: a leaf's eight accumulators are one vector.
QUODEX_TARGET_AVX512 inline double pairwise_nansum_avx512(const double* a, std::ptrdiff_t n) noexcept {
    if (n < 8) {
        double res = 0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i] != a[i] ? 0.0 : a[i];
        return res;
    }
    if (n <= kPairwiseBlock) {
        __m512d v = _mm512_loadu_pd(a);
        __m512d r = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(v, v, _CMP_ORD_Q), v);
        std::ptrdiff_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            v = _mm512_loadu_pd(a + i);
            r = _mm512_add_pd(r, _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(v, v, _CMP_ORD_Q), v));
        }
        alignas(64) double q[8];
        _mm512_store_pd(q, r);
        double res = ((q[0] + q[1]) + (q[2] + q[3])) + ((q[4] + q[5]) + (q[6] + q[7]));
        for (; i < n; ++i) res += a[i] != a[i] ? 0.0 : a[i];
        return res;
    }
    std::ptrdiff_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_nansum_avx512(a, n2) + pairwise_nansum_avx512(a + n2, n - n2);
}

// row[j] / total above kThreshold, compressed in registers and stored as whole vectors (the slack
// of OutputRows takes the overhang).
QUODEX_TARGET_AVX512 inline void collect_avx512(const double* row, std::ptrdiff_t n, double total,
                                                OutputRows& out) noexcept {
    std::int32_t* idx = out.indices();
    double* val = out.values();
    std::size_t k = out.size;
    const __m512d tot = _mm512_set1_pd(total), cut = _mm512_set1_pd(kThreshold);
    __m512i j16 = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i step = _mm512_setr_epi32(8, 8, 8, 8, 8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0);
    for (std::ptrdiff_t j = 0; j < n; j += 8) {
        const __mmask8 lanes = lanes8(n - j);
        const __m512d r = _mm512_maskz_loadu_pd(lanes, row + j);
        // zeros and NaN divide to zero or NaN, never above the threshold: stretches of them (the
        // channels a response does not reach) skip the division
        if (_mm512_mask_cmp_pd_mask(lanes, r, _mm512_setzero_pd(), _CMP_NEQ_OQ) == 0) {
            j16 = _mm512_add_epi32(j16, step);
            continue;
        }
        const __m512d v = _mm512_div_pd(r, tot);
        const __mmask8 keep = _mm512_mask_cmp_pd_mask(lanes, v, cut, _CMP_GT_OQ);
        _mm512_storeu_pd(val + k, _mm512_maskz_compress_pd(keep, v));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(idx + k),
                            _mm512_maskz_extracti64x4_epi64(0xF, _mm512_maskz_compress_epi32(__mmask16(keep), j16), 0));
        k += static_cast<std::size_t>(__builtin_popcount(keep));
        j16 = _mm512_add_epi32(j16, step);
    }
    out.size = k;
}

#endif

}  // namespace detail

// One output row into `row` (points() channels of t). `high` and `low` are the row tables of the
// bracketing reference rows.
inline void fill_row_runs(const RowRegions& regions, const RowRuns& runs, const RunTables& t,
                          const RowOperands& high, const RowOperands& low, double* row, Isa isa) noexcept {
#if defined(QUODEX_SIMD_DISPATCH)
    if (isa == Isa::Avx512 && t.one_compare()) return detail::fill_runs_avx512(regions, runs, t, high, low, row);
#endif
    (void)isa;
    if (t.one_compare()) detail::fill_runs_scalar<true>(regions, runs, t, high, low, row);
    else detail::fill_runs_scalar<false>(regions, runs, t, high, low, row);
}

// np.nansum of n contiguous values, n within NumPy's buffer size.
inline double nansum_contiguous(const double* a, std::ptrdiff_t n, Isa isa) noexcept {
#if defined(QUODEX_SIMD_DISPATCH)
    if (isa == Isa::Avx512) return 0.0 + detail::pairwise_nansum_avx512(a, n);
#endif
    (void)isa;
    return numpy_nansum(View(a, n));
}

// Appends the kept entries of row / total and leaves the row open; room for n entries was made.
inline void collect_contiguous(const double* row, std::ptrdiff_t n, double total, OutputRows& out,
                               Isa isa) noexcept {
#if defined(QUODEX_SIMD_DISPATCH)
    if (isa == Isa::Avx512) return detail::collect_avx512(row, n, total, out);
#endif
    (void)isa;
    collect_plain(row, n, total, out);
}

}  // namespace quodex::tarvel
