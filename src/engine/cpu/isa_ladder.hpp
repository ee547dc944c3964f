// The instruction-set ladder, written once. VORKA_ISA_LADDER has a row per
// set, lowest first, each containing the one before: its simd::Isa enumerator
// and its name (what _force_isa takes, and the suffix of the files compiled
// for it: *_<name>.cpp). VORKA_ISA_FEATURES_<name> lists the CPU features the
// set needs, each as GCC's name (-m<name>, __builtin_cpu_supports("<name>"))
// and the macro GCC then defines, starting from the list of the set below.
// (The bfloat16 product kernel also needs AVX512-BF16: a run-time check of its
// own in instruction_sets.cpp.)
//
// CMakeLists.txt reads these #defines too, so keep their form: it compiles
// every *_<name>.cpp with -m<feature> for each feature of the set and names
// the set in VORKA_ISA_UNIT, which isa_unit.hpp checks. The enumerators, the
// CPU checks of the instruction-set table and the tests' loops over the sets
// follow from the same lines.
#pragma once

#define VORKA_ISA_LADDER(X) X(Generic, generic) X(Avx2, avx2) X(Avx512, avx512)

#define VORKA_ISA_FEATURES_generic(F)
#define VORKA_ISA_FEATURES_avx2(F) F(avx2, __AVX2__) F(fma, __FMA__) F(f16c, __F16C__) F(bmi2, __BMI2__)
#define VORKA_ISA_FEATURES_avx512(F)                                             \
    VORKA_ISA_FEATURES_avx2(F) F(avx512f, __AVX512F__) F(avx512bw, __AVX512BW__) \
        F(avx512vl, __AVX512VL__) F(avx512dq, __AVX512DQ__)

// 1 when this compilation targets every feature of `set` (a name above, or a
// macro naming one), for #if: a feature macro the compiler did not define
// counts as 0 there.
#define VORKA_ISA_TARGETED(set) (1 VORKA_ISA_FEATURES_OF_(set)(VORKA_ISA_AND_MACRO_))
#define VORKA_ISA_FEATURES_OF_(set) VORKA_ISA_CAT_(VORKA_ISA_FEATURES_, set)
#define VORKA_ISA_CAT_(a, b) a##b
#define VORKA_ISA_AND_MACRO_(name, macro) &&macro
