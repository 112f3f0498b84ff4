#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "deconvolution/combine.hpp"

using namespace quodex;
using namespace quodex::deconvolution;

namespace {

template <class T>
Strided<const T> view(const std::vector<T>& v) {
    return Strided<const T>(v.data(), std::ptrdiff_t(v.size()));
}

struct Rows {
    std::vector<std::int64_t> offsets;
    std::vector<std::int32_t> indices;
    std::vector<double> values;
    ResponseRows get() const { return {view(offsets), view(indices), view(values)}; }
};

}  // namespace

// Columns in one row or both, a zero scale (whose row's NaN then counts for nothing), products that are
// zero and sums that cancel.
TEST(CombineRows, HandWorkedRows) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Rows a{{0, 3, 4, 6}, {0, 2, 5, 1, 4, 6}, {1.0, 2.0, 3.0, nan, 4.0, 0.0}};
    const Rows b{{0, 2, 3, 5}, {2, 3, 1, 0, 7}, {-4.0, 1.0, 5.0, 1.0, 2.0}};
    const std::vector<double> sa{2.0, 0.0, 1.0}, sb{1.0, 3.0, 0.5};
    SparseRows out;
    ASSERT_EQ(combine_rows(a.get(), view(sa), b.get(), view(sb), out), CombineStatus::Ok);
    EXPECT_EQ(out.offsets, (std::vector<std::int64_t>{0, 3, 4, 7}));
    EXPECT_EQ(out.indices, (std::vector<std::int32_t>{0, 3, 5, 1, 0, 4, 7}));
    EXPECT_EQ(out.values, (std::vector<double>{2.0, 1.0, 6.0, 15.0, 0.5, 4.0, 1.0}));
}

TEST(CombineRows, RowsThatDoNotAscendAreRefused) {
    const Rows a{{0, 2}, {3, 3}, {1.0, 1.0}};
    const Rows b{{0, 0}, {}, {}};
    const std::vector<double> s{1.0};
    SparseRows out;
    EXPECT_EQ(combine_rows(a.get(), view(s), b.get(), view(s), out), CombineStatus::NotAscending);
    const Rows beyond{{0, 3}, {0, 1}, {1.0, 1.0}};
    EXPECT_THROW(combine_rows(beyond.get(), view(s), b.get(), view(s), out), OutOfBounds);
}

// Sums in entry order from +0.0: reordering them would change these bits.
TEST(RowSums, FoldAndSumsInEntryOrder) {
    const Rows r{{0, 3, 4, 4}, {0, 1, 0, 0}, {1e16, 1.0, -1e16, 1.0}};
    std::vector<double> sums(3), folded(3);
    row_sums(r.get(), Strided<double>(sums.data(), 3));
    EXPECT_EQ(sums, (std::vector<double>{(1e16 + 1.0) + -1e16, 1.0, 0.0}));
    const std::vector<double> x{1.0, 2.0, 3.0};
    fold_rows(view(x), r.get(), Strided<double>(folded.data(), 3));
    EXPECT_EQ(folded, (std::vector<double>{(1e16 + -1e16) + 2.0, 1.0, 0.0}));
    const Rows bad{{0, 1, 1, 1}, {3}, {1.0}};
    EXPECT_THROW(fold_rows(view(x), bad.get(), Strided<double>(folded.data(), 3)), OutOfBounds);
}
