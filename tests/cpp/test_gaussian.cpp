#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gaussian/multi_gaussian.hpp"

using namespace quodex;
using namespace quodex::gaussian;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kSentinel = -12345.0;
const double kEps = std::numeric_limits<double>::epsilon();

Strided<const double> view(const std::vector<double>& v) { return {v.data(), std::ptrdiff_t(v.size())}; }

struct Matrix {
    std::ptrdiff_t rows, cols;
    std::vector<double> data;
    bool column_major = false;
    Matrix(std::ptrdiff_t r, std::ptrdiff_t c, bool fortran = false)
        : rows(r), cols(c), data(std::size_t(r * c), kSentinel), column_major(fortran) {}
    Strided2D<double> view() {
        Strided2D<double> v;
        v.data = reinterpret_cast<char*>(data.data());
        v.rows = rows;
        v.cols = cols;
        v.row_stride = std::ptrdiff_t(sizeof(double)) * (column_major ? 1 : cols);
        v.col_stride = std::ptrdiff_t(sizeof(double)) * (column_major ? rows : 1);
        return v;
    }
    double operator()(std::ptrdiff_t r, std::ptrdiff_t c) const {
        return data[std::size_t(column_major ? c * rows + r : r * cols + c)];
    }
};

std::vector<double> model(const std::vector<double>& x, const std::vector<double>& p, Isa isa) {
    std::vector<double> y(x.size(), 0.0);
    multi_gaussian(view(x), view(p), Strided<double>(y.data(), std::ptrdiff_t(y.size())), isa);
    return y;
}

std::vector<double> model_plain(const std::vector<double>& x, const std::vector<double>& p) {
    std::vector<double> y(x.size(), 0.0);
    multi_gaussian_plain(view(x), view(p), Strided<double>(y.data(), std::ptrdiff_t(y.size())));
    return y;
}

Matrix jacobian(const std::vector<double>& x, const std::vector<double>& p, Isa isa, bool fortran = false) {
    Matrix J(std::ptrdiff_t(x.size()), std::ptrdiff_t(p.size()), fortran);
    multi_gaussian_jacobian(view(x), view(p), J.view(), isa);
    return J;
}

Matrix jacobian_plain(const std::vector<double>& x, const std::vector<double>& p) {
    Matrix J(std::ptrdiff_t(x.size()), std::ptrdiff_t(p.size()));
    multi_gaussian_jacobian_plain(view(x), view(p), J.view());
    return J;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Equal as IEEE values down to the sign of zero, or both NaN, or within `tol` when both are finite.
::testing::AssertionResult agrees(double got, double want, double tol) {
    if (std::isnan(want) && std::isnan(got)) return ::testing::AssertionSuccess();
    if (got == want && std::signbit(got) == std::signbit(want)) return ::testing::AssertionSuccess();
    if (std::isfinite(got) && std::isfinite(want) && want != 0.0 && std::abs(got - want) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " vs " << want << " (tolerance " << tol << ")";
}

// exp from libmvec is within 3 ulp of the scalar exp; a few roundings of the same operations follow.
constexpr double kUlps = 8.0;

std::vector<Isa> supported_paths() {
    std::vector<Isa> out;
    for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512})
        if (isa_supported(isa)) out.push_back(isa);
    return out;
}

std::string name_of(Isa isa) {
    switch (isa) {
        case Isa::Baseline: return "Baseline";
        case Isa::Avx2: return "Avx2";
        case Isa::Avx512: return "Avx512";
    }
    return "?";
}

struct Spectrum {
    std::vector<double> x, params;
};

// Peaks of every width on a sorted axis (most blocks far from most peaks) or on shuffled points
// (no block far from anything), with mixed amplitude signs.
Spectrum random_spectrum(std::ptrdiff_t m, int peaks, bool shuffled, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Spectrum s;
    for (std::ptrdiff_t j = 0; j < m; ++j) s.x.push_back(double(j) * 0.5);
    if (shuffled) std::shuffle(s.x.begin(), s.x.end(), rng);
    for (int k = 0; k < peaks; ++k) {
        s.params.push_back((u(rng) - 0.3) * 100.0);
        s.params.push_back(u(rng) * double(m) * 0.5);
        s.params.push_back(std::pow(10.0, u(rng) * 6.0 - 2.0));
    }
    return s;
}

}  // namespace

