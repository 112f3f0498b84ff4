#include <ostream>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "gaussian/trf.hpp"

using namespace quodex::gaussian;
using trf::Matrix;
using trf::Vec;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// ---- the SVD ----

Matrix random_matrix(trf::Index m, trf::Index n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> dist;
    Matrix A(m, n);
    for (double& v : A.a) v = dist(gen);
    return A;
}

// A^T A V = V S^2 with V orthogonal and S descending: V and S are A's right vectors and singular values.
void expect_svd_of(const Matrix& A, double tol) {
    const trf::Svd d = trf::svd(A);
    const trf::Index n = A.cols;
    ASSERT_EQ(trf::Index(d.s.size()), n);
    for (trf::Index j = 1; j < n; ++j) EXPECT_GE(d.s[j - 1], d.s[j]);
    for (trf::Index p = 0; p < n; ++p)
        for (trf::Index q = 0; q < n; ++q)
            EXPECT_NEAR(trf::dot(d.V.col(p), d.V.col(q), n), p == q ? 1.0 : 0.0, tol);
    for (trf::Index j = 0; j < n; ++j) {
        Vec Av(std::size_t(A.rows), 0.0);
        for (trf::Index c = 0; c < n; ++c)
            for (trf::Index i = 0; i < A.rows; ++i) Av[i] += A(i, c) * d.V(c, j);
        EXPECT_NEAR(trf::norm(Av), d.s[j], tol * std::max(1.0, d.s[0]));
    }
}

TEST(TrfSvd, TallRandomMatrices) {
    expect_svd_of(random_matrix(40, 7, 1), 1e-12);
    expect_svd_of(random_matrix(1500, 20, 2), 1e-11);
}

TEST(TrfSvd, KnownSingularValuesOfADiagonalRowScaledMatrix) {
    Matrix A(5, 3);
    A(0, 0) = 3.0;
    A(1, 1) = -5.0;
    A(4, 2) = 0.5;
    const trf::Svd d = trf::svd(A);
    EXPECT_DOUBLE_EQ(d.s[0], 5.0);
    EXPECT_DOUBLE_EQ(d.s[1], 3.0);
    EXPECT_DOUBLE_EQ(d.s[2], 0.5);
    EXPECT_DOUBLE_EQ(std::abs(d.V(1, 0)), 1.0);
}

TEST(TrfSvd, RepeatedColumnGivesAZeroSingularValue) {
    Matrix A = random_matrix(30, 4, 3);
    for (trf::Index i = 0; i < 30; ++i) A(i, 3) = 2.0 * A(i, 1);
    const trf::Svd d = trf::svd(A);
    EXPECT_LT(d.s[3], 1e-13 * d.s[0]);
    expect_svd_of(A, 1e-12);
}

// ---- the method on small problems ----

// Residuals written as a lambda pair.
template <class F, class J>
struct Lambda {
    trf::Index m;
    F f;
    J j;
    trf::Index size() const { return m; }
    void residuals(const Vec& x, Vec& out) const { f(x, out); }
    void jacobian(const Vec& x, Matrix& out) const { j(x, out); }
};
template <class F, class J>
Lambda<F, J> problem(trf::Index m, F f, J j) {
    return {m, f, j};
}

auto rosenbrock() {
    return problem(
        2,
        [](const Vec& x, Vec& f) {
            f[0] = 10 * (x[1] - x[0] * x[0]);
            f[1] = 1 - x[0];
        },
        [](const Vec& x, Matrix& J) {
            J(0, 0) = -20 * x[0];
            J(0, 1) = 10;
            J(1, 0) = -1;
            J(1, 1) = 0;
        });
}

TEST(TrfSolve, RosenbrockReachesItsMinimumFromAFarStart) {
    const trf::Solution s = trf::solve(rosenbrock(), {-1.9, 2.0}, {-kInf, -kInf}, {kInf, 10.0}, 200);
    EXPECT_NEAR(s.x[0], 1.0, 1e-7);
    EXPECT_NEAR(s.x[1], 1.0, 1e-7);
    EXPECT_LT(s.cost, 1e-14);
    EXPECT_GT(s.status, 0);
}

// SciPy 1.15's least_squares documents this bounded example; its values from the same start.
TEST(TrfSolve, RosenbrockWithTheLowerBoundActiveAgreesWithScipy) {
    const trf::Solution s = trf::solve(rosenbrock(), {2.0, 2.0}, {-kInf, 1.5}, {kInf, kInf}, 200);
    EXPECT_NEAR(s.x[0], 1.2243707489933915, 1e-9);
    EXPECT_NEAR(s.x[1], 1.5, 1e-12);
    EXPECT_GE(s.x[1], 1.5);
    EXPECT_NEAR(s.cost, 0.02521309394680379, 1e-12);
    EXPECT_EQ(s.nfev, 9);
}

