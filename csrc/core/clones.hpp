// Hot loops are built twice, for AVX2 and for the baseline ISA, and the
// loader picks one per machine. No FMA is enabled, so both builds give the
// same bits.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define ZELK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZELK_VECTOR_CLONES
#endif
