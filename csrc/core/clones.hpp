// Hot loops are built twice, for AVX2 and for the baseline ISA, and the
// loader picks one per machine. No FMA is enabled, so both builds give the
// same bits.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define ZELK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZELK_VECTOR_CLONES
#endif

// For the helpers of a cloned function: inlined into each clone, they are
// compiled for its instruction set too, where an out-of-line copy would be
// built for the baseline only.
#if defined(__GNUC__)
#define ZELK_CLONE_INLINE inline __attribute__((always_inline))
#else
#define ZELK_CLONE_INLINE inline
#endif
