#pragma once

// Hot element loops are built twice where the compiler can: for the
// processors of the last decade (AVX2 and FMA), picked at run time, and for
// the baseline every x86-64 build must run on.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SCRIVEL_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define SCRIVEL_VECTOR_CLONES
#endif
