// The run-wise resampling against the per-channel reference path, bit for bit, on random rows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tarvel/interpolation.hpp"
#include "tarvel/numpy_sum.hpp"
#include "tarvel/resample.hpp"
#include "tarvel/runs.hpp"

using namespace quodex;
using namespace quodex::tarvel;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

View view(const std::vector<double>& v) { return View(v.data(), std::ptrdiff_t(v.size())); }

// Bits equal, except that any NaN matches any NaN: NaN channels never reach an output row.
bool same(double a, double b) { return (a != a && b != b) || std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<Isa> isas() {
    std::vector<Isa> out{Isa::Baseline};
    if (isa_supported(Isa::Avx512)) out.push_back(Isa::Avx512);
    return out;
}

// An ascending axis of n points over [lo, hi]: uniform, clustered (wide buckets), with repeated
// points, or with infinite ends.
std::vector<double> axis(std::mt19937_64& gen, std::ptrdiff_t n, double lo, double hi) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> a(static_cast<std::size_t>(n));
    const int shape = int(gen() % 5);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double s = n > 1 ? double(i) / double(n - 1) : 0.0;
        a[std::size_t(i)] = shape == 1 ? lo + (hi - lo) * s * s * s : lo + (hi - lo) * (shape == 2 ? u(gen) : s);
    }
    std::sort(a.begin(), a.end());
    if (shape == 3)
        for (std::size_t i = 1; i < a.size(); i += 1 + gen() % 3) a[i] = a[i - 1];
    if (shape == 4 && n > 2) {
        if (gen() % 2) a.front() = -kInf;
        if (gen() % 2) a.back() = kInf;
    }
    return a;
}

std::vector<double> row(std::mt19937_64& gen, std::ptrdiff_t n) {
    std::uniform_real_distribution<double> u(-0.1, 1.0);
    std::vector<double> y(static_cast<std::size_t>(n));
    for (double& v : y) v = u(gen) * std::exp(double(int(gen() % 40)) - 20.0);
    if (gen() % 6 == 0) std::fill(y.begin(), y.end(), kNaN);  // a NaN row
    for (int k = int(gen() % 3); k > 0 && n > 0; --k) y[gen() % y.size()] = kNaN;
    if (gen() % 8 == 0 && n > 0) y[gen() % y.size()] = gen() % 2 ? kInf : -kInf;
    return y;
}

struct Case {
    std::vector<double> req, ref, high, low;
    double E, low_E, high_E;
};

Case random_case(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Case c;
    const std::ptrdiff_t K = 1 + std::ptrdiff_t(gen() % (gen() % 2 ? 40 : 1500));
    const std::ptrdiff_t M = 2 + std::ptrdiff_t(gen() % (gen() % 2 ? 30 : 3000));
    c.req = axis(gen, K, -20.0 + 40.0 * u(gen), 1500.0 + 2500.0 * u(gen));
    c.ref = axis(gen, M, -20.0 + 40.0 * u(gen), 1000.0 + 3000.0 * u(gen));
    c.high = row(gen, M);
    c.low = row(gen, M);
    c.low_E = 50.0 + 2900.0 * u(gen);
    if (gen() % 6 == 0) c.low_E = gen() % 2 ? 1022.0 : 1022.5;
    c.high_E = gen() % 10 == 0 ? c.low_E : c.low_E + 400.0 * u(gen);
    c.E = gen() % 5 == 0 ? c.high_E : c.low_E + (c.high_E - c.low_E) * u(gen);
    return c;
}

