// Element-wise inner loops over raw pointers: one call handles one run of n
// elements. Inputs have element strides (any value, including 0 and negative);
// the output is unit stride. The output may be the same memory as an input
// (in place) but must not partially overlap one.
//
// float16/bfloat16 arithmetic widens to float32, computes there and narrows
// once. Results are bit-identical on every instruction set, NaNs included: a
// NaN result of Add/Sub/Mul/Div is the first NaN operand (left to right),
// quieted, or the default NaN when no operand was a NaN.
//
// The best implementation for the CPU is chosen on first use, with the matrix
// products' kernels, by the instruction-set table (engine/cpu/instruction_sets.cpp,
// which defines the functions declared here).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>

#include "engine/cpu/isa_ladder.hpp"
#include "tensor/dtype.hpp"
#include "tensor/operations.hpp"

namespace vorka::simd {

// One lane per row of each operation table.
enum class BinaryOp : uint8_t { VORKA_ARITHMETIC_OPS(VORKA_OP_LANE) };
enum class CompareOp : uint8_t { VORKA_COMPARISON_OPS(VORKA_OP_LANE) };
enum class ScalarOp : uint8_t { VORKA_NUMBER_OPS(VORKA_OP_LANE) };
enum class LogicalOp : uint8_t { VORKA_LOGICAL_OPS(VORKA_OP_LANE) };

// out[i] = a[i*sa] op b[i*sb] for i < n. T: float, f16, bf16.
template <class T>
void binary(BinaryOp op, const T* a, ptrdiff_t sa, const T* b, ptrdiff_t sb, T* out, size_t n);

// IEEE comparisons: a NaN makes every predicate false except Ne; -0 == +0.
// T: float, f16, bf16, bool (false < true).
template <class T>
void compare(CompareOp op, const T* a, ptrdiff_t sa, const T* b, ptrdiff_t sb, bool* out, size_t n);

// out[i] = x[i*sx] op s, computed in float32 (RDiv: s / x).
template <class T>
void scalar(ScalarOp op, const T* x, ptrdiff_t sx, float s, T* out, size_t n);

// out[i] = float32(x[i*sx]) op s.
template <class T>
void scalar_compare(CompareOp op, const T* x, ptrdiff_t sx, float s, bool* out, size_t n);

void logical(LogicalOp op, const bool* a, ptrdiff_t sa, const bool* b, ptrdiff_t sb, bool* out, size_t n);
void logical_not(const bool* x, ptrdiff_t sx, bool* out, size_t n);

// max(x, +0) on the bit pattern: negatives, zeros and every NaN (quiet or
// signalling, either sign) give +0.
template <class T>
void relu(const T* x, ptrdiff_t sx, T* out, size_t n);

// out[i] = x > 0 ? g : +0 (a NaN x gives +0); g is passed through bit for bit.
template <class T>
void relu_backward(const T* g, ptrdiff_t sg, const T* x, ptrdiff_t sx, T* out, size_t n);

// Sums for gradients brought back to an operand's shape, in float32 from +0.
// The order of the additions is fixed independently of the vector width, so
// every instruction set gives the same bits (NaN payloads included), and the
// rounding error grows like log n (pairwise), not like n.
//
// sum: the n elements x[i*sx].
template <class T>
float sum(const T* x, ptrdiff_t sx, size_t n);
// Column sums: out[j*so] = sum over i < rows of x[i*sr + j*sc], for j < cols.
template <class T>
void sum_rows(const T* x, ptrdiff_t sr, ptrdiff_t sc, size_t rows, size_t cols, float* out, ptrdiff_t so);

// Bulk format conversions, unit stride.
template <class T>
void widen(const T* src, float* dst, size_t n);
template <class T>
void narrow(const float* src, T* dst, size_t n);

// The instruction sets, each containing the one before: the rows of
// VORKA_ISA_LADDER (engine/cpu/isa_ladder.hpp).
#define VORKA_ISA_ENUMERATOR(Enum, name) Enum,
enum class Isa : uint8_t { VORKA_ISA_LADDER(VORKA_ISA_ENUMERATOR) };
#undef VORKA_ISA_ENUMERATOR
#define VORKA_ISA_COUNT_ONE(Enum, name) +1
inline constexpr size_t kIsaCount = 0 VORKA_ISA_LADDER(VORKA_ISA_COUNT_ONE);
#undef VORKA_ISA_COUNT_ONE

bool isa_supported(Isa isa);
// The implementation in use (the best supported one unless forced).
Isa active_isa();
// Pin an implementation, e.g. to compare all of them in tests. An unsupported
// choice falls back to the best supported one below it.
void force_isa(Isa isa);
// The ladder's name of the set ("generic", "avx2", ...).
std::string_view isa_name(Isa isa);
std::optional<Isa> isa_named(std::string_view name);

namespace detail {

template <class T>
struct FloatLoops {
    void (*binary)(BinaryOp, const T*, ptrdiff_t, const T*, ptrdiff_t, T*, size_t);
    void (*compare)(CompareOp, const T*, ptrdiff_t, const T*, ptrdiff_t, bool*, size_t);
    void (*scalar)(ScalarOp, const T*, ptrdiff_t, float, T*, size_t);
    void (*scalar_compare)(CompareOp, const T*, ptrdiff_t, float, bool*, size_t);
    void (*relu)(const T*, ptrdiff_t, T*, size_t);
    void (*relu_backward)(const T*, ptrdiff_t, const T*, ptrdiff_t, T*, size_t);
    float (*sum)(const T*, ptrdiff_t, size_t);
    void (*sum_rows)(const T*, ptrdiff_t, ptrdiff_t, size_t, size_t, float*, ptrdiff_t);
    void (*widen)(const T*, float*, size_t);
    void (*narrow)(const float*, T*, size_t);
};

// One per instruction set; see loops_impl.hpp.
struct LoopTable {
    map_types_t<std::tuple, FloatLoops, FloatTypes> floats;  // one entry per Float type
    void (*compare_bool)(CompareOp, const bool*, ptrdiff_t, const bool*, ptrdiff_t, bool*, size_t);
    void (*logical)(LogicalOp, const bool*, ptrdiff_t, const bool*, ptrdiff_t, bool*, size_t);
    void (*logical_not)(const bool*, ptrdiff_t, bool*, size_t);
};

// table_<name>() for each set, defined in loops_<name>.cpp.
#define VORKA_ISA_LOOP_TABLE(Enum, name) const LoopTable* table_##name();
VORKA_ISA_LADDER(VORKA_ISA_LOOP_TABLE)
#undef VORKA_ISA_LOOP_TABLE

}  // namespace detail
}  // namespace vorka::simd
