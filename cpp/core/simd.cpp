#include "core/simd.hpp"

namespace movra::core {

std::vector<const char*> simd_paths() {
    std::vector<const char*> paths{"scalar"};
#ifdef MOVRA_X86_SIMD
    paths.push_back("sse2");
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    if (avx2) paths.push_back("avx2");
#endif
    return paths;
}

const char* best_simd_path() {
    static const char* best = simd_paths().back();
    return best;
}

}  // namespace movra::core
