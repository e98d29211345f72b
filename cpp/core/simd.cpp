#include "core/simd.hpp"

#include <cstring>

namespace movra::core {

namespace {

SimdLevel detect() {
#ifdef MOVRA_X86_SIMD
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512vl");
    return avx512 ? SimdLevel::kAvx512 : avx2 ? SimdLevel::kAvx2 : SimdLevel::kSse2;
#else
    return SimdLevel::kScalar;
#endif
}

// The processor's best level, found once (it cannot change while the process runs).
SimdLevel best_level() {
    static const SimdLevel level = detect();
    return level;
}

constexpr const char* kNames[] = {"scalar", "sse2", "avx2", "avx512"};

}  // namespace

std::vector<const char*> simd_paths() {
    std::vector<const char*> paths;
    for (int l = 0; l <= static_cast<int>(best_level()); ++l) paths.push_back(kNames[l]);
    return paths;
}

const char* best_simd_path() { return kNames[static_cast<int>(best_level())]; }

SimdLevel simd_level(const char* path) {
    if (path == nullptr) return best_level();
    for (int l = 0; l <= static_cast<int>(best_level()); ++l)
        if (std::strcmp(path, kNames[l]) == 0) return static_cast<SimdLevel>(l);
    return SimdLevel::kScalar;
}

}  // namespace movra::core
