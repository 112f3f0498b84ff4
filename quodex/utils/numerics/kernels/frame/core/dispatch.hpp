// The instruction sets the kernels are compiled for, chosen at run time, and the one way to compile a
// kernel once per set and call the right copy. No Python here.
#pragma once

namespace quodex {

// Code paths of the kernels. Baseline is the build's default instruction set (SSE2 on x86-64).
enum class Isa { Baseline, Avx2, Avx512 };

#if defined(__x86_64__) && defined(__GNUC__)
#define QUODEX_SIMD_DISPATCH 1
#define QUODEX_TARGET_AVX2 __attribute__((target("avx2")))
#define QUODEX_TARGET_AVX512 __attribute__((target("avx512f")))
#endif

inline bool isa_supported(Isa isa) noexcept {
#if defined(QUODEX_SIMD_DISPATCH)
    __builtin_cpu_init();  // idempotent; safe however early the first call comes
#endif
    switch (isa) {
        case Isa::Baseline: return true;
#if defined(QUODEX_SIMD_DISPATCH)
        case Isa::Avx2: return __builtin_cpu_supports("avx2");
        case Isa::Avx512: return __builtin_cpu_supports("avx512f");
#else
        default: return false;
#endif
    }
    return false;
}

// The path the kernels take by default: the widest one the CPU runs.
inline Isa best_isa() noexcept {
    static const Isa best = isa_supported(Isa::Avx512) ? Isa::Avx512
                            : isa_supported(Isa::Avx2) ? Isa::Avx2
                                                       : Isa::Baseline;
    return best;
}

// The path as a type, for bodies whose code differs per set (vector widths).
template <Isa I>
struct IsaTag {
    static constexpr Isa value = I;
};

// Marks the body lambda handed to dispatch: it must be inlined into each clone, so that its code, and
// everything it inlines in turn, is generated for that clone's instruction set.
#define QUODEX_ISA_BODY __attribute__((always_inline))

namespace isa_clones {

template <class F>
inline decltype(auto) isa_clone_baseline(F& body) {
    return body(IsaTag<Isa::Baseline>{});
}
#if defined(QUODEX_SIMD_DISPATCH)
template <class F>
QUODEX_TARGET_AVX2 inline decltype(auto) isa_clone_avx2(F& body) {
    return body(IsaTag<Isa::Avx2>{});
}
template <class F>
QUODEX_TARGET_AVX512 inline decltype(auto) isa_clone_avx512(F& body) {
    return body(IsaTag<Isa::Avx512>{});
}
#endif

}  // namespace isa_clones

// Runs body(IsaTag<I>{}) compiled for the path `isa`, which the CPU must support:
//     dispatch(isa, [&](auto) QUODEX_ISA_BODY { kernel(args...); });
// AVX2 and AVX-512 bring fused multiply-add, which -ffp-contract=off keeps out of separate products
// and sums, so every clone gives the bits of the baseline where the body's operation order is fixed.
template <class F>
decltype(auto) dispatch(Isa isa, F&& body) {
    switch (isa) {
#if defined(QUODEX_SIMD_DISPATCH)
        case Isa::Avx512: return isa_clones::isa_clone_avx512(body);
        case Isa::Avx2: return isa_clones::isa_clone_avx2(body);
#endif
        default: return isa_clones::isa_clone_baseline(body);
    }
}

}  // namespace quodex
