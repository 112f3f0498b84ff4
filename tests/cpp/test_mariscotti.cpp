#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "mariscotti/peak_search.hpp"

using namespace quodex;
using namespace quodex::mariscotti;

namespace {

const double kSentinel = -12345.0;

struct Result {
    std::vector<double> S, F;
};

Strided<const double> view(const std::vector<double>& v) { return {v.data(), std::ptrdiff_t(v.size())}; }
Strided<double> view(std::vector<double>& v) { return {v.data(), std::ptrdiff_t(v.size())}; }

template <class Run>
Result run(const std::vector<double>& y, Run routine) {
    Result r{std::vector<double>(y.size(), kSentinel), std::vector<double>(y.size(), kSentinel)};
    routine(view(y), view(r.S), view(r.F));
    return r;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(same_bits(a[i], b[i])) << "element " << i << ": " << a[i] << " vs " << b[i];
}

void peak_search_best(Strided<const double> y, Strided<double> S, Strided<double> F) { peak_search(y, S, F); }

void (*const routines[])(Strided<const double>, Strided<double>, Strided<double>) = {peak_search_plain,
                                                                                     peak_search_best};

}  // namespace

class BothPaths : public ::testing::TestWithParam<int> {
protected:
    Result run(const std::vector<double>& y) { return ::run(y, routines[GetParam()]); }
};

TEST_P(BothPaths, ShortSpectraLeaveTheResultsAlone) {
    for (std::size_t n : {0, 1, 2}) {
        Result r = run(std::vector<double>(n, 3.0));
        EXPECT_EQ(r.S, std::vector<double>(n, kSentinel));
        EXPECT_EQ(r.F, std::vector<double>(n, kSentinel));
    }
}

TEST_P(BothPaths, ThreeChannelsComputeOnlyTheMiddle) {
    Result r = run({1.0, 4.0, 9.0});
    EXPECT_EQ(r.S, (std::vector<double>{kSentinel, 2.0, kSentinel}));
    EXPECT_EQ(r.F, (std::vector<double>{kSentinel, std::sqrt(26.0), kSentinel}));
}

TEST_P(BothPaths, ConstantSpectrum) {
    Result r = run(std::vector<double>(7, 2.5));
    for (int i = 1; i < 6; ++i) {
        EXPECT_EQ(r.S[i], 0.0);
        EXPECT_EQ(r.F[i], std::sqrt(15.0));
    }
    EXPECT_EQ(r.S[0], kSentinel);
    EXPECT_EQ(r.F[6], kSentinel);
}

TEST_P(BothPaths, SingleSpike) {
    std::vector<double> y(9, 0.0);
    y[4] = 16.0;
    Result r = run(y);
    const std::vector<double> S{kSentinel, 0, 0, 16, -32, 16, 0, 0, kSentinel};
    const std::vector<double> F{kSentinel, 0, 0, 4, 8, 4, 0, 0, kSentinel};
    EXPECT_EQ(r.S, S);
    EXPECT_EQ(r.F, F);
}

TEST_P(BothPaths, NegativeSumUnderTheRootGivesNaN) {
    Result r = run({1.0, -1.0, 1.0, 5.0});
    EXPECT_TRUE(std::isnan(r.F[1]));
    EXPECT_EQ(r.S[1], 4.0);
    EXPECT_EQ(r.F[2], std::sqrt(-1.0 + 4.0 + 5.0));
}

TEST_P(BothPaths, OrderOfAdditionsIsFixed) {
    // (1e16 - 2) + 1 and (1e16 + 4) + 1 differ from other groupings in double arithmetic.
    Result r = run({1e16, 1.0, 1.0});
    EXPECT_EQ(r.S[1], (1e16 - 2.0) + 1.0);
    EXPECT_EQ(r.F[1], std::sqrt((1e16 + 4.0) + 1.0));
}

INSTANTIATE_TEST_SUITE_P(Paths, BothPaths, ::testing::Values(0, 1), [](const auto& info) {
    return info.param == 0 ? "Plain" : "Fast";
});