TEST(ExpShortcut, ThresholdIsBelowExpsUnderflow) {
    EXPECT_EQ(std::exp(kExpZeroBelow), 0.0);
    EXPECT_GT(std::exp(-745.0), 0.0);
}

TEST(ExpBlock, MatchesScalarExpAtSpecialValues) {
    const std::vector<double> t{0.0, -0.0, -1.0, 1.0, -700.0, -745.0, -745.2, -746.0, -800.0, -1e300,
                                709.7, 709.8, kInf, -kInf, kNaN, -kNaN, -1e-300, 5e-324};
    std::vector<double> e(t.size());
    exp_block(t.data(), e.data(), std::ptrdiff_t(t.size()));
    for (std::size_t i = 0; i < t.size(); ++i)
        EXPECT_TRUE(agrees(e[i], std::exp(t[i]), 4 * kEps * std::exp(t[i]))) << "exp(" << t[i] << ")";
    // A block of underflowing lanes only: every result is exactly +0.0.
    const std::vector<double> dead(13, -1000.0);
    std::vector<double> z(13, 1.0);
    exp_block(dead.data(), z.data(), 13);
    for (double v : z) EXPECT_TRUE(same_bits(v, 0.0));
}

class Paths : public ::testing::TestWithParam<Isa> {};

TEST_P(Paths, ModelAgreesWithThePlainOrder) {
    for (std::ptrdiff_t m : {1, 7, 255, 256, 257, 3000}) {
        for (bool shuffled : {false, true}) {
            const Spectrum s = random_spectrum(m, 9, shuffled, unsigned(m));
            const std::vector<double> got = model(s.x, s.params, GetParam());
            const std::vector<double> want = model_plain(s.x, s.params);
            for (std::ptrdiff_t j = 0; j < m; ++j) {
                double scale = 0.0;  // sum of |terms|: amplitudes of both signs can cancel
                for (std::size_t k = 0; k + 2 < s.params.size(); k += 3) {
                    const double dx = s.x[j] - s.params[k + 1];
                    scale += std::abs(s.params[k] * std::exp(((-0.5 * dx) * dx) / s.params[k + 2]));
                }
                EXPECT_TRUE(agrees(got[j], want[j], kUlps * kEps * scale)) << "m " << m << " point " << j;
            }
        }
    }
}

TEST_P(Paths, JacobianAgreesWithThePlainOrder) {
    for (std::ptrdiff_t m : {1, 9, 64, 65, 1000}) {
        for (bool shuffled : {false, true}) {
            Spectrum s = random_spectrum(m, 7, shuffled, unsigned(m) + 1);
            s.params.push_back(1.0);  // a trailing element: its column stays untouched
            for (bool fortran : {false, true}) {
                const Matrix got = jacobian(s.x, s.params, GetParam(), fortran);
                const Matrix want = jacobian_plain(s.x, s.params);
                for (std::ptrdiff_t j = 0; j < m; ++j) {
                    for (std::ptrdiff_t c = 0; c < 21; ++c)
                        EXPECT_TRUE(agrees(got(j, c), want(j, c), kUlps * kEps * std::abs(want(j, c))))
                            << "row " << j << " column " << c;
                    EXPECT_EQ(got(j, 21), kSentinel);
                }
            }
        }
    }
}

