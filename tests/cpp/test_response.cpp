#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "deconvolution/response.hpp"

using namespace quodex;
using namespace quodex::deconvolution;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

Strided<const double> view(const std::vector<double>& v) { return Strided<const double>(v.data(), std::ptrdiff_t(v.size())); }

SparseRows build(const std::vector<double>& axis, const std::vector<double>& sigma, double nsigma = 5.0) {
    SparseRows rows;
    build_gaussian_rows(view(axis), view(sigma), nsigma, rows);
    return rows;
}

}  // namespace

TEST(GetSigma, ResolutionModel) {
    EXPECT_EQ(get_sigma(2.0, 0.0), 0.0);
    EXPECT_TRUE(std::isnan(get_sigma(1.0, -1.0)));
    EXPECT_EQ(get_sigma(1.0, 4.0), (2.0 * 4.0) / 2.3548200450309493);
    EXPECT_DOUBLE_EQ(get_sigma(1.0, 662.0) / get_sigma(1.0, 331.0), std::pow(2.0, 1.5));
}

struct SearchCase {
    std::vector<double> a;
    double v;
    std::ptrdiff_t left, right;
};

class Search : public ::testing::TestWithParam<SearchCase> {};

TEST_P(Search, FollowsNumPyConventions) {
    const SearchCase& c = GetParam();
    EXPECT_EQ(search_left(view(c.a), c.v), c.left);
    EXPECT_EQ(search_right(view(c.a), c.v), c.right);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Search,
    ::testing::Values(SearchCase{{1, 2, 2, 3}, 2, 1, 3}, SearchCase{{1, 2, 2, 3}, 0, 0, 0},
                      SearchCase{{1, 2, 2, 3}, 4, 4, 4}, SearchCase{{1, 2, 3}, kNaN, 3, 3},
                      SearchCase{{1, 2, kNaN}, kNaN, 2, 3}, SearchCase{{1, 2, kNaN}, 5, 2, 2},
                      SearchCase{{}, 1, 0, 0}, SearchCase{{-0.0, 0.0}, 0.0, 0, 2}));

TEST(Build, EmptyAxisGivesOneOffset) {
    SparseRows r = build({}, {1.0, 2.0});
    EXPECT_EQ(r.offsets, std::vector<std::int64_t>{0});
    EXPECT_TRUE(r.indices.empty());
    EXPECT_TRUE(r.values.empty());
}

TEST(Build, RowsAreNormalisedContiguousAndTruncatedAtTheEnds) {
    std::vector<double> axis(50);
    std::iota(axis.begin(), axis.end(), 0.0);
    std::vector<double> sigma(50, 2.0);
    SparseRows r = build(axis, sigma);
    ASSERT_EQ(r.offsets.size(), 51u);
    for (std::size_t i = 0; i < 50; ++i) {
        const auto lo = r.offsets[i], hi = r.offsets[i + 1];
        double sum = 0.0;
        for (auto k = lo; k < hi; ++k) {
            sum += r.values[k];
            if (k > lo) {
                EXPECT_EQ(r.indices[k], r.indices[k - 1] + 1);
            }
        }
        EXPECT_NEAR(sum, 1.0, 1e-14);
        // Window of +-10 bins, both ends included, cut by the axis.
        const long first = std::max<long>(0, long(i) - 10), last = std::min<long>(49, long(i) + 10);
        EXPECT_EQ(r.indices[lo], first);
        EXPECT_EQ(hi - lo, last - first + 1);
    }
    // Interior rows are symmetric about their own bin.
    const auto lo = r.offsets[25];
    for (int d = 0; d <= 10; ++d) EXPECT_EQ(r.values[lo + 10 - d], r.values[lo + 10 + d]);
}

