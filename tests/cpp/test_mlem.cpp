#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "deconvolution/mlem.hpp"
#include "deconvolution/response.hpp"

using namespace quodex;
using namespace quodex::deconvolution;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
Strided<const T> view(const std::vector<T>& v) {
    return Strided<const T>(v.data(), std::ptrdiff_t(v.size()));
}

// Every `step`-th element of a larger buffer, so that routines must honour the stride.
template <class T>
struct Spread {
    std::vector<T> storage;
    std::ptrdiff_t n = 0;
    int step = 1;
    Spread(const std::vector<T>& v, int step_, T fill) : storage(v.size() * step_ + 1, fill), n(v.size()), step(step_) {
        for (std::size_t i = 0; i < v.size(); ++i) storage[i * step] = v[i];
    }
    Strided<T> mut() { return Strided<T>(reinterpret_cast<char*>(storage.data()), n, std::ptrdiff_t(sizeof(T)) * step); }
    Strided<const T> get() const {
        return Strided<const T>(reinterpret_cast<const char*>(storage.data()), n, std::ptrdiff_t(sizeof(T)) * step);
    }
    std::vector<T> values() const {
        std::vector<T> out(n);
        for (std::ptrdiff_t i = 0; i < n; ++i) out[i] = storage[i * step];
        return out;
    }
};