// A linear problem whose unconstrained minimum (3, -1) lies outside the box: the minimum is the corner.
TEST(TrfSolve, BothBoundsActiveOnALinearProblem) {
    auto p = problem(
        2,
        [](const Vec& x, Vec& f) {
            f[0] = x[0] - 3;
            f[1] = 2 * (x[1] + 1);
        },
        [](const Vec&, Matrix& J) {
            J(0, 0) = 1;
            J(1, 1) = 2;
            J(0, 1) = J(1, 0) = 0;
        });
    const trf::Solution s = trf::solve(p, {0.5, 0.5}, {-5.0, 0.0}, {1.0, 5.0}, 200);
    EXPECT_NEAR(s.x[0], 1.0, 1e-6);
    EXPECT_NEAR(s.x[1], 0.0, 1e-6);
    EXPECT_LE(s.x[0], 1.0);
    EXPECT_GE(s.x[1], 0.0);
}

TEST(TrfSolve, RefusesWhatScipyRefuses) {
    EXPECT_THROW(trf::solve(rosenbrock(), {2.0, 1.0}, {-kInf, 1.5}, {kInf, kInf}, 200), std::invalid_argument);
    EXPECT_THROW(trf::solve(rosenbrock(), {2.0, 2.0}, {1.0, 1.5}, {1.0, kInf}, 200), std::invalid_argument);
    EXPECT_THROW(trf::solve(rosenbrock(), {2.0, 2.0}, {-kInf, 1.5}, {kInf, kInf}, 0), std::invalid_argument);
    auto nan_at_start = problem(
        1, [](const Vec&, Vec& f) { f[0] = std::nan(""); }, [](const Vec&, Matrix& J) { J(0, 0) = 1; });
    EXPECT_THROW(trf::solve(nan_at_start, {0.0}, {-1.0}, {1.0}, 10), std::invalid_argument);
}

// Residuals that are not finite beyond x = 1.2 make the method shrink its region, not stop.
TEST(TrfSolve, NonFiniteTrialPointsShrinkTheRegion) {
    auto p = problem(
        1, [](const Vec& x, Vec& f) { f[0] = x[0] > 1.2 ? std::nan("") : x[0] * x[0] - 1.0; },
        [](const Vec& x, Matrix& J) { J(0, 0) = 2 * x[0]; });
    const trf::Solution s = trf::solve(p, {0.1}, {0.0}, {kInf}, 100);
    EXPECT_NEAR(s.x[0], 1.0, 1e-6);
}

// ---- the peaks' problem, against SciPy's least_squares on the same data and start ----

struct Region {
    Vec x, y, sigma;
};

// Two peaks on a sloped background, counts perturbed by a fixed pattern and rounded.
Region two_peaks() {
    Region r;
    const Vec truth = {5000, 655.0, 2.0, 1500, 662.0, 2.2, 100, -0.3};
    for (int i = 0; i < 121; ++i) r.x.push_back(600.0 + i);
    const trf::Peaks noiseless(r.x, Vec(121, 0.0), Vec(121, 1.0), 2);
    Vec f(121);
    noiseless.residuals(truth, f);  // 0 - model
    for (int i = 0; i < 121; ++i) {
        const double mu = -f[i];
        r.y.push_back(std::round(mu + std::sqrt(mu) * std::sin(i * 1.7)));
        r.sigma.push_back(std::sqrt(std::max(r.y.back(), 1.0)));
    }
    return r;
}

struct Case {
    const char* name;
    Vec start, lb, ub, x;
    double cost;
    int nfev;
};

// gtest would otherwise print the case's raw bytes, padding included, which valgrind reports as unset
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Vec kLb = {0, 600, 1, 0, 600, 1, -kInf, -kInf};
const Vec kUb = {kInf, 720, 9, kInf, 720, 9, kInf, kInf};

Vec with(Vec v, std::size_t i, double value) {
    v[i] = value;
    return v;
}

class TrfPeaks : public testing::TestWithParam<Case> {};

