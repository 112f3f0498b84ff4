#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tarvel/interpolation.hpp"
#include "tarvel/numpy_sum.hpp"
#include "tarvel/regions.hpp"
#include "tarvel/resample.hpp"

using namespace quodex;
using namespace quodex::tarvel;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

View view(const std::vector<double>& v) { return View(v.data(), std::ptrdiff_t(v.size())); }

std::vector<double> bounds(const RegionBounds& b) { return {b.value.begin(), b.value.begin() + b.size}; }

// Same values bit for bit (NaN equal to NaN, -0.0 different from 0.0).
void expect_same(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(std::memcmp(&got[i], &want[i], sizeof(double)), 0) << "at " << i << ": " << got[i] << " vs " << want[i];
}

}  // namespace

TEST(TarvelRegions, BackscatterEnergy) {
    EXPECT_EQ(get_backscatter_E(662.0), 184.34986376021797);
    EXPECT_EQ(get_backscatter_E(255.5), 127.75);
    EXPECT_EQ(get_backscatter_E(-255.5), -kInf);  // zero denominator, IEEE result
    EXPECT_TRUE(std::isnan(get_backscatter_E(kInf)));
}

TEST(TarvelRegions, ListsInPythonOrder) {
    expect_same(bounds(calculate_regions(662.0, 3000.0, false)),
                {0.0, 184.34986376021797, 477.650136239782, 652.0, 672.0, 3000.0});
    // backscatter above the Compton edge stays where it is without escape peaks
    expect_same(bounds(calculate_regions(100.0, 1000.0, false)),
                {0.0, 71.87060478199719, 28.129395218002813, 90.0, 110.0, 1000.0});
    expect_same(bounds(calculate_regions(1500.0, 3000.0, true)),
                {0.0, 218.3138706921105, 478.0, 989.0, 1281.6861293078896, 1490.0, 1510.0, 3000.0});
    expect_same(bounds(calculate_regions(1500.0, 1400.0, true)),
                {0.0, 218.3138706921105, 478.0, 989.0, 1281.6861293078896, 1400.0, 1490.0, 1510.0});
    expect_same(bounds(calculate_regions(800.0, 3000.0, true)),
                {-222.0, 0.0, 193.65229748934155, 289.0, 606.3477025106585, 790.0, 810.0, 3000.0});
}

// Expected orders are those of sorted() on the same lists in CPython 3.10 to 3.12.
TEST(TarvelRegions, SortPlacesNaNAsPythonDoes) {
    const double nan = kNaN;
    struct Case {
        std::vector<double> in, out;
    };
    const Case cases[] = {
        {{0, nan, nan, kInf, kInf, kInf, kInf, 5.0}, {0, nan, nan, 5.0, kInf, kInf, kInf, kInf}},
        {{0, 3.0, nan, 1.0, 2.0, -1.0, nan, 0.5}, {0, 3.0, nan, -1.0, 0.5, 1.0, 2.0, nan}},
        {{5.0, 4.0, nan, 3.0, 2.0, 1.0}, {1.0, 2.0, 3.0, 4.0, 5.0, nan}},
        {{0.0, 2.0, 1.0, 1.0, -0.0, 0.0, 3.0, nan}, {0.0, -0.0, 0.0, 1.0, 1.0, 2.0, 3.0, nan}},
    };
    for (const Case& c : cases) {
        std::vector<double> v = c.in;
        python_list_sort(v.data(), int(v.size()));
        expect_same(v, c.out);
    }
}

TEST(TarvelRegions, SortIsStableAscendingOnOrderedValues) {
    std::mt19937 gen(7);
    const double pool[] = {-1.0, -0.0, 0.0, 0.5, 2.0, kInf, -kInf};
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<double> v(gen() % 9);
        for (double& x : v) x = pool[gen() % 7];
        std::vector<double> want = v;
        std::stable_sort(want.begin(), want.end());
        python_list_sort(v.data(), int(v.size()));
        expect_same(v, want);
    }
}