TEST_P(Paths, SpecialValuesBehaveAsInThePlainOrder) {
    // Far points (whole blocks past exp's underflow) and near ones, with amplitudes and variances
    // that make zeros signed, infinite or NaN: every result must be the plain one, sign of zero included.
    std::vector<double> x;
    for (int j = 0; j < 600; ++j) x.push_back(j - 300.0);
    x.push_back(kInf);
    const std::vector<std::vector<double>> cases{
        {-3.0, 0.0, 1.0},       // negative amplitude: -0.0 terms far away
        {kInf, 0.0, 1.0},       // inf * 0 = NaN far away, inf near
        {kNaN, 0.0, 1.0},       // NaN everywhere
        {2.0, 0.0, 0.0},        // zero variance: NaN at the centre, 0 elsewhere
        {2.0, 0.0, -0.0},       // negative zero variance
        {2.0, 0.0, -50.0},      // negative variance: growth up to inf
        {2.0, 0.0, 1e-200},     // (2v)v underflows to 0: the dvar column is NaN where e is 0
        {2.0, 0.0, kInf},       // flat peak: e = 1 everywhere but at inf
        {2.0, kInf, 1.0},       // centre at infinity
        {2.0, kNaN, 1.0},       // NaN centre
        {2.0, 0.0, kNaN},       // NaN variance
        {1.0, 0.0, 1.0, -1.0, 250.0, 0.5, 5.0, -250.0, 3e5},  // several peaks
    };
    for (const auto& p : cases) {
        const std::vector<double> y = model(x, p, GetParam());
        const std::vector<double> y_plain = model_plain(x, p);
        const Matrix J = jacobian(x, p, GetParam());
        const Matrix J_plain = jacobian_plain(x, p);
        for (std::size_t j = 0; j < x.size(); ++j) {
            EXPECT_TRUE(agrees(y[j], y_plain[j], kUlps * kEps * std::abs(y_plain[j])))
                << "params[0..2] " << p[0] << " " << p[1] << " " << p[2] << " x " << x[j];
            for (std::ptrdiff_t c = 0; c < J.cols; ++c)
                EXPECT_TRUE(agrees(J(j, c), J_plain(j, c), kUlps * kEps * std::abs(J_plain(j, c))))
                    << "params[0..2] " << p[0] << " " << p[1] << " " << p[2] << " x " << x[j] << " column " << c;
        }
    }
}

TEST_P(Paths, NaNPointsInAFarBlockStayNaN) {
    std::vector<double> x(300);
    for (int j = 0; j < 300; ++j) x[j] = 1000.0 + j;
    x[17] = kNaN;
    const std::vector<double> p{1.0, 0.0, 1.0};
    const std::vector<double> y = model(x, p, GetParam());
    const Matrix J = jacobian(x, p, GetParam());
    EXPECT_TRUE(std::isnan(y[17]));
    EXPECT_TRUE(std::isnan(J(17, 0)) && std::isnan(J(17, 1)) && std::isnan(J(17, 2)));
    EXPECT_TRUE(same_bits(y[18], 0.0));
}

INSTANTIATE_TEST_SUITE_P(Cpu, Paths, ::testing::ValuesIn(supported_paths()),
                         [](const auto& info) { return name_of(info.param); });

TEST(Model, PeakCountAndEdges) {
    const std::vector<double> x{-1.0, 0.0, 2.0};
    for (std::vector<double> p : {std::vector<double>{}, {4.0}, {4.0, 0.0}})
        EXPECT_EQ(model(x, p, best_isa()), std::vector<double>(3, 0.0));
    // Trailing elements are ignored; the centre gives exactly A.
    const std::vector<double> one = model(x, {4.0, 0.0, 2.0}, best_isa());
    EXPECT_EQ(model(x, {4.0, 0.0, 2.0, 9.0}, best_isa()), one);
    EXPECT_EQ(model(x, {4.0, 0.0, 2.0, 9.0, 9.0}, best_isa()), one);
    EXPECT_EQ(one[1], 4.0);
    EXPECT_TRUE(model({}, {1.0, 0.0, 1.0}, best_isa()).empty());
}

TEST(Model, ZeroVarianceIsNaNAtTheCentreOnly) {
    const std::vector<double> y = model({-1.0, 0.0, 1.0}, {3.0, 0.0, 0.0}, best_isa());
    EXPECT_EQ(y[0], 0.0);
    EXPECT_TRUE(std::isnan(y[1]));
    EXPECT_EQ(y[2], 0.0);
}

TEST(Model, AddsToWhatTheResultHolds) {
    const std::vector<double> x{0.0, 1.0, 200.0};
    const std::vector<double> p{1.0, 0.0, 1.0, -2.0, 50.0, 1.0};
    std::vector<double> y{10.0, -3.0, -0.0}, y_plain = y;
    multi_gaussian(view(x), view(p), Strided<double>(y.data(), 3));
    multi_gaussian_plain(view(x), view(p), Strided<double>(y_plain.data(), 3));
    for (int j = 0; j < 3; ++j) EXPECT_TRUE(agrees(y[j], y_plain[j], kUlps * kEps * std::abs(y_plain[j])));
    EXPECT_GT(y[0], 10.0);
    EXPECT_TRUE(same_bits(y[2], -0.0 + 1.0 * 0.0 + -2.0 * 0.0));
}

