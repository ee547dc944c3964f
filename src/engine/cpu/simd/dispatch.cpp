// Picks the loop table for this CPU once and forwards every call to it.
#include <atomic>
#include <type_traits>

#include "engine/cpu/simd/cpu_features.hpp"
#include "engine/cpu/simd/loops.hpp"

namespace vorka::simd {
namespace {

using detail::LoopTable;

bool cpu_has(Isa isa) {
    const CpuFeatures& f = cpu_features();
    switch (isa) {
        case Isa::Generic: return true;
        case Isa::Avx2: return f.avx2_level();
        case Isa::Avx512: return f.avx512_level();
    }
    return false;
}

const LoopTable* table_for(Isa isa) {
    switch (isa) {
        case Isa::Generic: return detail::table_generic();
        case Isa::Avx2: return detail::table_avx2();
        case Isa::Avx512: return detail::table_avx512();
    }
    return nullptr;
}

// Best supported ISA not above `limit`.
Isa best_isa(Isa limit) {
    for (Isa isa : {Isa::Avx512, Isa::Avx2}) {
        if (isa <= limit && isa_supported(isa)) return isa;
    }
    return Isa::Generic;
}

// The table is immutable; only the pointer to it changes.
std::atomic<const LoopTable*> g_table{nullptr};

[[gnu::noinline]] const LoopTable* init_table() {
    const LoopTable* best = table_for(best_isa(Isa::Avx512));
    const LoopTable* expected = nullptr;
    // A concurrent force_isa wins.
    if (!g_table.compare_exchange_strong(expected, best, std::memory_order_acq_rel)) return expected;
    return best;
}

inline const LoopTable& table() {
    const LoopTable* t = g_table.load(std::memory_order_acquire);
    if (t == nullptr) [[unlikely]] t = init_table();
    return *t;
}

template <class T>
const detail::FloatLoops<T>& loops_of(const LoopTable& t) {
    return std::get<detail::FloatLoops<T>>(t.floats);
}

}  // namespace

bool isa_supported(Isa isa) { return cpu_has(isa) && table_for(isa) != nullptr; }

Isa active_isa() {
    const LoopTable* t = &table();
    for (Isa isa : {Isa::Avx512, Isa::Avx2}) {
        if (t == table_for(isa)) return isa;
    }
    return Isa::Generic;
}

void force_isa(Isa isa) { g_table.store(table_for(best_isa(isa)), std::memory_order_release); }

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

}  // namespace vorka::simd