TEST_P(TrfPeaks, SameMinimumAndEvaluationsAsScipy) {
    const Case& c = GetParam();
    const Region r = two_peaks();
    double total = 0;
    for (double v : r.y) total += v;
    ASSERT_EQ(total, 35414.0);  // the data SciPy was given
    const trf::Peaks peaks(r.x, r.y, r.sigma, 2);
    const trf::Solution s = trf::solve(peaks, c.start, c.lb, c.ub, 200);
    EXPECT_NEAR(s.cost, c.cost, 1e-8 * c.cost);
    for (std::size_t i = 0; i < c.x.size(); ++i) EXPECT_NEAR(s.x[i], c.x[i], 1e-6 * std::max(1.0, std::abs(c.x[i]))) << i;
    EXPECT_EQ(s.nfev, c.nfev);
    for (std::size_t i = 0; i < c.x.size(); ++i) {
        EXPECT_GE(s.x[i], c.lb[i]);
        EXPECT_LE(s.x[i], c.ub[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AgainstScipy, TrfPeaks,
    testing::Values(
        Case{"free",
             {3000, 652, 4, 1000, 665, 4, 90, 0},
             kLb,
             kUb,
             {4999.1037342503714, 654.99925927574884, 2.0001520062818412, 1495.5253282596993, 661.99738415917557,
              2.2197672150093206, 99.557431160456119, -0.29909079745109418},
             30.16643518199828,
             9},
        Case{"width_at_upper_bound",
             {3000, 652, 1.2, 1000, 665, 4, 90, 0},
             kLb,
             with(kUb, 2, 1.5),
             {5545.7925146541802, 654.99557992250971, 1.4999999999999998, 1454.1405139351980, 661.92920369653416,
              2.4556114494742345, 100.73053923398076, -0.30931328815627729},
             244.14532277577237,
             11},
        Case{"centre_at_lower_bound",
             {3000, 652, 4, 1000, 665, 4, 90, 0},
             with(kLb, 4, 663.0),
             kUb,
             {4921.3052793473162, 655.02389012595177, 2.0963481095056329, 1166.8472489774670, 663.00000000000011,
              1.8654680748430836, 99.756746447940756, -0.30407699433497748},
             743.8826575403431,
             9}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The Jacobian the problem gives is the derivative of its residuals, tail and step terms included
// (narrow peaks and a steep tail: the terms vary fast over the channels).
TEST(TrfPeaksProblem, JacobianMatchesCentralDifferences) {
    const Region r = two_peaks();
    for (const bool shape : {false, true}) {
        const trf::Peaks peaks(r.x, r.y, r.sigma, 2, shape);
        Vec p = {3000, 652, 4, 1000, 665, 0.5, 90, 0.1};
        if (shape) p.insert(p.end(), {0.4, 0.7, 0.02});
        Matrix J(121, trf::Index(p.size()));
        peaks.jacobian(p, J);
        for (std::size_t j = 0; j < p.size(); ++j) {
            const double h = 1e-6 * std::max(1.0, std::abs(p[j]));
            Vec up = p, down = p, fu(121), fd(121);
            up[j] += h;
            down[j] -= h;
            peaks.residuals(up, fu);
            peaks.residuals(down, fd);
            for (int i = 0; i < 121; ++i)
                EXPECT_NEAR(J(i, trf::Index(j)), (fu[i] - fd[i]) / (2 * h), 1e-5 * std::max(1.0, std::abs(J(i, trf::Index(j)))))
                    << shape << " " << i << " " << j;
        }
    }
}

// The tail's exp(x^2) erfc(x), against SciPy's erfcx, on both sides of the switch to the series.
TEST(TrfPeaksProblem, ScaledComplementaryErrorFunction) {
    const std::pair<double, double> known[] = {
        {0.0, 1.0}, {0.5, 0.6156903441929258}, {1.0, 0.427583576155807}, {5.0, 0.11070463773306861},
        {9.999999, 0.05614099830313535}, {10.0, 0.05614099274382259}, {26.0, 0.02168358485056291},
        {30.0, 0.018795888861416754}, {1e3, 0.0005641893014533876}};
    for (const auto& [x, value] : known) EXPECT_NEAR(trf::erfcx(x), value, 4e-15 * value) << x;
    EXPECT_EQ(trf::erfcx(kInf), 0.0);
    EXPECT_TRUE(std::isnan(trf::erfcx(std::nan(""))));
}

// With tail and step, the residuals of the true parameters vanish: the model is the one the counts
// were made with (one peak, parameters of an HPGe line).
TEST(TrfPeaksProblem, ShapeFitRecoversNoiselessTruth) {
    Vec x;
    for (int i = 0; i < 160; ++i) x.push_back(600.0 + 0.25 * i);
    const Vec truth = {4000, 620.0, 0.64, 40, -0.5, 0.3, 1.5, 0.004};
    const trf::Peaks model(x, Vec(160, 0.0), Vec(160, 1.0), 1, true);
    Vec f(160), y(160);
    model.residuals(truth, f);
    for (int i = 0; i < 160; ++i) y[i] = -f[i];
    const trf::Peaks peaks(x, y, Vec(160, 1.0), 1, true);
    const Vec lb = {0, 600, 0.01, -kInf, -kInf, 0, 0.5, 0}, ub = {kInf, 640, 9, kInf, kInf, 2, 8, 0.05};
    const trf::Solution s = trf::solve(peaks, {3000, 619.0, 1.0, 35, 0, 0.2, 2.0, 0.002}, lb, ub, 200);
    for (std::size_t i = 0; i < truth.size(); ++i) EXPECT_NEAR(s.x[i], truth[i], 1e-5 * std::max(1.0, std::abs(truth[i]))) << i;
    EXPECT_LT(s.cost, 1e-12);
}

}  // namespace