// The reference row and the run-wise row for every path; false when the run-wise path declines.
bool compare(const Case& c, int trial) {
    const double max_value = *std::max_element(c.req.begin(), c.req.end());
    const RowRegions regions = response_row_regions(c.E, c.low_E, c.high_E, max_value);
    const std::ptrdiff_t K = std::ptrdiff_t(c.req.size());
    std::vector<double> want(c.req.size());
    interpolate_response_row(c.E, view(c.req), view(c.ref), c.low_E, view(c.low), c.high_E, view(c.high),
                             Strided<double>(want.data(), K), max_value);
    const RunTables t(view(c.req), view(c.ref));
    if (!t.usable()) return false;
    std::vector<double> high_table(t.row_table_size()), low_table(t.row_table_size());
    const RowOperands high = t.row_table(view(c.high), high_table.data());
    const RowOperands low = t.row_table(view(c.low), low_table.data());
    const RowRuns runs = row_runs(regions, c.E, c.low_E, c.high_E, t);
    for (Isa isa : isas()) {
        std::vector<double> got(c.req.size() + 8, -7.0);
        fill_row_runs(regions, runs, t, high, low, got.data(), isa);
        for (std::ptrdiff_t j = 0; j < K; ++j)
            if (!same(got[std::size_t(j)], want[std::size_t(j)])) {
                ADD_FAILURE() << "trial " << trial << " isa " << int(isa) << " channel " << j << ": " << got[std::size_t(j)]
                              << " vs " << want[std::size_t(j)];
                return true;
            }
        for (std::size_t j = c.req.size(); j < got.size(); ++j) EXPECT_EQ(got[j], -7.0) << "written past the row";
    }
    return true;
}

}  // namespace

TEST(TarvelRuns, RandomRowsMatchTheReferencePath) {
    std::mt19937_64 gen(2026);
    int fast = 0;
    for (int trial = 0; trial < 400; ++trial) fast += compare(random_case(gen), trial);
    EXPECT_GT(fast, 300);  // most cases take the run-wise path
}

struct Declined {
    std::vector<double> req, ref;
};

class TarvelRunsDecline : public ::testing::TestWithParam<Declined> {};

TEST_P(TarvelRunsDecline, NaNOrDescendingAxesKeepTheReferencePath) {
    EXPECT_FALSE(RunTables(view(GetParam().req), view(GetParam().ref)).usable());
}

INSTANTIATE_TEST_SUITE_P(Axes, TarvelRunsDecline,
                         ::testing::Values(Declined{{1.0, kNaN, 3.0}, {0.0, 1.0, 2.0}},
                                           Declined{{1.0, 2.0, 3.0}, {0.0, kNaN, 2.0}},
                                           Declined{{kNaN}, {0.0, 1.0}},
                                           Declined{{3.0, 2.0, 1.0}, {0.0, 1.0, 2.0}},
                                           Declined{{1.0, 2.0}, {2.0, 1.0, 3.0}},
                                           Declined{{1.0, 2.0}, {5.0}}));

TEST(TarvelRuns, IntervalIsTheCountBelow) {
    std::mt19937_64 gen(11);
    for (int trial = 0; trial < 200; ++trial) {
        const std::vector<double> ref = axis(gen, 2 + std::ptrdiff_t(gen() % 200), -5.0, 3000.0);
        const std::vector<double> req = {1.0};
        const RunTables t(view(req), view(ref));
        ASSERT_TRUE(t.usable());
        std::uniform_real_distribution<double> u(-100.0, 3100.0);
        for (int k = 0; k < 200; ++k) {
            const double e = k < 4 ? std::vector<double>{-kInf, kInf, ref[0], ref.back()}[std::size_t(k)]
                             : k % 3 ? u(gen)
                                     : ref[gen() % ref.size()];
            const std::ptrdiff_t below = std::count_if(ref.begin(), ref.end(), [&](double r) { return r < e; });
            ASSERT_EQ(t.interval(e), below) << "trial " << trial << " e " << e;
        }
    }
}