TEST(TarvelRegions, EscapePeakFlagFollowsLowEnergy) {
    EXPECT_EQ(response_row_regions(1500.0, 1022.0, 2000.0, 3000.0).low.size, 6);
    EXPECT_EQ(response_row_regions(1500.0, 1022.0, 2000.0, 3000.0).high.size, 6);
    EXPECT_EQ(response_row_regions(1500.0, 1022.5, 2000.0, 3000.0).high.size, 8);
    EXPECT_EQ(response_row_regions(1000.0, 500.0, 1500.0, 3000.0).high.size, 6);
}

TEST(TarvelRegions, InterpolatedBounds) {
    const RowRegions r = response_row_regions(700.0, 600.0, 1000.0, 2500.0);
    const double t = (700.0 - 600.0) / (1000.0 - 600.0);
    for (int i = 0; i < r.E_i.size; ++i) EXPECT_EQ(r.E_i[i], t * (r.high[i] - r.low[i]) + r.low[i]);
    expect_same(bounds(response_row_regions(600.0, 600.0, 1000.0, 2500.0).E_i),
                bounds(calculate_regions(600.0, 2500.0, false)));
}

TEST(TarvelSearch, LinearScanExamples) {
    const std::vector<double> a = {1.0, 2.0, 3.0};
    EXPECT_EQ(find_index_from_energy(2.0, view(a)), 1);
    EXPECT_EQ(find_index_from_energy(0.5, view(a)), 0);
    EXPECT_EQ(find_index_from_energy(3.5, view(a)), -1);
    EXPECT_EQ(find_index_from_energy(kNaN, view(a)), 0);
    EXPECT_EQ(find_index_from_energy(1.0, View()), -1);
    // unsorted: the first element that reaches E, not the bracketing pair
    const std::vector<double> u = {5.0, 1.0, 7.0};
    EXPECT_EQ(find_index_from_energy(6.0, view(u)), 2);
    EXPECT_EQ(find_index_from_energy(kNaN, View()), -1);
}

TEST(TarvelSearch, AscendingTest) {
    EXPECT_TRUE(is_ascending(View()));
    EXPECT_TRUE(is_ascending(view({kNaN})));
    EXPECT_TRUE(is_ascending(view({-kInf, 1.0, 1.0, kInf})));
    EXPECT_TRUE(is_ascending(view({0.0, -0.0})));
    EXPECT_FALSE(is_ascending(view({1.0, kNaN, 2.0})));
    EXPECT_FALSE(is_ascending(view({1.0, 2.0, kNaN})));
    EXPECT_FALSE(is_ascending(view({2.0, 1.0})));
}

TEST(TarvelSearch, BisectionAgreesWithScan) {
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<double> a(gen() % 12);
        for (double& x : a) x = gen() % 4 == 0 ? double(int(u(gen))) : u(gen);  // duplicates
        if (!a.empty() && gen() % 5 == 0) a[0] = -kInf;
        if (!a.empty() && gen() % 5 == 0) a.back() = kInf;
        std::sort(a.begin(), a.end());
        // a strided, reversed-in-memory view of the same sequence
        std::vector<double> mem(a.rbegin(), a.rend());
        mem.resize(std::max<std::size_t>(mem.size(), 1));
        const View rev(reinterpret_cast<const char*>(mem.data() + (a.empty() ? 0 : a.size() - 1)),
                       std::ptrdiff_t(a.size()), -std::ptrdiff_t(sizeof(double)));
        ASSERT_TRUE(is_ascending(rev));
        std::vector<double> queries = {kNaN, kInf, -kInf, u(gen), u(gen), -0.0};
        queries.insert(queries.end(), a.begin(), a.end());
        for (double E : queries) {
            const std::ptrdiff_t want = find_index_from_energy(E, view(a));
            EXPECT_EQ(find_index_ascending(E, view(a)), want) << E;
            EXPECT_EQ(find_index_ascending(E, rev), want) << E;
            EXPECT_EQ(EnergySearch(view(a))(E), want) << E;
        }
    }
}

TEST(TarvelSearch, CursorAgreesWithScanOverAnySequence) {
    std::mt19937 gen(13);
    std::uniform_real_distribution<double> u(-1.0, 101.0);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<double> a(gen() % 60);
        for (double& x : a) x = gen() % 3 == 0 ? double(int(u(gen))) : u(gen);
        std::sort(a.begin(), a.end());
        AscendingCursor cursor(view(a));
        double E = u(gen);
        for (int q = 0; q < 200; ++q) {
            switch (gen() % 6) {
                case 0: E = u(gen); break;                        // anywhere
                case 1: E = kNaN; break;
                case 2: E = a.empty() ? E : a[gen() % a.size()]; break;  // on an element
                default: E += (u(gen) - 50.0) / 20.0;             // nearby, either way
            }
            ASSERT_EQ(cursor(E), find_index_from_energy(E, view(a))) << "trial " << trial << " query " << q;
        }
    }
}