TEST(Build, ZeroNsigmaIsTheIdentity) {
    SparseRows r = build({0.5, 1.5, 2.5}, {1.0, 1.0, 1.0}, 0.0);
    EXPECT_EQ(r.offsets, (std::vector<std::int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(r.indices, (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_EQ(r.values, (std::vector<double>{1.0, 1.0, 1.0}));
}

TEST(Build, DegenerateWidths) {
    // Zero width: 0/0 inside exp gives NaN weights; NaN width: empty row; negative product: empty row.
    SparseRows r = build({0.0, 1.0, 2.0}, {0.0, kNaN, -1.0});
    EXPECT_EQ(r.offsets, (std::vector<std::int64_t>{0, 1, 1, 1}));
    EXPECT_EQ(r.indices, std::vector<std::int32_t>{0});
    EXPECT_TRUE(std::isnan(r.values[0]));
}

TEST(Build, NegativeWidthAndNsigmaEqualTheirAbsoluteValues) {
    std::vector<double> axis{0, 1, 2, 3, 4, 5};
    SparseRows neg = build(axis, std::vector<double>(6, -0.8), -3.0);
    SparseRows pos = build(axis, std::vector<double>(6, 0.8), 3.0);
    EXPECT_EQ(neg.offsets, pos.offsets);
    EXPECT_EQ(neg.indices, pos.indices);
    EXPECT_EQ(neg.values, pos.values);
}

TEST(Build, WindowLimitsAreInclusive) {
    // sigma * nsigma = 1 exactly: neighbours at distance 1 are on the limits and included.
    SparseRows r = build({0.0, 1.0, 2.0}, {0.5, 0.5, 0.5}, 2.0);
    EXPECT_EQ(r.offsets, (std::vector<std::int64_t>{0, 2, 5, 7}));
}

TEST(Build, ShortSigmaThrowsAtTheFirstMissingRow) {
    std::vector<double> axis{0, 1, 2};
    EXPECT_THROW(build(axis, {1.0, 1.0}), OutOfBounds);
    try {
        build(axis, {1.0});
    } catch (const OutOfBounds& e) {
        EXPECT_EQ(e.axis, 0);
    }
}

TEST(Build, StridedViewsGiveTheSameRows) {
    std::vector<double> axis{0, 0.5, 1.1, 1.9, 3.0, 3.2}, sigma{0.4, 0.5, 0.6, 0.7, 0.8, 0.9};
    std::vector<double> wide_axis(axis.size() * 3, kNaN), wide_sigma(sigma.size() * 2, kNaN);
    for (std::size_t i = 0; i < axis.size(); ++i) wide_axis[3 * i] = axis[i], wide_sigma[2 * i] = sigma[i];
    SparseRows strided;
    build_gaussian_rows(Strided<const double>(reinterpret_cast<const char*>(wide_axis.data()), 6, 24),
                        Strided<const double>(reinterpret_cast<const char*>(wide_sigma.data()), 6, 16), 5.0,
                        strided);
    SparseRows plain = build(axis, sigma);
    EXPECT_EQ(strided.offsets, plain.offsets);
    EXPECT_EQ(strided.indices, plain.indices);
    EXPECT_EQ(strided.values, plain.values);
}

namespace {

std::int64_t ulp_distance(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return (std::isnan(a) && std::isnan(b)) ? 0 : INT64_MAX;
    std::int64_t ia, ib;
    std::memcpy(&ia, &a, 8);
    std::memcpy(&ib, &b, 8);
    if (ia < 0) ia = INT64_MIN - ia;
    if (ib < 0) ib = INT64_MIN - ib;
    return ia > ib ? ia - ib : ib - ia;
}

}  // namespace

class VectorExpPath : public ::testing::TestWithParam<Isa> {};

TEST_P(VectorExpPath, AgreesWithTheScalarOrderWithinAFewUlp) {
    if (!isa_supported(GetParam())) GTEST_SKIP() << "CPU lacks this instruction set";
    // HPGe-like axis and widths, plus degenerate widths mixed in.
    const std::ptrdiff_t n = 3000;
    std::vector<double> axis(n), sigma(n);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        axis[i] = 0.5 + i;
        sigma[i] = get_sigma(0.0005, axis[i]);
    }
    sigma[7] = 0.0;
    sigma[8] = kNaN;
    sigma[9] = -2.0;
    std::vector<Window> windows;
    const std::int64_t nnz = gaussian_windows(view(axis), view(sigma), 5.0, windows);
    std::vector<std::int64_t> o1(n + 1), o2(n + 1);
    std::vector<std::int32_t> i1(nnz), i2(nnz);
    std::vector<double> v1(nnz), v2(nnz);
    fill_gaussian_rows_plain(view(axis), view(sigma), windows, {o1.data(), n + 1}, {i1.data(), nnz}, {v1.data(), nnz});
    fill_gaussian_rows(view(axis), view(sigma), windows, {o2.data(), n + 1}, {i2.data(), nnz}, {v2.data(), nnz},
                       GetParam());
    EXPECT_EQ(o1, o2);
    EXPECT_EQ(i1, i2);
    std::int64_t worst = 0;
    for (std::int64_t k = 0; k < nnz; ++k) worst = std::max(worst, ulp_distance(v1[k], v2[k]));
    EXPECT_LE(worst, 8);
}

INSTANTIATE_TEST_SUITE_P(Isas, VectorExpPath, ::testing::Values(Isa::Baseline, Isa::Avx2, Isa::Avx512));