// The finish of a row: np.nansum's order and the strict threshold, against the plain versions.
TEST(TarvelRuns, FinishMatchesPlainSumAndCollection) {
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> u(-0.2, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<double> r(std::size_t(gen() % 700));
        for (double& v : r) v = u(gen) * std::exp(double(int(gen() % 30)) - 15.0);
        for (double& v : r)
            if (gen() % 9 == 0) v = std::vector<double>{kNaN, 1e-12, -0.0, std::nextafter(1e-12, 1.0)}[gen() % 4];
        // stretches of zeros and NaN, as where a response does not reach
        for (int s = int(gen() % 4); s > 0 && !r.empty(); --s) {
            const std::size_t at = gen() % r.size(), len = std::min<std::size_t>(gen() % 40, r.size() - at);
            for (std::size_t i = at; i < at + len; ++i) r[i] = std::vector<double>{0.0, -0.0, kNaN}[gen() % 3];
        }
        const std::ptrdiff_t n = std::ptrdiff_t(r.size());
        const double total = trial % 4 == 0 ? 1.0 : numpy_nansum(View(r.data(), n));
        SparseRows want;
        make_room(want.indices, r.size());
        make_room(want.values, r.size());
        collect_row(Strided<double>(r.data(), n), total, want);
        for (Isa isa : isas()) {
            EXPECT_TRUE(same(nansum_contiguous(r.data(), n, isa), numpy_nansum(View(r.data(), n))));
            OwnedEntries mem;
            OutputRows got(mem);
            got.make_room(3);
            got.size = 3;  // rows already collected before this one
            got.make_room(r.size());
            collect_contiguous(r.data(), n, total, got, isa);
            ASSERT_EQ(got.size - 3, want.values.size());
            for (std::size_t k = 0; k < want.values.size(); ++k) {
                EXPECT_EQ(got.indices()[k + 3], want.indices[k]);
                EXPECT_TRUE(same(got.values()[k + 3], want.values[k]));
            }
        }
    }
}

// Channels that map exactly onto reference points: region bounds at powers of two make the mapping
// exact on integer channels, so the search's tie (a reading equal to a point) decides the interval.
TEST(TarvelRuns, ReadingsOnReferencePointsMatchTheReferencePath) {
    std::mt19937_64 gen(17);
    std::vector<double> axis_points;
    for (int i = 0; i <= 3000; ++i) axis_points.push_back(double(i));
    RowRegions regions;
    regions.low.size = regions.high.size = regions.E_i.size = 6;
    const double bounds[] = {0.0, 256.0, 512.0, 1024.0, 2048.0, 4096.0};
    for (int i = 0; i < 6; ++i) regions.low.value[std::size_t(i)] = regions.high.value[std::size_t(i)] =
                                    regions.E_i.value[std::size_t(i)] = bounds[i];
    const std::vector<double> high = row(gen, 3001), low = row(gen, 3001);
    const View ax = view(axis_points);
    std::vector<double> want(axis_points.size());
    {
        AscendingCursor c1(ax), c2(ax);
        for (std::size_t j = 0; j < axis_points.size(); ++j)
            want[j] = detail::point(axis_points[j], 700.0, 800.0, 600.0, regions.high, regions.low, regions.E_i, c1, c2,
                                    view(high), view(low));
    }
    const RunTables t(ax, ax);
    std::vector<double> ht(t.row_table_size()), lt(t.row_table_size());
    const RowRuns runs = row_runs(regions, 700.0, 600.0, 800.0, t);
    for (Isa isa : isas()) {
        std::vector<double> got(axis_points.size());
        fill_row_runs(regions, runs, t, t.row_table(view(high), ht.data()), t.row_table(view(low), lt.data()),
                      got.data(), isa);
        for (std::size_t j = 0; j < got.size(); ++j)
            ASSERT_TRUE(same(got[j], want[j])) << "isa " << int(isa) << " channel " << j;
    }
}

// Entry storage grows geometrically, keeps every entry written, and always leaves the slack that
// whole-vector stores write into.
TEST(TarvelRuns, OutputStorageGrowsKeepingEntries) {
    OwnedEntries mem;
    OutputRows out(mem);
    int grows = 0;
    std::size_t last = 0;
    for (int r = 0; r < 300; ++r) {
        out.make_room(37);
        ASSERT_GE(mem.capacity, out.size + 37 + OutputRows::kSlack);
        grows += mem.capacity != last;
        last = mem.capacity;
        for (int j = 0; j < 37; ++j, ++out.size) {
            out.indices()[out.size] = r;
            out.values()[out.size] = r + 0.001 * j;
        }
        out.close_row();
    }
    EXPECT_LT(grows, 16);
    for (std::size_t k = 0; k < out.size; ++k) {
        ASSERT_EQ(out.indices()[k], int(k / 37));
        ASSERT_EQ(out.values()[k], double(k / 37) + 0.001 * double(k % 37));
    }
}