TEST(TarvelSearch, FallsBackToScanWhereNotAscending) {
    const std::vector<double> a = {0.0, 4.0, kNaN, 2.0, 9.0};
    const EnergySearch s(view(a));
    EXPECT_FALSE(s.ascending);
    for (double E : {-1.0, 1.0, 3.0, 5.0, 10.0, kNaN}) EXPECT_EQ(s(E), find_index_from_energy(E, view(a))) << E;
    EXPECT_EQ(s(5.0), 2);  // stops at the NaN
}

TEST(TarvelInterpolation, LinearOrderAndDegenerateSpan) {
    EXPECT_EQ(linear_interpolation(150.0, 100.0, 200.0, 1.0, 3.0), 2.0);
    // ((y2 - y1) * (x - x1)) / (x2 - x1) + y1: the product before the division
    const double x = 0.8, x1 = 0.4, x2 = 0.8, y1 = 0.0, y2 = 0.4;
    EXPECT_EQ(linear_interpolation(x, x1, x2, y1, y2), 0.4000000000000001);
    EXPECT_NE(linear_interpolation(x, x1, x2, y1, y2), (y2 - y1) * ((x - x1) / (x2 - x1)) + y1);
    EXPECT_TRUE(std::isnan(linear_interpolation(1.0, 1.0, 1.0, 0.0, 1.0)));
    EXPECT_EQ(linear_interpolation(2.0, 1.0, 1.0, 0.0, 1.0), kInf);
}

TEST(TarvelInterpolation, PointOnAxisExamples) {
    const std::vector<double> xa = {100.0, 200.0, 300.0}, ya = {1.0, 3.0, 5.0};
    EXPECT_EQ(interpolate_point_on_axis(150.0, view(xa), view(ya)), 2.0);
    EXPECT_EQ(interpolate_point_on_axis(300.0, view(xa), view(ya)), 5.0);
    for (double x : {100.0, 301.0, 50.0, kNaN}) EXPECT_TRUE(std::isnan(interpolate_point_on_axis(x, view(xa), view(ya))));
    EXPECT_TRUE(std::isnan(interpolate_point_on_axis(1.0, View(), View())));
    EXPECT_THROW(interpolate_point_on_axis(150.0, view(xa), view({1.0, 3.0})), LengthError);
}

TEST(TarvelInterpolation, PointLengthChecks) {
    const std::vector<double> r6(6, 1.0), r8(8, 1.0), axis = {1.0, 2.0, 3.0}, y = {1.0, 2.0, 3.0}, y2 = {1.0, 2.0};
    EXPECT_THROW(interpolate_point(1.5, 1.0, 1.0, 1.0, view(r6), view(r8), view(r6), view(axis), view(y), view(y)),
                 LengthError);
    EXPECT_THROW(interpolate_point(1.5, 1.0, 1.0, 1.0, view(r6), view(r6), view(r8), view(axis), view(y), view(y)),
                 LengthError);
    EXPECT_THROW(interpolate_point(1.5, 1.0, 1.0, 1.0, view(r6), view(r6), view(r6), view(axis), view(y2), view(y)),
                 LengthError);
    EXPECT_THROW(interpolate_point(1.5, 1.0, 1.0, 1.0, view(r6), view(r6), view(r6), view(axis), view(y), view(y2)),
                 LengthError);
    EXPECT_NO_THROW(interpolate_point(1.5, 1.0, 1.0, 1.0, view(r6), view(r6), view(r6), view(axis), view(y), view(y)));
}

