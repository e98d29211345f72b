// Which vector instructions the kernels may use. x86-64 always has SSE2; AVX2 is chosen at run
// time, per processor, for the functions compiled for it (target attributes), so one build runs
// everywhere. Other processors take the plain C++ paths.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MOVRA_X86_SIMD 1
#include <immintrin.h>
#endif

#include <vector>

namespace movra::core {

// The code paths a kernel with vector variants can take here, best last: "scalar" always,
// "sse2" and "avx2" where the processor has them.
std::vector<const char*> simd_paths();

// The best of simd_paths().
const char* best_simd_path();

}  // namespace movra::core