TEST(PeakSearch, FastPathsAreBitIdenticalToThePlainOrder) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-5.0, 1e4);
    for (std::ptrdiff_t n : {3, 4, 5, 17, 1000}) {
        std::vector<double> big(3 * n);
        for (double& v : big) v = u(rng);
        big[1] = std::numeric_limits<double>::infinity();
        big[4] = std::numeric_limits<double>::quiet_NaN();
        for (std::ptrdiff_t step : {1, 3, -1, -3}) {
            const char* first = reinterpret_cast<const char*>(step > 0 ? big.data() : big.data() + (n - 1) * -step);
            const Strided<const double> y(first, n, step * std::ptrdiff_t(sizeof(double)));
            std::vector<double> s1(n, kSentinel), f1(n, kSentinel), s2(2 * n, kSentinel), f2(n, kSentinel);
            peak_search_plain(y, view(s1), view(f1));
            // Strided results as well as contiguous ones.
            peak_search(y, Strided<double>(reinterpret_cast<char*>(s2.data()), n, 16), view(f2));
            std::vector<double> s2_dense(n);
            for (std::ptrdiff_t i = 0; i < n; ++i) s2_dense[i] = s2[2 * i];
            expect_same_bits(s2_dense, s1);
            expect_same_bits(f2, f1);
        }
    }
}

TEST(PeakSearch, ResultShorterThanNeededIsOutOfBounds) {
    const std::vector<double> y(6, 1.0);
    for (auto routine : routines) {
        for (auto [s_len, f_len] : {std::pair{4, 6}, std::pair{6, 4}, std::pair{0, 6}}) {
            std::vector<double> S(s_len), F(f_len);
            try {
                routine(view(y), view(S), view(F));
                ADD_FAILURE() << "no OutOfBounds for lengths " << s_len << ", " << f_len;
            } catch (const OutOfBounds& e) {
                EXPECT_EQ(e.axis, 0);
            }
        }
        // n - 1 elements are enough: the last channel is never written.
        std::vector<double> S(5), F(5);
        EXPECT_NO_THROW(routine(view(y), view(S), view(F)));
    }
}

TEST(PeakSearch, ResultsSharingTheInputsMemoryFollowThePlainOrder) {
    // Results made over the spectrum itself: each channel reads values that earlier ones rewrote.
    const std::vector<double> start{1.0, 3.0, 8.0, 2.0, 7.0, 4.0};
    std::vector<double> a = start, b = start;
    std::vector<double> fa(6), fb(6);
    peak_search_plain(view(a), view(a), view(fa));
    peak_search(view(b), view(b), view(fb));
    expect_same_bits(b, a);
    expect_same_bits(fb, fa);
    EXPECT_NE(a, start);

    // S and F over the same memory: F's write wins at every channel.
    std::vector<double> y = start, both_a(6), both_b(6);
    peak_search_plain(view(y), view(both_a), view(both_a));
    peak_search(view(y), view(both_b), view(both_b));
    expect_same_bits(both_b, both_a);
}

// Every instruction set the CPU runs gives the plain order's bits, at lengths around whole vectors and
// with values that make sqrt return NaN or infinity.
TEST(PeakSearchIsas, EveryPathGivesThePlainBits) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-50.0, 1e6);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), -0.0, 1e308, -1.0};
    for (std::size_t n : {3, 4, 5, 8, 9, 15, 16, 17, 31, 33, 64, 1001}) {
        std::vector<double> y(n);
        for (double& v : y) v = u(rng);
        for (std::size_t k = 0; k < n; k += 5) y[k] = specials[k % 6];
        const Result want = run(y, peak_search_plain);
        for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
            if (!isa_supported(isa)) continue;
            const Result got = run(y, [isa](auto a, auto b, auto c) { peak_search(a, b, c, isa); });
            expect_same_bits(got.S, want.S);
            expect_same_bits(got.F, want.F);
        }
    }
}
