#include "engine/cpu/simd/cpu_features.hpp"

namespace vorka::simd {

const CpuFeatures& cpu_features() {
    static const CpuFeatures f = [] {
        CpuFeatures c;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_cpu_init();
        c.avx2 = __builtin_cpu_supports("avx2");
        c.fma = __builtin_cpu_supports("fma");
        c.f16c = __builtin_cpu_supports("f16c");
        c.bmi2 = __builtin_cpu_supports("bmi2");
        c.avx512f = __builtin_cpu_supports("avx512f");
        c.avx512bw = __builtin_cpu_supports("avx512bw");
        c.avx512vl = __builtin_cpu_supports("avx512vl");
        c.avx512dq = __builtin_cpu_supports("avx512dq");
        c.avx512bf16 = __builtin_cpu_supports("avx512bf16");
#endif
        return c;
    }();
    return f;
}

}  // namespace vorka::simd
