// The steps of the matrix resampling through their hooks: which failure each bracketing test reports,
// when NumPy is asked for a sum, and that no hook runs inside the scope that stands for the released GIL.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarvel/matrix.hpp"

using namespace quodex;
using namespace quodex::tarvel;

namespace {


View view(const std::vector<double>& v) { return View(v.data(), std::ptrdiff_t(v.size())); }

struct Failure {
    std::string kind;
    std::ptrdiff_t at;
    double value;
};

struct ThrowingFail {
    [[noreturn]] void no_pair(std::ptrdiff_t i, double E, std::ptrdiff_t) const { throw Failure{"no_pair", i, E}; }
    [[noreturn]] void outside(std::ptrdiff_t i, double E, double, double) const { throw Failure{"outside", i, E}; }
    [[noreturn]] void row_missing(std::ptrdiff_t k, std::ptrdiff_t) const { throw Failure{"row_missing", k, 0.0}; }
};

Failure bracket_failure(const std::vector<double>& requested, const std::vector<double>& ref, std::ptrdiff_t rows) {
    NormalisedRows marks(rows, 4);
    try {
        bracket_requests(view(requested), view(ref), rows, marks, ThrowingFail{});
    } catch (const Failure& f) {
        return f;
    }
    return Failure{"none", -1, 0.0};
}

// Stands for the GIL release: records whether a hook ran inside it.
struct Unlocked {
    static inline int depth = 0, entered = 0;
    Unlocked() { ++depth, ++entered; }
    ~Unlocked() { --depth; }
};

}  // namespace

TEST(TarvelMatrix, BracketingReportsTheFirstFailingRequest) {
    const std::vector<double> ref{100.0, 400.0, 800.0};
    EXPECT_EQ(bracket_failure({200.0}, {100.0}, 3).kind, "no_pair");
    for (double E : {100.0, 99.0, 800.5, kNaN}) {
        const Failure f = bracket_failure({200.0, E}, ref, 3);
        EXPECT_EQ(f.kind, "outside") << E;
        EXPECT_EQ(f.at, 1);
    }
    const Failure missing = bracket_failure({200.0, 800.0}, ref, 2);
    EXPECT_EQ(missing.kind, "row_missing");
    EXPECT_EQ(missing.at, 2);
    EXPECT_EQ(bracket_failure({800.0, 100.5}, ref, 3).kind, "none");
}

TEST(TarvelMatrix, BracketingGivesTheHighRowAndMarksBothRows) {
    const std::vector<double> ref{100.0, 400.0, 800.0, 1500.0}, requested{400.0, 401.0, 1500.0};
    NormalisedRows marks(5, 4);
    const auto high = bracket_requests(view(requested), view(ref), 5, marks, ThrowingFail{});
    EXPECT_EQ(high, (std::vector<std::ptrdiff_t>{1, 2, 3}));
    for (std::ptrdiff_t r = 0; r < 5; ++r) EXPECT_EQ(marks.wanted(r), r <= 3) << r;
}

TEST(TarvelMatrix, NumPyIsAskedOnlyForWantedRowsLongerThanItsBuffer) {
    std::vector<double> m{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const Strided2D<const double> matrix{reinterpret_cast<const char*>(m.data()), 3, 5, 5 * sizeof(double),
                                         sizeof(double)};
    for (std::ptrdiff_t bufsize : {4, 5}) {
        NormalisedRows rows(3, 4);
        rows.want(0);
        rows.want(2);
        std::vector<std::ptrdiff_t> asked;
        normalise(rows, matrix, bufsize, [&](std::ptrdiff_t r) {
            asked.push_back(r);
            return 100.0;
        });
        const double total0 = bufsize < 5 ? 100.0 : 15.0, total2 = bufsize < 5 ? 100.0 : 65.0;
        EXPECT_EQ(asked, bufsize < 5 ? (std::vector<std::ptrdiff_t>{0, 2}) : std::vector<std::ptrdiff_t>{});
        EXPECT_EQ(rows[0][3], 4.0 / total0);
        EXPECT_EQ(rows[2][0], 11.0 / total2);
    }
}

// Rows longer than the buffer go through the long-sum hook; with a hook that sums as the kernel does,
// both paths give the same rows, and no hook runs while the GIL would be released.
TEST(TarvelMatrix, LongRowsThroughTheHookMatchRowsSummedHere) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::vector<double> ref{100.0, 400.0, 800.0, 1500.0, 2500.0};
    std::vector<double> ref_axis(121), req_axis(97), m(ref.size() * ref_axis.size());
    for (std::size_t j = 0; j < ref_axis.size(); ++j) ref_axis[j] = 25.0 * double(j);
    for (std::size_t j = 0; j < req_axis.size(); ++j) req_axis[j] = 3200.0 / 96.0 * double(j);
    for (double& v : m) v = u(gen);
    std::vector<double> requested{150.0, 399.0, 400.0, 990.0, 2500.0, 1200.0};
    const Strided2D<const double> matrix{reinterpret_cast<const char*>(m.data()), std::ptrdiff_t(ref.size()),
                                         std::ptrdiff_t(ref_axis.size()), std::ptrdiff_t(ref_axis.size() * 8), 8};
    const Isa isa = best_isa();
    auto run = [&](OwnedEntries& mem, std::ptrdiff_t bufsize, std::vector<double> req_ax) {
        NormalisedRows rows(matrix.rows, std::ptrdiff_t(ref_axis.size()));
        const auto high = bracket_requests(view(requested), view(ref), matrix.rows, rows, ThrowingFail{});
        normalise(rows, matrix, std::ptrdiff_t(1) << 20, [](std::ptrdiff_t) { return 0.0; });
        const RunTables tables(view(req_ax), view(ref_axis));
        OutputRows out(mem);
        int long_sums = 0;
        auto sort = [](double* a, int n) {
            EXPECT_EQ(Unlocked::depth, 0);
            python_list_sort(a, n);
        };
        resample<Unlocked>(view(requested), view(ref), high, rows, tables, 3200.0, bufsize, out, sort,
                           [&](const double* row, std::ptrdiff_t n) {
                               EXPECT_EQ(Unlocked::depth, 0);
                               ++long_sums;
                               return nansum_contiguous(row, n, isa);
                           });
        EXPECT_EQ(long_sums, bufsize < std::ptrdiff_t(req_ax.size()) ? int(requested.size()) : 0);
        return out;
    };
    for (bool runs : {true, false}) {
        std::vector<double> req_ax = req_axis;
        if (!runs) req_ax[40] = kNaN;  // declines the run-wise path
        Unlocked::entered = 0;
        OwnedEntries here_mem, hook_mem;
        const OutputRows here = run(here_mem, 1 << 20, req_ax);
        EXPECT_GT(Unlocked::entered, 0);
        const OutputRows hook = run(hook_mem, 8, req_ax);
        ASSERT_EQ(here.offsets, hook.offsets);
        ASSERT_EQ(here.size, hook.size);
        EXPECT_GT(here.size, 0u);
        EXPECT_EQ(std::memcmp(here.indices(), hook.indices(), here.size * sizeof(std::int32_t)), 0);
        EXPECT_EQ(std::memcmp(here.values(), hook.values(), here.size * sizeof(double)), 0);
    }
}
