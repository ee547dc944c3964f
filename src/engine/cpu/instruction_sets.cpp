// The instruction sets vorka has code for, in one table: a row per set of the
// ladder (engine/cpu/isa_ladder.hpp, which also gives the CPU features each
// one needs), with its element-wise loops (simd/) and its product kernels
// (numeric/). The best row this CPU runs is chosen once per process, on first
// use; tests may pin a lower one (simd::force_isa), which moves the loops and
// the products together, so a forced run covers every path of an older CPU.
//
// This file joins the two layers and so sits above both: it includes simd/ and
// numeric/, nothing includes it, and the entry points it defines are declared
// in their headers (simd/loops.hpp, numeric/gemm.hpp, numeric/gemm_kernels.hpp).
#include <array>
#include <atomic>
#include <iterator>
#include <string_view>
#include <type_traits>

#include "engine/cpu/numeric/gemm.hpp"
#include "engine/cpu/numeric/gemm_kernels.hpp"
#include "engine/cpu/simd/loops.hpp"

namespace vorka {
namespace {

using simd::Isa;
using simd::detail::LoopTable;

// Whether this CPU has every feature of a set of the ladder, from its CPUID
// feature bits and the OS's saved-state mask (which __builtin_cpu_supports
// consults), never from a model name.
#if defined(__x86_64__) || defined(__i386__)
#define VORKA_CPU_HAS(name, macro) &&__builtin_cpu_supports(#name)
void cpu_init() { __builtin_cpu_init(); }
#else
#define VORKA_CPU_HAS(name, macro) &&false
void cpu_init() {}
#endif
#define VORKA_CPU_RUNS(Enum, name) [] { return true VORKA_ISA_FEATURES_##name(VORKA_CPU_HAS); },
constexpr bool (*kCpuRuns[])() = {VORKA_ISA_LADDER(VORKA_CPU_RUNS)};
#undef VORKA_CPU_RUNS
// The bfloat16 product kernel (IsaKernels::bf16) needs this beyond its row's set.
bool cpu_has_bf16_products() { return true VORKA_CPU_HAS(avx512bf16, __AVX512BF16__); }
#undef VORKA_CPU_HAS

#define VORKA_ISA_NAME(Enum, name) #name,
constexpr std::string_view kNames[] = {VORKA_ISA_LADDER(VORKA_ISA_NAME)};
#undef VORKA_ISA_NAME

struct InstructionSet {
    Isa isa;
    const LoopTable* (*loops)();
    gemm::detail::IsaKernels products;
};

namespace g = gemm::detail;
constexpr InstructionSet row(Isa isa, const LoopTable* (*loops)(), g::SmallKernel small, g::SmallKernel packed,
                             g::HalfKernel f16, bool bf16) {
    return {isa, loops, {kNames[static_cast<size_t>(isa)], small, packed, f16, bf16}};
}
// A row per set of the ladder, in its order: the kernels compiled for it.
constexpr InstructionSet kSets[] = {
    row(Isa::Generic, simd::detail::table_generic, g::small_generic, g::packed_portable, g::packed_portable_f16, false),
    row(Isa::Avx2, simd::detail::table_avx2, g::small_avx2, g::packed_avx2, g::packed_avx2_f16, false),
    row(Isa::Avx512, simd::detail::table_avx512, g::small_avx512, g::packed_avx512, g::packed_avx512_f16, true),
};
constexpr bool in_isa_order() {
    for (size_t i = 0; i < std::size(kSets); ++i)
        if (static_cast<size_t>(kSets[i].isa) != i) return false;
    return std::size(kSets) == simd::kIsaCount;
}
static_assert(in_isa_order());

// A row as this process runs it, its loop table and the CPU's features looked
// up once.
struct Chosen {
    const InstructionSet* set;
    const LoopTable* loops;
    bool runs;  // the CPU has the row's features
    bool bf16;  // and those of the bfloat16 product kernel, which the row may run
};
const Chosen& chosen(Isa isa) {
    static const auto all = [] {
        cpu_init();
        std::array<Chosen, std::size(kSets)> c{};
        for (size_t i = 0; i < c.size(); ++i) {
            const bool runs = kCpuRuns[i]();
            c[i] = {&kSets[i], kSets[i].loops(), runs, runs && kSets[i].products.bf16 && cpu_has_bf16_products()};
        }
        return c;
    }();
    return all[static_cast<size_t>(isa)];
}

// Best supported set not above `limit`.
Isa best_isa(Isa limit) {
    for (size_t i = static_cast<size_t>(limit); i > 0; --i)
        if (simd::isa_supported(kSets[i].isa)) return kSets[i].isa;
    return Isa::Generic;
}

// Rows are immutable; only the pointer to the one in use changes.
std::atomic<const Chosen*> g_active{nullptr};

[[gnu::noinline]] const Chosen* choose() {
    const Chosen* best = &chosen(best_isa(kSets[std::size(kSets) - 1].isa));
    const Chosen* expected = nullptr;
    // A concurrent force_isa wins.
    if (!g_active.compare_exchange_strong(expected, best, std::memory_order_acq_rel)) return expected;
    return best;
}

inline const Chosen& active() {
    const Chosen* c = g_active.load(std::memory_order_acquire);
    if (c == nullptr) [[unlikely]] c = choose();
    return *c;
}

inline const LoopTable& table() { return *active().loops; }

template <class T>
const simd::detail::FloatLoops<T>& loops_of(const LoopTable& t) {
    return std::get<simd::detail::FloatLoops<T>>(t.floats);
}

}  // namespace

namespace simd {

bool isa_supported(Isa isa) { return chosen(isa).runs; }

Isa active_isa() { return active().set->isa; }

void force_isa(Isa isa) { g_active.store(&chosen(best_isa(isa)), std::memory_order_release); }

std::string_view isa_name(Isa isa) { return kNames[static_cast<size_t>(isa)]; }

std::optional<Isa> isa_named(std::string_view name) {
    for (size_t i = 0; i < std::size(kNames); ++i)
        if (kNames[i] == name) return static_cast<Isa>(i);
    return std::nullopt;
}

template <class T>
void binary(BinaryOp op, const T* a, ptrdiff_t sa, const T* b, ptrdiff_t sb, T* out, size_t n) {
    loops_of<T>(table()).binary(op, a, sa, b, sb, out, n);
}

template <class T>
void compare(CompareOp op, const T* a, ptrdiff_t sa, const T* b, ptrdiff_t sb, bool* out, size_t n) {
    if constexpr (!is_float_element<T>) table().compare_bool(op, a, sa, b, sb, out, n);
    else loops_of<T>(table()).compare(op, a, sa, b, sb, out, n);
}

template <class T>
void scalar(ScalarOp op, const T* x, ptrdiff_t sx, float s, T* out, size_t n) {
    loops_of<T>(table()).scalar(op, x, sx, s, out, n);
}

template <class T>
void scalar_compare(CompareOp op, const T* x, ptrdiff_t sx, float s, bool* out, size_t n) {
    loops_of<T>(table()).scalar_compare(op, x, sx, s, out, n);
}

template <class T>
void relu(const T* x, ptrdiff_t sx, T* out, size_t n) {
    loops_of<T>(table()).relu(x, sx, out, n);
}

template <class T>
void relu_backward(const T* g, ptrdiff_t sg, const T* x, ptrdiff_t sx, T* out, size_t n) {
    loops_of<T>(table()).relu_backward(g, sg, x, sx, out, n);
}

template <class T>
float sum(const T* x, ptrdiff_t sx, size_t n) {
    return loops_of<T>(table()).sum(x, sx, n);
}

template <class T>
void sum_rows(const T* x, ptrdiff_t sr, ptrdiff_t sc, size_t rows, size_t cols, float* out, ptrdiff_t so) {
    loops_of<T>(table()).sum_rows(x, sr, sc, rows, cols, out, so);
}

void logical(LogicalOp op, const bool* a, ptrdiff_t sa, const bool* b, ptrdiff_t sb, bool* out, size_t n) {
    table().logical(op, a, sa, b, sb, out, n);
}

void logical_not(const bool* x, ptrdiff_t sx, bool* out, size_t n) { table().logical_not(x, sx, out, n); }

template <class T>
void widen(const T* src, float* dst, size_t n) {
    loops_of<T>(table()).widen(src, dst, n);
}

template <class T>
void narrow(const float* src, T* dst, size_t n) {
    loops_of<T>(table()).narrow(src, dst, n);
}

#define VORKA_INSTANTIATE_FLOAT_LOOPS(T)                                                              \
    template void binary<T>(BinaryOp, const T*, ptrdiff_t, const T*, ptrdiff_t, T*, size_t);          \
    template void compare<T>(CompareOp, const T*, ptrdiff_t, const T*, ptrdiff_t, bool*, size_t);     \
    template void scalar<T>(ScalarOp, const T*, ptrdiff_t, float, T*, size_t);                        \
    template void scalar_compare<T>(CompareOp, const T*, ptrdiff_t, float, bool*, size_t);            \
    template void relu<T>(const T*, ptrdiff_t, T*, size_t);                                           \
    template void relu_backward<T>(const T*, ptrdiff_t, const T*, ptrdiff_t, T*, size_t);            \
    template float sum<T>(const T*, ptrdiff_t, size_t);                                               \
    template void sum_rows<T>(const T*, ptrdiff_t, ptrdiff_t, size_t, size_t, float*, ptrdiff_t);    \
    template void widen<T>(const T*, float*, size_t);                                                 \
    template void narrow<T>(const float*, T*, size_t);

VORKA_FLOAT_TYPES(VORKA_INSTANTIATE_FLOAT_LOOPS)
template void compare<bool>(CompareOp, const bool*, ptrdiff_t, const bool*, ptrdiff_t, bool*, size_t);

#undef VORKA_INSTANTIATE_FLOAT_LOOPS

}  // namespace simd

namespace gemm {

const detail::IsaKernels& detail::isa_kernels() { return active().set->products; }

std::vector<detail::IsaKernels> detail::available_isa_kernels() {
    std::vector<IsaKernels> rows;
    for (const InstructionSet& s : kSets) {
        if (!simd::isa_supported(s.isa)) break;
        rows.push_back(s.products);
    }
    return rows;
}

bool bf16_products_supported() { return active().bf16; }

}  // namespace gemm
}  // namespace vorka