struct Problem {
    std::vector<double> y, values, sensitivity;
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> indices;
    bool has_sensitivity = true;
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Runs the plain reference order and the validated fused path from x = 1 and returns both results.
std::pair<std::vector<double>, std::vector<double>> run_both(const Problem& p, int iterations, int step = 1,
                                                             Isa isa = best_isa()) {
    const std::size_t n = p.y.size();
    const ResponseRows rows{view(p.offsets), view(p.indices), view(p.values)};
    const Strided<const double> sens = p.has_sensitivity ? view(p.sensitivity) : Strided<const double>();

    std::vector<double> xr(n, 1.0), er(n), rr(n), cr(n);
    iterate_reference(view(p.y), rows, sens, p.has_sensitivity,
                      Workspace{Strided<double>(xr.data(), n), Strided<double>(er.data(), n),
                                Strided<double>(rr.data(), n), Strided<double>(cr.data(), n)},
                      iterations);

    Spread<double> xf(std::vector<double>(n, 1.0), step, kNaN);
    const Spread<double> y(p.y, step, kNaN), values(p.values, step, kNaN), sensitivity(p.sensitivity, step, kNaN);
    const Spread<std::int64_t> offsets(p.offsets, step, -1);
    const Spread<std::int32_t> indices(p.indices, step, -1);
    const ResponseRows spread_rows{offsets.get(), indices.get(), values.get()};
    const Strided<const double> spread_sens = p.has_sensitivity ? sensitivity.get() : Strided<const double>();
    const MlemPlan plan(y.get(), spread_rows, spread_sens, p.has_sensitivity, iterations, isa);
    iterate(plan, xf.mut(), iterations);
    return {xr, xf.values()};
}

struct RandomRows {
    bool negative_positions = false;  // some rows addressed from the end of indices/values
    bool negative_bins = false;       // some bins counted back from n
    bool sensitivity = true;
    bool odd_sensitivity = false;     // zeros, negatives and NaN among the sensitivities
    bool runs = false;                // every row a run of consecutive bins, as the Gaussian builder makes
};

Problem random_problem(std::mt19937_64& rng, int n, const RandomRows& how) {
    Problem p;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> len(0, 12), bin(0, n - 1), coin(0, 3);
    p.y.resize(n);
    for (double& v : p.y) v = coin(rng) == 0 ? 0.0 : 1000.0 * unit(rng);
    // Entries are laid out after a gap, so offsets[0] is not 0, and rows are filled in random order of
    // measured bins with occasional repeats.
    const int gap = 3;
    std::vector<std::int32_t> idx(gap, 0);
    std::vector<double> val(gap, 0.5);
    p.offsets.push_back(gap);
    for (int j = 0; j < n; ++j) {
        int l = coin(rng) == 0 ? 0 : len(rng);
        if (how.runs) {
            const int first = bin(rng);
            l = std::min(l, n - first);
            for (int e = 0; e < l; ++e) {
                idx.push_back(first + e);
                val.push_back(unit(rng));
            }
            p.offsets.push_back(std::int64_t(idx.size()));
            continue;
        }
        int previous = 0;
        for (int e = 0; e < l; ++e) {
            const int b = e > 0 && coin(rng) == 0 ? previous : bin(rng);  // repeated bin within a row
            previous = b;
            idx.push_back(how.negative_bins && coin(rng) == 0 ? b - n : b);
            val.push_back(unit(rng));
        }
        p.offsets.push_back(std::int64_t(idx.size()));
    }
    p.offsets.push_back(-5);  // beyond row n-1: never read
    if (how.negative_positions) {
        // Shift every row back by half the entries: rows before the middle address the arrays from
        // their ends, one row crosses position 0, later rows stay positive.
        const std::int64_t shift = std::int64_t(idx.size()) / 2;
        for (int j = 0; j <= n; ++j) p.offsets[j] -= shift;
    }
    p.indices = idx;
    p.values = val;
    p.sensitivity.resize(n);
    for (double& s : p.sensitivity) {
        s = 0.2 + unit(rng);
        if (how.odd_sensitivity) {
            const int c = coin(rng);
            if (c == 0) s = 0.0;
            else if (c == 1) s = -1.0;
            else if (c == 2) s = kNaN;
        }
    }
    p.has_sensitivity = how.sensitivity;
    return p;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Reference routines on a hand-computed example.

TEST(Reference, TwoByTwoIterationByHand) {
    // R = [[2, 1], [0, 3]] (R[i][j]: true bin j into measured bin i); rows list its columns.
    const std::vector<std::int64_t> offsets{0, 1, 3};
    const std::vector<std::int32_t> indices{0, 1, 0};
    const std::vector<double> values{2.0, 3.0, 1.0};
    const std::vector<double> y{6.0, 6.0}, sens{4.0, 2.0};
    std::vector<double> x{1.0, 1.0}, e(2), r(2), c(2);
    iterate_reference(view(y), ResponseRows{view(offsets), view(indices), view(values)}, view(sens), true,
                      Workspace{Strided<double>(x.data(), 2), Strided<double>(e.data(), 2),
                                Strided<double>(r.data(), 2), Strided<double>(c.data(), 2)},
                      1);
    // estimate = R.x = (3, 3); ratio = 6 / (3 + 1e-12); back projection = (2 r0, 3 r1 + r0).
    const double q = 6.0 / (3.0 + 1e-12);
    EXPECT_EQ(e[0], 3.0);
    EXPECT_EQ(e[1], 3.0);
    EXPECT_EQ(x[0], (2.0 * q) / 4.0);
    EXPECT_EQ(x[1], (3.0 * q + 1.0 * q) / 2.0);
}

TEST(Reference, RatioGuardAndSensitivityFloor) {
    const std::vector<double> y{1.0, 0.0, 2.0}, est{-1e-12, -1e-12, 1.0};
    std::vector<double> ratio(3);
    compute_ratio(view(y), view(est), Strided<double>(ratio.data(), 3));
    EXPECT_EQ(ratio[0], std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(ratio[1]));
    EXPECT_EQ(ratio[2], 2.0 / (1.0 + 1e-12));

    const std::vector<double> sens{0.0, -1.0, kNaN, 1e-12, -0.0, 2.0};
    std::vector<double> corr(6, 1.0);
    apply_sensitivity(Strided<double>(corr.data(), 6), view(sens));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(corr[i], 1.0 / 1e-12) << i;
    EXPECT_EQ(corr[5], 0.5);
}

// ------------------------------------------------------------------------------------------------
// Validation.

struct ValidationCase {
    const char* name;
    int n;
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> indices;
    std::size_t values;       // length of values
    std::size_t sensitivity;  // length of sensitivity; SIZE_MAX for none
    bool ok;
    bool wrap_positions = false;
    bool wrap_bins = false;
    bool runs = true;
};

// gtest would otherwise print the raw bytes of the case, padding included.
void PrintTo(const ValidationCase& c, std::ostream* os) { *os << c.name; }

class Validation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, AcceptsExactlyWhatTheIterationReads) {
    const ValidationCase& c = GetParam();
    const std::vector<double> values(c.values, 1.0);
    const bool has_sens = c.sensitivity != SIZE_MAX;
    const std::vector<double> sens(has_sens ? c.sensitivity : 0, 1.0);
    const ResponseRows rows{view(c.offsets), view(c.indices), view(values)};
    if (!c.ok) {
        EXPECT_THROW(validate_rows(c.n, rows, view(sens), has_sens), OutOfBounds);
        return;
    }
    const RowsLayout layout = validate_rows(c.n, rows, view(sens), has_sens);
    EXPECT_EQ(layout.wrap_positions, c.wrap_positions);
    EXPECT_EQ(layout.wrap_bins, c.wrap_bins);
    EXPECT_EQ(layout.runs, c.runs);
}

const std::size_t kNone = SIZE_MAX;

INSTANTIATE_TEST_SUITE_P(
    Rows, Validation,
    ::testing::Values(
        ValidationCase{"plain", 2, {0, 1, 2}, {1, 0}, 2, 2, true},
        ValidationCase{"offsets_one_short", 2, {0, 1}, {1, 0}, 2, 2, false},
        ValidationCase{"offsets_longer_unread", 2, {0, 1, 2, 99}, {1, 0}, 2, 2, true},
        ValidationCase{"position_past_indices", 2, {0, 1, 3}, {1, 0}, 3, 2, false},
        ValidationCase{"position_past_values", 2, {0, 1, 2}, {1, 0}, 1, 2, false},
        ValidationCase{"negative_positions_in_range", 2, {-2, -1, 0}, {1, 0}, 2, 2, true, true, false, false},
        ValidationCase{"negative_position_beyond_shorter_array", 2, {-3, -1, 0}, {1, 0, 1}, 2, 2, false},
        ValidationCase{"row_across_zero", 1, {-1, 1}, {0, 0}, 2, 1, true, true, false, false},
        ValidationCase{"bin_equal_n", 2, {0, 1, 2}, {2, 0}, 2, 2, false},
        ValidationCase{"bin_below_minus_n", 2, {0, 1, 2}, {-3, 0}, 2, 2, false},
        ValidationCase{"bin_minus_n", 2, {0, 1, 2}, {-2, 0}, 2, 2, true, false, true, false},
        ValidationCase{"consecutive_runs", 3, {0, 2, 2, 5}, {1, 2, 0, 1, 2}, 5, 3, true},
        ValidationCase{"gap_is_no_run", 3, {0, 2, 2, 3}, {0, 2, 1}, 3, 3, true, false, false, false},
        ValidationCase{"descending_is_no_run", 3, {0, 2, 2, 3}, {1, 0, 1}, 3, 3, true, false, false, false},
        ValidationCase{"repeat_is_no_run", 3, {0, 2, 2, 3}, {1, 1, 1}, 3, 3, true, false, false, false},
        ValidationCase{"empty_and_reversed_rows_ignore_bounds", 2, {100, 100, -100}, {}, 0, 2, true},
        ValidationCase{"unused_indices_not_read", 2, {1, 2, 2}, {77, 0, -9}, 3, 2, true},
        ValidationCase{"sensitivity_short", 2, {0, 1, 2}, {1, 0}, 2, 1, false},
        ValidationCase{"sensitivity_absent", 2, {0, 1, 2}, {1, 0}, 2, kNone, true},
        ValidationCase{"sensitivity_longer", 2, {0, 1, 2}, {1, 0}, 2, 5, true}),
    [](const ::testing::TestParamInfo<ValidationCase>& i) { return std::string(i.param.name); });

// ------------------------------------------------------------------------------------------------
// The fused path against the plain order: bit for bit.

struct FusedCase {
    const char* name;
    RandomRows how;
    int step;
};

void PrintTo(const FusedCase& c, std::ostream* os) { *os << c.name; }

class Fused : public ::testing::TestWithParam<FusedCase> {};

TEST_P(Fused, BitIdenticalToPlainOrder) {
    const FusedCase& c = GetParam();
    std::mt19937_64 rng(12345);
    for (int trial = 0; trial < 40; ++trial) {
        const int n = 1 + trial % 23;
        const Problem p = random_problem(rng, n, c.how);
        for (int iterations : {1, 2, 5}) {
            auto [plain, fused] = run_both(p, iterations, c.step);
            ASSERT_TRUE(same_bits(plain, fused)) << "trial " << trial << ", " << iterations << " iterations";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    RandomRows, Fused,
    ::testing::Values(FusedCase{"direct", {}, 1}, FusedCase{"strided", {}, 3},
                      FusedCase{"no_sensitivity", {.sensitivity = false}, 1},
                      FusedCase{"runs", {.runs = true}, 1},
                      FusedCase{"runs_no_sensitivity", {.sensitivity = false, .runs = true}, 1},
                      FusedCase{"runs_strided", {.runs = true}, 2},
                      FusedCase{"odd_sensitivity", {.odd_sensitivity = true}, 2},
                      FusedCase{"negative_positions", {.negative_positions = true}, 1},
                      FusedCase{"negative_bins", {.negative_bins = true}, 2},
                      FusedCase{"both_wrapped", {.negative_positions = true, .negative_bins = true}, 1}),
    [](const ::testing::TestParamInfo<FusedCase>& i) { return std::string(i.param.name); });

TEST(Fused, ZeroIterationsLeaveOnes) {
    std::mt19937_64 rng(7);
    const Problem p = random_problem(rng, 6, {});
    EXPECT_EQ(run_both(p, 0).second, std::vector<double>(6, 1.0));
}

TEST(Fused, NoSensitivityEqualsOnes) {
    std::mt19937_64 rng(99);
    Problem p = random_problem(rng, 17, {.sensitivity = false});
    const std::vector<double> without = run_both(p, 4).second;
    p.has_sensitivity = true;
    p.sensitivity.assign(17, 1.0);
    EXPECT_TRUE(same_bits(without, run_both(p, 4).second));
}

// Every build of the run path, whatever the dispatcher would pick on this machine.
TEST(Fused, RunPathVariantsBitIdentical) {
    std::mt19937_64 rng(2024);
    for (int trial = 0; trial < 60; ++trial) {
        const int n = 1 + trial % 37;
        const Problem p = random_problem(rng, n, {.odd_sensitivity = trial % 3 == 0, .runs = true});
        const ResponseRows rows{view(p.offsets), view(p.indices), view(p.values)};
        ASSERT_TRUE(validate_rows(n, rows, view(p.sensitivity), true).runs);
        for (int iterations : {1, 3}) {
            const std::vector<double> want = run_both(p, iterations).first;
            for (Isa isa : {Isa::Baseline, Isa::Avx2, Isa::Avx512}) {
                if (!isa_supported(isa)) continue;
                ASSERT_TRUE(same_bits(want, run_both(p, iterations, 1, isa).second)) << "trial " << trial;
            }
        }
    }
}

// ------------------------------------------------------------------------------------------------
// Diagonal blocks of run rows on every vector path, against the scalar fused path and the plain order.

namespace {

std::vector<Isa> vector_paths() {
    std::vector<Isa> paths;
    for (Isa isa : {Isa::Avx2, Isa::Avx512})
        if (isa_supported(isa)) paths.push_back(isa);
    return paths;
}

// x after `iterations` on path `isa`, with blocks whatever the iteration count.
std::vector<double> run_path(const Problem& p, int iterations, Isa isa, std::size_t* blocks = nullptr) {
    const std::ptrdiff_t n = std::ptrdiff_t(p.y.size());
    const ResponseRows rows{view(p.offsets), view(p.indices), view(p.values)};
    const Strided<const double> sens = p.has_sensitivity ? view(p.sensitivity) : Strided<const double>();
    const MlemPlan plan(view(p.y), rows, sens, p.has_sensitivity, iterations, isa, 0);
    if (blocks) *blocks = plan.blocks.size();
    std::vector<double> x(n, 1.0);
    iterate(plan, Strided<double>(x.data(), n), iterations);
    return x;
}

std::vector<double> run_reference(const Problem& p, int iterations) {
    const std::size_t n = p.y.size();
    std::vector<double> x(n, 1.0), e(n), r(n), c(n);
    iterate_reference(view(p.y), {view(p.offsets), view(p.indices), view(p.values)},
                      p.has_sensitivity ? view(p.sensitivity) : Strided<const double>(), p.has_sensitivity,
                      Workspace{Strided<double>(x.data(), n), Strided<double>(e.data(), n),
                                Strided<double>(r.data(), n), Strided<double>(c.data(), n)},
                      iterations);
    return x;
}

// Gaussian rows of the HPGe (8192 bins, sigma(662 keV) = 1 keV) or NaI (1024 bins, 19.7 keV) workload.
Problem gaussian_problem(int n, double sigma_662) {
    const double k = sigma_662 * 2.3548200450309493 / std::pow(662.0, 1.5);
    std::vector<double> axis(n), sigma(n);
    for (int i = 0; i < n; ++i) {
        axis[i] = (i + 0.5) * 3000.0 / n;
        sigma[i] = ((k * std::sqrt(axis[i])) * axis[i]) / 2.3548200450309493;
    }
    SparseRows rows;
    build_gaussian_rows(view(axis), view(sigma), 5.0, rows);
    Problem p;
    p.offsets = rows.offsets;
    p.indices = rows.indices;
    p.values = rows.values;
    std::mt19937_64 rng(n);
    std::poisson_distribution<int> counts(40.0);
    p.y.resize(n);
    for (double& v : p.y) v = counts(rng);
    p.sensitivity.assign(n, 0.0);
    for (int j = 0; j < n; ++j)
        for (std::int64_t e = p.offsets[j]; e < p.offsets[j + 1]; ++e) p.sensitivity[j] += p.values[e];
    return p;
}

// Run rows that make blocks awkward but still worth making: empty rows, first bins that jump, rows
// cut at bin 0 and bin n-1, lengths that differ by lane, and n not a multiple of any block width.
Problem awkward_runs(std::mt19937_64& rng, int n) {
    Problem p;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> coin(0, 31), jitter(0, 2), jump(-5, 5), extra(0, 8);
    p.offsets.push_back(0);
    for (int j = 0; j < n; ++j) {
        const int c = coin(rng);
        const int len = c == 0 ? 0 : 24 + extra(rng);
        const int centre = j + jitter(rng) + (c == 1 ? jump(rng) : 0);
        const int first = std::clamp(centre - len / 2, 0, n - 1);
        const int last = std::min(centre - len / 2 + len, n);
        for (int b = first; b < last; ++b) {
            p.indices.push_back(b);
            p.values.push_back(unit(rng));
        }
        p.offsets.push_back(std::int64_t(p.indices.size()));
    }
    p.y.resize(n);
    for (double& v : p.y) v = coin(rng) < 4 ? 0.0 : 500.0 * unit(rng);
    p.sensitivity.resize(n);
    for (double& s : p.sensitivity) s = 0.3 + unit(rng);
    return p;
}

}  // namespace

struct BlockCase {
    const char* name;
    int n;
    double sigma_662;
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }

class GaussianBlocks : public ::testing::TestWithParam<BlockCase> {};

// The workloads of the benchmark: every vector path gives the scalar path's bits after 1, 10 and
// 300 iterations, and the scalar path the plain order's after 10.
TEST_P(GaussianBlocks, EveryPathBitIdentical) {
    const Problem p = gaussian_problem(GetParam().n, GetParam().sigma_662);
    EXPECT_TRUE(same_bits(run_reference(p, 10), run_path(p, 10, Isa::Baseline)));
    for (int iterations : {1, 10, 300}) {
        const std::vector<double> want = run_path(p, iterations, Isa::Baseline);
        for (Isa isa : vector_paths()) {
            std::size_t blocks = 0;
            EXPECT_TRUE(same_bits(want, run_path(p, iterations, isa, &blocks)))
                << "path " << int(isa) << ", " << iterations << " iterations";
            EXPECT_GE(blocks * block_lanes(isa), p.y.size() * 9 / 10);  // nearly every row in a block
        }
    }
}

// A wrong scatter order must show in the bits on these rows, or the comparisons above could not catch
// one: the forward projection with the rows of each bin added in descending order differs.
TEST_P(GaussianBlocks, RowOrderOfTheScatterShowsInTheBits) {
    const Problem p = gaussian_problem(GetParam().n, GetParam().sigma_662);
    const std::size_t n = p.y.size();
    std::vector<double> ascending(n, 0.0), descending(n, 0.0);
    for (std::size_t j = 0; j < n; ++j)
        for (std::int64_t e = p.offsets[j]; e < p.offsets[j + 1]; ++e)
            ascending[p.indices[e]] = ascending[p.indices[e]] + 1.0 * p.values[e];
    for (std::size_t j = n; j-- > 0;)
        for (std::int64_t e = p.offsets[j]; e < p.offsets[j + 1]; ++e)
            descending[p.indices[e]] = descending[p.indices[e]] + 1.0 * p.values[e];
    EXPECT_FALSE(same_bits(ascending, descending));
}

INSTANTIATE_TEST_SUITE_P(Workloads, GaussianBlocks,
                         ::testing::Values(BlockCase{"HPGe", 8192, 1.0}, BlockCase{"NaI", 1024, 19.7}),
                         [](const ::testing::TestParamInfo<BlockCase>& i) { return std::string(i.param.name); });

struct AwkwardCase {
    const char* name;
    bool sensitivity;
    bool odd_sensitivity;
};

void PrintTo(const AwkwardCase& c, std::ostream* os) { *os << c.name; }

class AwkwardBlocks : public ::testing::TestWithParam<AwkwardCase> {};

TEST_P(AwkwardBlocks, BitIdenticalToPlainOrder) {
    std::mt19937_64 rng(31337);
    std::size_t blocks_seen = 0;
    for (int trial = 0; trial < 30; ++trial) {
        Problem p = awkward_runs(rng, 17 + trial * 7);
        p.has_sensitivity = GetParam().sensitivity;
        if (GetParam().odd_sensitivity)
            for (std::size_t j = 0; j < p.sensitivity.size(); j += 3) p.sensitivity[j] = j % 2 ? -1.0 : kNaN;
        for (int iterations : {1, 4}) {
            const std::vector<double> want = run_reference(p, iterations);
            ASSERT_TRUE(same_bits(want, run_path(p, iterations, Isa::Baseline))) << "trial " << trial;
            for (Isa isa : vector_paths()) {
                std::size_t blocks = 0;
                ASSERT_TRUE(same_bits(want, run_path(p, iterations, isa, &blocks)))
                    << "trial " << trial << ", path " << int(isa);
                blocks_seen += blocks;
            }
        }
    }
    if (!vector_paths().empty()) {
        EXPECT_GT(blocks_seen, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, AwkwardBlocks,
                         ::testing::Values(AwkwardCase{"sensitivity", true, false},
                                           AwkwardCase{"no_sensitivity", false, false},
                                           AwkwardCase{"zero_negative_nan_sensitivity", true, true}),
                         [](const ::testing::TestParamInfo<AwkwardCase>& i) { return std::string(i.param.name); });

// Hostile finite inputs: weights and spectra spanning the exponent range, zero weights inside runs,
// negative weights and spectra. Padding lanes meet the infinities and NaN these make in the ratio.
TEST(Blocks, HostileFiniteInputsBitIdentical) {
    std::mt19937_64 rng(4242);
    std::uniform_int_distribution<int> pick(0, 7);
    const double odd[] = {1e300, -1e300, 1e-300, 0.0, -0.0, -1.0, 4.9e-324, 1e-12};
    for (int trial = 0; trial < 20; ++trial) {
        Problem p = awkward_runs(rng, 64 + trial * 13);
        for (double& v : p.values)
            if (pick(rng) == 0) v = odd[pick(rng)];
        for (double& v : p.y)
            if (pick(rng) == 0) v = odd[pick(rng)];
        for (int iterations : {1, 3}) {
            const std::vector<double> want = run_reference(p, iterations);
            for (Isa isa : vector_paths()) {
                const std::vector<double> got = run_path(p, iterations, isa);
                // NaN may differ in its sign bit only; everything else bit for bit.
                for (std::size_t i = 0; i < want.size(); ++i) {
                    if (std::isnan(want[i])) {
                        ASSERT_TRUE(std::isnan(got[i])) << "trial " << trial << ", bin " << i;
                    } else {
                        ASSERT_EQ(std::memcmp(&want[i], &got[i], sizeof(double)), 0)
                            << "trial " << trial << ", bin " << i << ": " << want[i] << " vs " << got[i];
                    }
                }
            }
        }
    }
}

// A block whose rows' first bins jump far apart pads more than it holds and runs as scalar rows.
TEST(Blocks, WastefulBlocksFallBackToScalarRows) {
    for (Isa isa : vector_paths()) {
        const int L = block_lanes(isa);
        Problem p;
        const int n = 4 * L;
        p.offsets.push_back(0);
        for (int j = 0; j < n; ++j) {
            const int first = j < L ? (j % 2) * (n - 4) : j;  // first block alternates between the ends
            for (int e = 0; e < 4 && first + e < n; ++e) {
                p.indices.push_back(first + e);
                p.values.push_back(0.25 + 0.01 * e);
            }
            p.offsets.push_back(std::int64_t(p.indices.size()));
        }
        p.y.assign(n, 3.0);
        p.sensitivity.assign(n, 1.0);
        std::size_t blocks = 0;
        EXPECT_TRUE(same_bits(run_reference(p, 5), run_path(p, 5, isa, &blocks)));
        EXPECT_EQ(blocks, 3u);
    }
}

// Owned copies: what the caller's arrays hold after validation no longer matters to the iterations.
TEST(Blocks, IterationsReadOnlyTheCopies) {
    Problem p = gaussian_problem(1024, 19.7);
    const std::vector<double> want = run_path(p, 20, best_isa());
    const ResponseRows rows{view(p.offsets), view(p.indices), view(p.values)};
    const MlemPlan plan(view(p.y), rows, view(p.sensitivity), true, 20);
    std::fill(p.offsets.begin(), p.offsets.end(), std::int64_t{1} << 60);
    std::fill(p.indices.begin(), p.indices.end(), -2147483647 - 1);
    std::fill(p.values.begin(), p.values.end(), kNaN);
    std::fill(p.y.begin(), p.y.end(), kNaN);
    std::vector<double> x(1024, 1.0);
    iterate(plan, Strided<double>(x.data(), 1024), 20);
    EXPECT_TRUE(same_bits(want, x));
}

// ------------------------------------------------------------------------------------------------
// Rows whose bins ascend with gaps run as runs, with zero weights in the gaps.

namespace {

// Gaussian rows of the NaI workload with a gap cut into every `every`-th row (a few bins taken out
// of its middle), as resampled response files give them.
Problem gapped_problem(int every, int gap) {
    Problem g = gaussian_problem(1024, 19.7);
    Problem p = g;
    p.offsets.assign(1, 0);
    p.indices.clear();
    p.values.clear();
    for (std::size_t j = 0; j + 1 < g.offsets.size(); ++j) {
        const std::int64_t s = g.offsets[j], e = g.offsets[j + 1];
        const std::int64_t mid = (s + e) / 2;
        for (std::int64_t k = s; k < e; ++k) {
            if (j % every == 0 && k >= mid && k < mid + gap && k > s && k + 1 < e) continue;
            p.indices.push_back(g.indices[k]);
            p.values.push_back(g.values[k]);
        }
        p.offsets.push_back(std::int64_t(p.indices.size()));
    }
    return p;
}

std::vector<Isa> every_path() {
    std::vector<Isa> paths{Isa::Baseline};
    for (Isa isa : vector_paths()) paths.push_back(isa);
    return paths;
}

}  // namespace

TEST(GappedRows, FilledAndBitIdenticalToPlainOrder) {
    for (int every : {1, 50}) {
        const Problem p = gapped_problem(every, 3);
        const ResponseRows rows{view(p.offsets), view(p.indices), view(p.values)};
        ASSERT_FALSE(validate_rows(std::ptrdiff_t(p.y.size()), rows, view(p.sensitivity), true).runs);
        for (int iterations : {1, 10, 40}) {
            const std::vector<double> want = run_reference(p, iterations);
            for (Isa isa : every_path()) {
                const MlemPlan plan(view(p.y), rows, view(p.sensitivity), true, iterations, isa, 0);
                EXPECT_TRUE(plan.rows.filled && plan.rows.layout.runs);
                EXPECT_TRUE(same_bits(want, run_path(p, iterations, isa)))
                    << "every " << every << ", " << iterations << " iterations, path " << int(isa);
            }
        }
    }
}

// Random rows with ascending bins and gaps, strided caller arrays, odd sensitivities.
TEST(GappedRows, RandomAscendingRowsBitIdentical) {
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> coin(0, 5), step(1, 3);
    int filled = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const int n = 20 + trial * 5;
        Problem p;
        p.offsets.push_back(0);
        for (int j = 0; j < n; ++j) {
            int b = std::max(0, j - 4 + coin(rng) - 2);
            for (int e = 0; e < 10 && b < n; ++e, b += coin(rng) == 0 ? step(rng) : 1) {
                p.indices.push_back(b);
                p.values.push_back(unit(rng));
            }
            p.offsets.push_back(std::int64_t(p.indices.size()));
        }
        p.y.resize(n);
        for (double& v : p.y) v = coin(rng) == 0 ? 0.0 : 300.0 * unit(rng);
        p.sensitivity.resize(n);
        for (double& s : p.sensitivity) s = coin(rng) == 0 ? kNaN : 0.1 + unit(rng);
        const ResponseRows rows{view(p.offsets), view(p.indices), view(p.values)};
        filled += MlemPlan(view(p.y), rows, view(p.sensitivity), true, 3).rows.filled;
        for (int iterations : {1, 3, 12}) {
            const auto [want, got] = run_both(p, iterations, 3);
            ASSERT_TRUE(same_bits(want, got)) << "trial " << trial;
            for (Isa isa : every_path()) ASSERT_TRUE(same_bits(want, run_path(p, iterations, isa))) << "trial " << trial;
        }
    }
    EXPECT_GT(filled, 30);
}

// Infinities and NaN in the spectrum reach the zero cells (0 * inf): the result must still be the
// plain order's, bit for bit apart from NaN's sign.
TEST(GappedRows, NonFiniteSpectraFallBackToThePlainOrder) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double odd : {inf, kNaN, 1e308}) {
        Problem p = gapped_problem(1, 2);
        for (std::size_t i = 5; i < p.y.size(); i += 97) p.y[i] = odd;
        for (int iterations : {1, 6}) {
            const std::vector<double> want = run_reference(p, iterations);
            for (Isa isa : every_path()) {
                const std::vector<double> got = run_path(p, iterations, isa);
                for (std::size_t i = 0; i < want.size(); ++i) {
                    if (std::isnan(want[i])) {
                        ASSERT_TRUE(std::isnan(got[i])) << "bin " << i;
                    } else {
                        ASSERT_EQ(std::memcmp(&want[i], &got[i], sizeof(double)), 0)
                            << "bin " << i << ": " << want[i] << " vs " << got[i];
                    }
                }
            }
        }
    }
}

// Rows whose bins do not ascend, or whose gaps outweigh their entries, keep their own form.
TEST(GappedRows, DescendingOrSparseRowsAreNotFilled) {
    Problem p = gapped_problem(1, 3);
    std::swap(p.indices[p.offsets[100]], p.indices[p.offsets[100] + 1]);
    const ResponseRows rows{view(p.offsets), view(p.indices), view(p.values)};
    EXPECT_FALSE(MlemPlan(view(p.y), rows, view(p.sensitivity), true, 10).rows.filled);
    EXPECT_TRUE(same_bits(run_reference(p, 5), run_path(p, 5, best_isa())));

    Problem wide;
    wide.offsets = {0, 2, 4};
    wide.indices = {0, 50, 1, 60};
    wide.values = {0.5, 0.5, 0.5, 0.5};
    wide.y.assign(64, 2.0);
    wide.sensitivity.assign(64, 1.0);
    for (int j = 2; j < 64; ++j) wide.offsets.push_back(4);
    const ResponseRows wrows{view(wide.offsets), view(wide.indices), view(wide.values)};
    EXPECT_FALSE(MlemPlan(view(wide.y), wrows, view(wide.sensitivity), true, 10).rows.filled);
    EXPECT_TRUE(same_bits(run_reference(wide, 5), run_path(wide, 5, best_isa())));
}
