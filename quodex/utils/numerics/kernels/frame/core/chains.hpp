// Four row sums side by side. No Python here.
#pragma once

#include <cstdint>

namespace quodex {

// t[l] = t[l] + term(l, q) for q = 0, 1, ..., common - 1 and l = 0..3: each row keeps its own sum in
// ascending order, and the four chains of dependent additions overlap instead of waiting on one
// another. `term` is called with constant l, so its lookups by l fold away once inlined.
template <class Term>
[[gnu::always_inline]] inline void four_chain_sums(std::int64_t common, double (&t)[4], Term&& term) noexcept {
    double t0 = t[0], t1 = t[1], t2 = t[2], t3 = t[3];
    for (std::int64_t q = 0; q < common; ++q) {
        t0 = t0 + term(0, q);
        t1 = t1 + term(1, q);
        t2 = t2 + term(2, q);
        t3 = t3 + term(3, q);
    }
    t[0] = t0;
    t[1] = t1;
    t[2] = t2;
    t[3] = t3;
}

}  // namespace quodex
