// Sparse response rows collected in C++: offsets[rows + 1], indices[nnz], values[nnz]. No Python here.
#pragma once

#include <cstdint>
#include <vector>

namespace quodex {

struct SparseRows {
    std::vector<std::int64_t> offsets{0};
    std::vector<std::int32_t> indices;
    std::vector<double> values;
};

}  // namespace quodex
