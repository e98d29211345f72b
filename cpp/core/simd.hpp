// Which vector instructions the kernels may use. x86-64 always has SSE2; AVX2 and AVX-512 are
// chosen at run time, per processor, for the functions compiled for them (target attributes),
// so one build runs everywhere. Other processors take the plain C++ paths.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MOVRA_X86_SIMD 1
#include <immintrin.h>
#endif

#include <vector>

namespace movra::core {

// The code paths a kernel with vector variants can take here, best last: "scalar" always,
// "sse2", "avx2" and "avx512" where the processor has them.
std::vector<const char*> simd_paths();

// The best of simd_paths().
const char* best_simd_path();

// A path as a level the kernels compare against.
enum class SimdLevel { kScalar = 0, kSse2 = 1, kAvx2 = 2, kAvx512 = 3 };

// The level of a path name from simd_paths(); the best for null, scalar for any other name.
SimdLevel simd_level(const char* path);

// The target attributes of the vector variants. The AVX-512 level asks for the subsets every
// server and desktop processor with AVX-512 has had since Skylake (2017).
#define MOVRA_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#define MOVRA_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,popcnt")))

#ifdef MOVRA_X86_SIMD
// All eight lanes: GCC's unmasked AVX-512 intrinsics start from an undefined register, which
// -Wmaybe-uninitialized reports; their masked forms with every lane selected are the same
// instructions.
constexpr __mmask8 kAllLanes = 0xFF;
#endif

}  // namespace movra::core