TEST(Jacobian, ColumnsAtTheCentreAndSymmetry) {
    for (Isa isa : supported_paths()) {
    SCOPED_TRACE(name_of(isa));
    const std::vector<double> x{1.0, 3.0, 5.0};
    const Matrix J = jacobian(x, {2.0, 3.0, 4.0}, isa);
    EXPECT_EQ(J(1, 0), 1.0);
    EXPECT_EQ(J(1, 1), 0.0);
    EXPECT_EQ(J(1, 2), 0.0);
    EXPECT_EQ(J(0, 0), J(2, 0));
    EXPECT_EQ(J(0, 1), -J(2, 1));
    EXPECT_EQ(J(0, 2), J(2, 2));
    EXPECT_NEAR(J(0, 1), 2.0 * std::exp(-0.5) * -2.0 / 4.0, 1e-15);
    EXPECT_NEAR(J(0, 2), 2.0 * std::exp(-0.5) * 4.0 / 32.0, 1e-15);
    }
}

// No scalar remainder: a point's value does not depend on where it stands or how long the axis is.
TEST(Model, PointValueIndependentOfPosition) {
    const std::vector<double> p{3.0, 0.3, 1.7};
    for (Isa isa : supported_paths()) {
        SCOPED_TRACE(name_of(isa));
        const double alone = model({1.1}, p, isa)[0];
        for (std::size_t n : {2u, 7u, 9u, 17u, 300u}) {
            std::vector<double> x(n, -0.4);
            x[n - 1] = 1.1;
            EXPECT_TRUE(same_bits(model(x, p, isa)[n - 1], alone)) << n;
            EXPECT_TRUE(same_bits(jacobian(x, p, isa)(std::ptrdiff_t(n) - 1, 1), jacobian({1.1}, p, isa)(0, 1))) << n;
        }
    }
}

TEST(Jacobian, ShortParamsWriteNothing) {
    for (std::size_t n : {0, 1, 2}) {
        const Matrix J = jacobian({0.0, 1.0}, std::vector<double>(n, 1.0), best_isa());
        for (double v : J.data) EXPECT_EQ(v, kSentinel);
    }
}

TEST(Results, SharingMemoryWithTheInputsFollowsThePlainOrder) {
    // The model written over its own axis: later peaks see the sums of earlier ones as x.
    const std::vector<double> start{0.0, 0.5, 1.0, 2.0};
    const std::vector<double> p{1.0, 0.0, 1.0, 2.0, 1.0, 0.5};
    std::vector<double> a = start, b = start;
    multi_gaussian_plain(view(a), view(p), Strided<double>(a.data(), 4));
    multi_gaussian(view(b), view(p), Strided<double>(b.data(), 4));
    for (int j = 0; j < 4; ++j) EXPECT_TRUE(same_bits(a[j], b[j]));

    // A zero-stride result: every write lands on one element, the last one wins.
    const std::vector<double> x{0.0, 1.0, 2.0};
    double cell_plain = 0.0, cell = 0.0;
    multi_gaussian_plain(view(x), view(p), Strided<double>(reinterpret_cast<char*>(&cell_plain), 3, 0));
    multi_gaussian(view(x), view(p), Strided<double>(reinterpret_cast<char*>(&cell), 3, 0));
    EXPECT_TRUE(same_bits(cell, cell_plain));

    // The Jacobian written over its parameter vector.
    std::vector<double> shared_plain{1.0, 0.0, 1.0, 2.0, 1.0, 0.5};
    std::vector<double> shared = shared_plain;
    auto over = [](std::vector<double>& v) {
        Strided2D<double> J;
        J.data = reinterpret_cast<char*>(v.data());
        J.rows = 1;
        J.cols = 6;
        J.row_stride = 48;
        J.col_stride = 8;
        return J;
    };
    const std::vector<double> x1{0.5};
    multi_gaussian_jacobian_plain(view(x1), view(shared_plain), over(shared_plain));
    multi_gaussian_jacobian(view(x1), view(shared), over(shared));
    for (int c = 0; c < 6; ++c) EXPECT_TRUE(same_bits(shared[c], shared_plain[c]));
}