namespace {

struct RowCase {
    std::vector<double> requested, ref_axis, low, high;
};

RowCase smooth_case() {
    RowCase c;
    for (int i = 0; i <= 60; ++i) c.ref_axis.push_back(50.0 * i);
    for (double e : c.ref_axis) {
        c.low.push_back(1.0 + std::sin(e / 300.0));
        c.high.push_back(2.0 + std::cos(e / 200.0));
    }
    for (int i = 0; i < 40; ++i) c.requested.push_back(80.0 * i);  // 0 .. 3120 keV
    return c;
}

std::vector<double> row_of(const RowCase& c, double E_p, double low_E, double high_E, double max_value) {
    std::vector<double> out(c.requested.size(), -7.0);
    interpolate_response_row(E_p, view(c.requested), view(c.ref_axis), low_E, view(c.low), high_E, view(c.high),
                             Strided<double>(out.data(), std::ptrdiff_t(out.size())), max_value);
    return out;
}

}  // namespace

TEST(TarvelResponseRow, AtTheLowEnergyItIsTheLowRow) {
    const RowCase c = smooth_case();
    const std::vector<double> row = row_of(c, 600.0, 600.0, 900.0, 3120.0);
    EXPECT_TRUE(std::isnan(row[0]));  // channel at the first bound, 0 keV
    int compared = 0;
    for (std::size_t i = 1; i < row.size(); ++i) {
        const double want = interpolate_point_on_axis(c.requested[i], view(c.ref_axis), view(c.low));
        if (std::isnan(row[i])) continue;  // the mapped high energy left the reference axis
        EXPECT_NEAR(row[i], want, 1e-12 * std::fabs(want)) << i;
        ++compared;
    }
    EXPECT_GT(compared, 30);
    EXPECT_TRUE(std::isnan(row.back()));  // 3120 keV is beyond the reference axis
}

TEST(TarvelResponseRow, PlainAndFastSearchesGiveTheSameRow) {
    const RowCase c = smooth_case();
    for (double E : {612.5, 1100.0, 2222.0}) {
        const double low_E = 600.0, high_E = 2400.0;
        const std::vector<double> row = row_of(c, E, low_E, high_E, 3120.0);
        const RowRegions r = response_row_regions(E, low_E, high_E, 3120.0);
        const std::vector<double> lo = bounds(r.low), hi = bounds(r.high), ei = bounds(r.E_i);
        for (std::size_t i = 0; i < row.size(); ++i) {
            const double plain = interpolate_point(c.requested[i], E, high_E, low_E, view(hi), view(lo), view(ei),
                                                   view(c.ref_axis), view(c.high), view(c.low));
            expect_same({row[i]}, {plain});
        }
    }
}

TEST(TarvelResponseRow, EqualReferenceEnergiesGiveNaNOrInfinity) {
    const RowCase c = smooth_case();
    for (double v : row_of(c, 700.0, 700.0, 700.0, 3120.0)) EXPECT_FALSE(std::isfinite(v));
}

TEST(TarvelResponseRow, NaNTopBoundSpoilsOnlyTheTopRegion) {
    const RowCase c = smooth_case();
    const std::vector<double> finite_top = row_of(c, 1500.0, 1200.0, 1800.0, 3120.0);
    const std::vector<double> nan_top = row_of(c, 1500.0, 1200.0, 1800.0, kNaN);
    const double above_peak = response_row_regions(1500.0, 1200.0, 1800.0, kNaN).E_i[6];
    for (std::size_t i = 0; i < c.requested.size(); ++i) {
        if (c.requested[i] > above_peak) EXPECT_TRUE(std::isnan(nan_top[i])) << i;
        else expect_same({nan_top[i]}, {finite_top[i]});
    }
}

TEST(TarvelResponseRow, ShortInputsThrowBeforeWriting) {
    RowCase c = smooth_case();
    std::vector<double> out(c.requested.size(), -7.0);
    const Strided<double> buf(out.data(), std::ptrdiff_t(out.size()));
    const std::vector<double> short_row(c.ref_axis.size() - 1, 1.0);
    EXPECT_THROW(interpolate_response_row(700.0, view(c.requested), view(c.ref_axis), 600.0, view(short_row), 900.0,
                                          view(c.high), buf, 3120.0),
                 LengthError);
    EXPECT_THROW(interpolate_response_row(700.0, view(c.requested), view(c.ref_axis), 600.0, view(c.low), 900.0,
                                          view(short_row), buf, 3120.0),
                 LengthError);
    EXPECT_THROW(interpolate_response_row(700.0, view(c.requested), view(c.ref_axis), 600.0, view(c.low), 900.0,
                                          view(c.high), Strided<double>(out.data(), 3), 3120.0),
                 LengthError);
    for (double v : out) EXPECT_EQ(v, -7.0);
}

TEST(TarvelNumpySum, PairwiseOrder) {
    // NumPy's np.sum of these arrays (a sequential sum gives 1.0000000000000009 and 1.00000000000002)
    std::vector<double> a(9, 1e-16);
    a[0] = 1.0;
    EXPECT_EQ(numpy_sum(view(a)), 1.0000000000000007);
    std::vector<double> b(201, 1e-16);
    b[0] = 1.0;
    EXPECT_EQ(numpy_sum(view(b)), 1.0000000000000189);
    // the same sequence read backwards from reversed memory
    std::vector<double> mem(b.rbegin(), b.rend());
    EXPECT_EQ(numpy_sum(View(reinterpret_cast<const char*>(mem.data() + 200), 201, -8)), 1.0000000000000189);
}

TEST(TarvelNumpySum, ZerosAndNaN) {
    const std::vector<double> negzero = {-0.0};
    EXPECT_FALSE(std::signbit(numpy_sum(view(negzero))));  // the reduction starts from +0.0
    EXPECT_EQ(numpy_sum(View()), 0.0);
    EXPECT_TRUE(std::isnan(numpy_sum(view({1.0, kNaN}))));
    EXPECT_EQ(numpy_nansum(view({1.0, kNaN, 2.0})), 3.0);
    EXPECT_FALSE(std::signbit(numpy_nansum(view({-0.0, kNaN}))));
    std::vector<double> many(300, 0.25);
    many[17] = kNaN;
    EXPECT_EQ(numpy_nansum(view(many)), 0.25 * 299);
}

TEST(TarvelCollect, ThresholdIsStrict) {
    const double just_above = std::nextafter(1e-12, 1.0);
    std::vector<double> row = {1e-12, just_above, kNaN, 0.0, -1.0, kInf, 0.5};
    SparseRows out;
    make_room(out.indices, row.size());
    make_room(out.values, row.size());
    collect_row(Strided<double>(row.data(), std::ptrdiff_t(row.size())), 1.0, out);
    EXPECT_EQ(out.offsets, (std::vector<std::int64_t>{0, 3}));
    EXPECT_EQ(out.indices, (std::vector<std::int32_t>{1, 5, 6}));
    EXPECT_EQ(out.values, (std::vector<double>{just_above, kInf, 0.5}));
    // divided by the sum first: 2e-12 / 2 is exactly at the threshold
    std::vector<double> row2 = {2e-12, 4.0};
    collect_row(Strided<double>(row2.data(), 2), 2.0, out);
    EXPECT_EQ(out.offsets, (std::vector<std::int64_t>{0, 3, 4}));
    EXPECT_EQ(out.indices.back(), 1);
}

TEST(TarvelCollect, RoomGrowsGeometrically) {
    std::vector<int> v;
    std::size_t reallocations = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::size_t cap = v.capacity();
        make_room(v, 10);
        if (v.capacity() != cap) ++reallocations;
        ASSERT_GE(v.capacity() - v.size(), 10u);
        for (int k = 0; k < 10; ++k) v.push_back(k);
    }
    EXPECT_LT(reallocations, 20u);
}

TEST(TarvelNormalisedRows, OnlyWantedRowsLeadingPart) {
    NormalisedRows rows(4, 2);
    rows.want(2);
    rows.want(0);
    rows.want(2);
    EXPECT_TRUE(rows.wanted(0) && rows.wanted(2));
    EXPECT_FALSE(rows.wanted(1) || rows.wanted(3));
    const std::vector<double> r0 = {1.0, 2.0, 3.0}, r2 = {3.0, 6.0, 9.0};
    rows.store(2, view(r2), 3.0);
    rows.store(0, view(r0), 4.0);
    const View a = rows[0], b = rows[2];
    ASSERT_EQ(a.size, 2);
    EXPECT_EQ(a[0], 0.25);
    EXPECT_EQ(a[1], 0.5);
    EXPECT_EQ(b[0], 1.0);
    EXPECT_EQ(b[1], 2.0);
}
