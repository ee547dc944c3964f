// Iteration over several strided operands of one shape. Axes are ordered by
// the first operand's strides (the output, for kernels), extent-1 axes are
// dropped and neighbouring axes that are contiguous in every operand are
// merged, so the inner loop runs over the longest possible run, usually at
// unit stride. Kernels see only (pointers, inner strides, run length).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <span>
#include <type_traits>

#include "strided/ndarray.hpp"

namespace vorka {

template <std::size_t N>
struct LoopPlan {
    // Outermost axis first; the last axis is the inner loop.
    SmallVec<std::size_t, 6> extents;
    std::array<SmallVec<std::ptrdiff_t, 6>, N> strides;
    bool empty = false;  // some extent is 0: nothing to visit
};

template <std::size_t N>
LoopPlan<N> plan_loop(std::span<const std::size_t> shape, const std::array<std::span<const std::ptrdiff_t>, N>& strides) {
    LoopPlan<N> plan;
    const std::size_t nd = shape.size();
    for (std::size_t e : shape)
        if (e == 0) {
            plan.empty = true;
            return plan;
        }
    SmallVec<std::size_t, 6> order;
    for (std::size_t i = 0; i < nd; ++i)
        if (shape[i] != 1) order.push_back(i);
    // Outer axes have the larger strides in the first operand.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::abs(strides[0][a]) > std::abs(strides[0][b]);
    });
    for (std::size_t axis : order) {
        if (!plan.extents.empty()) {
            bool merge = true;
            for (std::size_t k = 0; k < N; ++k)
                if (plan.strides[k].back() != strides[k][axis] * static_cast<std::ptrdiff_t>(shape[axis])) {
                    merge = false;
                    break;
                }
            if (merge) {
                plan.extents.back() *= shape[axis];
                for (std::size_t k = 0; k < N; ++k) plan.strides[k].back() = strides[k][axis];
                continue;
            }
        }
        plan.extents.push_back(shape[axis]);
        for (std::size_t k = 0; k < N; ++k) plan.strides[k].push_back(strides[k][axis]);
    }
    return plan;
}

// Calls f(at) at every index of `nd` axes of extents extent(d) in row-major
// order, at[k] being the offset sum(index[d] * stride(k, d)); once for no
// axes, never when an extent is 0. An f returning bool stops the walk with
// false, which the walk then returns.
template <std::size_t N, class Extent, class Stride, class F>
bool for_each_offset(std::size_t nd, Extent&& extent, Stride&& stride, F&& f) {
    for (std::size_t d = 0; d < nd; ++d)
        if (extent(d) == 0) return true;
    SmallVec<std::size_t, 6> idx(nd, 0);
    std::array<std::ptrdiff_t, N> at{};
    for (;;) {
        if constexpr (std::is_same_v<std::invoke_result_t<F&, const std::array<std::ptrdiff_t, N>&>, bool>) {
            if (!f(at)) return false;
        } else {
            f(at);
        }
        std::size_t d = nd;
        for (;;) {
            if (d == 0) return true;
            --d;
            if (++idx[d] < extent(d)) {
                for (std::size_t k = 0; k < N; ++k) at[k] += stride(k, d);
                break;
            }
            for (std::size_t k = 0; k < N; ++k) at[k] -= stride(k, d) * static_cast<std::ptrdiff_t>(idx[d] - 1);
            idx[d] = 0;
        }
    }
}

// The same walk over `extents` with the strides strides[k][d].
template <std::size_t N, class F>
bool for_each_offset(std::span<const std::size_t> extents,
                     const std::array<std::span<const std::ptrdiff_t>, N>& strides, F&& f) {
    return for_each_offset<N>(
        extents.size(), [&](std::size_t d) { return extents[d]; },
        [&](std::size_t k, std::size_t d) { return strides[k][d]; }, f);
}

// Calls inner(ptrs, inner_strides, n) once per inner run. Pointers are byte
// pointers to each operand's first element of the run; strides are in elements.
template <std::size_t N, class F>
void run_loop(const LoopPlan<N>& plan, std::array<char*, N> base, const std::array<std::size_t, N>& elsize, F&& inner) {
    if (plan.empty) return;
    const std::size_t nd = plan.extents.size();
    std::array<std::ptrdiff_t, N> inner_strides{};
    if (nd == 0) {
        inner(base, inner_strides, std::size_t{1});
        return;
    }
    for (std::size_t k = 0; k < N; ++k) inner_strides[k] = plan.strides[k][nd - 1];
    const std::size_t n = plan.extents[nd - 1];
    if (nd == 1) {
        inner(base, inner_strides, n);
        return;
    }
    // The outer axes, in bytes.
    for_each_offset<N>(
        nd - 1, [&](std::size_t d) { return plan.extents[d]; },
        [&](std::size_t k, std::size_t d) { return plan.strides[k][d] * static_cast<std::ptrdiff_t>(elsize[k]); },
        [&](const std::array<std::ptrdiff_t, N>& at) {
            std::array<char*, N> ptrs;
            for (std::size_t k = 0; k < N; ++k) ptrs[k] = base[k] + at[k];
            inner(ptrs, inner_strides, n);
        });
}

// Where an input is read across its memory order (a transposed operand next
// to row-major ones), every element of an inner run lies on a different cache
// line and, in large arrays, on a different page, so a plain walk reloads
// each line (and its page translation) once per element. Such walks go in
// tiles instead: for a block of neighbouring indices of the axis along which
// that input is dense, its elements are first copied, line by line, into a
// small buffer in the order the inner runs read them; the runs then read the
// buffer at unit stride. Only the visiting order changes: callers that write
// each element once get the same results.
namespace tile {
inline constexpr std::size_t kRun = 256;       // inner-run length within a tile
inline constexpr std::size_t kLineBytes = 64;  // a tile spans this much of each packed line
// Lines ahead to request: each comes from a different page, which the
// hardware prefetchers do not follow.
inline constexpr std::size_t kPrefetch = 32;

// dst[r * len + c] = src[c * s_run + r * s_row] for r < rows, c < len (strides in elements).
template <class E>
void pack(const char* src, std::ptrdiff_t s_run, std::ptrdiff_t s_row, std::size_t len, std::size_t rows, char* dst) {
    const E* s = reinterpret_cast<const E*>(src);
    E* d = reinterpret_cast<E*>(dst);
    auto line = [&](std::size_t c) { return s + static_cast<std::ptrdiff_t>(c) * s_run; };
    for (std::size_t c = 0; c < len && c < kPrefetch; ++c) __builtin_prefetch(line(c));
    for (std::size_t c = 0; c < len; ++c) {
        if (c + kPrefetch < len) __builtin_prefetch(line(c + kPrefetch));
        const E* q = line(c);
        for (std::size_t r = 0; r < rows; ++r) d[r * len + c] = q[static_cast<std::ptrdiff_t>(r) * s_row];
    }
}

inline void pack_bytes(std::size_t elsize, const char* src, std::ptrdiff_t s_run, std::ptrdiff_t s_row,
                       std::size_t len, std::size_t rows, char* dst) {
    switch (elsize) {
        case 1: return pack<uint8_t>(src, s_run, s_row, len, rows, dst);
        case 2: return pack<uint16_t>(src, s_run, s_row, len, rows, dst);
        case 4: return pack<uint32_t>(src, s_run, s_row, len, rows, dst);
        default: return pack<uint64_t>(src, s_run, s_row, len, rows, dst);
    }
}
}  // namespace tile

// Like run_loop, in tiles where that pays (see above); otherwise exactly
// run_loop. Operands below W are written and never packed; the others are
// only read.
template <std::size_t N, std::size_t W = 1, class F>
void run_loop_tiled(const LoopPlan<N>& plan, std::array<char*, N> base, const std::array<std::size_t, N>& elsize,
                    F&& inner) {
    const std::size_t nd = plan.extents.size();
    if (plan.empty || nd < 2) return run_loop(plan, base, elsize, inner);
    auto bytes = [&](std::size_t k, std::size_t d) {
        return static_cast<std::size_t>(std::abs(plan.strides[k][d])) * elsize[k];
    };
    const std::size_t in = nd - 1;
    std::array<bool, N> packed{};
    std::size_t across = nd, step = 0;
    for (std::size_t k = W; k < N; ++k) {
        const std::size_t e = elsize[k];
        if (bytes(k, in) < tile::kLineBytes || !(e == 1 || e == 2 || e == 4 || e == 8)) continue;
        packed[k] = true;
        // The tile's second axis: where a packed input is densest.
        for (std::size_t d = 0; d < in; ++d) {
            const std::size_t b = bytes(k, d);
            if (b != 0 && b < tile::kLineBytes && plan.extents[d] > 1 && (across == nd || b < step)) {
                across = d;
                step = b;
            }
        }
    }
    if (across == nd) return run_loop(plan, base, elsize, inner);

    const std::size_t rows = tile::kLineBytes / step;
    const std::size_t n = plan.extents[in], m = plan.extents[across];
    std::size_t buf_bytes = 0;
    std::array<std::size_t, N> buf_at{};
    for (std::size_t k = W; k < N; ++k)
        if (packed[k]) {
            buf_at[k] = buf_bytes;
            buf_bytes += std::min(rows, m) * std::min(tile::kRun, n) * elsize[k];
        }
    std::unique_ptr<char[]> buffer(new char[buf_bytes]);
    std::array<std::ptrdiff_t, N> inner_strides{};
    for (std::size_t k = 0; k < N; ++k) inner_strides[k] = packed[k] ? 1 : plan.strides[k][in];
    auto offset = [&](std::size_t k, std::size_t d, std::size_t i) {
        return plan.strides[k][d] * static_cast<std::ptrdiff_t>(i) * static_cast<std::ptrdiff_t>(elsize[k]);
    };
    auto tiles = [&](const std::array<char*, N>& at) {
        for (std::size_t r0 = 0; r0 < m; r0 += rows) {
            const std::size_t rr = std::min(rows, m - r0);
            for (std::size_t c0 = 0; c0 < n; c0 += tile::kRun) {
                const std::size_t len = std::min(tile::kRun, n - c0);
                std::array<char*, N> p;
                for (std::size_t k = 0; k < N; ++k) {
                    p[k] = at[k] + offset(k, across, r0) + offset(k, in, c0);
                    if (!packed[k]) continue;
                    tile::pack_bytes(elsize[k], p[k], plan.strides[k][in], plan.strides[k][across], len, rr,
                                     buffer.get() + buf_at[k]);
                    p[k] = buffer.get() + buf_at[k];
                }
                for (std::size_t r = 0; r < rr; ++r) {
                    inner(p, inner_strides, len);
                    for (std::size_t k = 0; k < N; ++k)
                        p[k] += packed[k] ? static_cast<std::ptrdiff_t>(len * elsize[k]) : offset(k, across, 1);
                }
            }
        }
    };
    // The remaining outer axes.
    SmallVec<std::size_t, 6> axes;
    for (std::size_t d = 0; d < in; ++d)
        if (d != across) axes.push_back(d);
    for_each_offset<N>(
        axes.size(), [&](std::size_t j) { return plan.extents[axes[j]]; },
        [&](std::size_t k, std::size_t j) { return offset(k, axes[j], 1); },
        [&](const std::array<std::ptrdiff_t, N>& at) {
            std::array<char*, N> ptrs;
            for (std::size_t k = 0; k < N; ++k) ptrs[k] = base[k] + at[k];
            tiles(ptrs);
        });
}

// Stride of `view` for a flat walk alongside a dense output with `out_strides`:
// 1 when it has the output's strides, 0 when it is a single broadcast element,
// nothing otherwise. Extent-1 axes never matter.
inline std::optional<std::ptrdiff_t> flat_stride(std::span<const std::size_t> shape,
                                                 std::span<const std::ptrdiff_t> strides,
                                                 std::span<const std::ptrdiff_t> out_strides) {
    bool same = true, zero = true;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 1) continue;
        if (strides[i] != out_strides[i]) same = false;
        if (strides[i] != 0) zero = false;
    }
    if (same) return 1;
    if (zero) return 0;
    return std::nullopt;
}

// Two operands of `shape` that need no broadcasting and no layout decision:
// the same strides, the default ones. One flat loop walks both, into a result
// with those strides.
inline bool dense_pair(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> a,
                       std::span<const std::ptrdiff_t> b) {
    return std::ranges::equal(a, b) && has_default_strides(shape, a);
}

// Memory order of a zip's result, from the combined layout of its operands.
inline Order zip_order(uint8_t fa, uint8_t fb) {
    const uint8_t flags = fa & fb;
    const int tendency = layout_tendency(fa) + layout_tendency(fb);
    if (!(flags & layout::CORDER) && ((flags & layout::FORDER) || tendency < 0)) return Order::F;
    return Order::C;
}

// The same for two views of one shape; a dense pair (the common case) needs
// no layout flags.
template <class A, class B>
Order zip_order(const NdView<A>& a, const NdView<B>& b) {
    if (dense_pair(a.shape, a.strides, b.strides)) return Order::C;
    return zip_order(array_layout(a.shape, a.strides), array_layout(b.shape, b.strides));
}

// One operand of an element-wise walk.
struct Operand {
    char* ptr = nullptr;  // its element (0, ..., 0)
    std::span<const std::ptrdiff_t> strides;
    std::size_t elsize = 0;
};

template <class T>
Operand operand(const NdView<T>& v) {
    return {reinterpret_cast<char*>(const_cast<T*>(v.ptr)), v.strides, sizeof(T)};
}
template <class T>
Operand operand(NdArray<T>& a) {
    return {reinterpret_cast<char*>(a.data()), a.strides(), sizeof(T)};
}

// The walk of every element-wise kernel over operands of `shape`: W outputs
// first, new dense arrays with the first one's strides, then the inputs.
// Where every input keeps one stride alongside the outputs (their strides, or
// a single broadcast element), one flat run covers all; otherwise the planned
// loop runs, in tiles where that pays. The outputs' runs are unit stride (or
// a single element).
// inner(std::array<char*, N> ptrs, std::array<std::ptrdiff_t, N> strides, std::size_t n)
template <std::size_t W, std::size_t N, class F>
void zip_walk(std::span<const std::size_t> shape, const std::array<Operand, N>& ops, F&& inner) {
    static_assert(W >= 1 && W < N);
    std::size_t count = 1;
    for (std::size_t e : shape) count *= e;
    if (count == 0) return;
    std::array<char*, N> base;
    std::array<std::ptrdiff_t, N> flat;
    bool one_run = true;
    for (std::size_t k = 0; k < N; ++k) {
        base[k] = ops[k].ptr;
        flat[k] = 1;
        if (k < W || !one_run) continue;
        const auto s = flat_stride(shape, ops[k].strides, ops[0].strides);
        if (s) flat[k] = *s;
        else one_run = false;
    }
    if (one_run) return inner(base, flat, count);
    std::array<std::span<const std::ptrdiff_t>, N> strides;
    std::array<std::size_t, N> elsize;
    for (std::size_t k = 0; k < N; ++k) strides[k] = ops[k].strides, elsize[k] = ops[k].elsize;
    run_loop_tiled<N, W>(plan_loop<N>(shape, strides), base, elsize, inner);
}

// Result[i] = f(a[i]) for one operand. A memory-contiguous operand is walked
// as one flat run and its strides are kept; anything else is visited in
// logical order into a standard-layout result.
// inner(const A* a, ptrdiff_t sa, Out* out, size_t n)
template <class Out, class A, class F>
NdArray<Out> map_collect(const NdView<A>& a, F&& inner) {
    NdArray<Out> out = is_contiguous(a.shape, a.strides) ? NdArray<Out>::uninit_with_strides(a.shape, a.strides)
                                                         : NdArray<Out>::uninit(a.shape, Order::C);
    zip_walk<1, 2>(a.shape, {operand(out), operand(a)},
                   [&](const std::array<char*, 2>& p, const std::array<std::ptrdiff_t, 2>& s, std::size_t n) {
                       inner(reinterpret_cast<const A*>(p[1]), s[1], reinterpret_cast<Out*>(p[0]), n);
                   });
    return out;
}

// Result[i] = f(a[i], b[i]) for two views of one shape (already broadcast),
// in the memory order chosen from their layouts.
// inner(const A* a, ptrdiff_t sa, const B* b, ptrdiff_t sb, Out* out, size_t n)
template <class Out, class A, class B, class F>
NdArray<Out> zip_collect(const NdView<A>& a, const NdView<B>& b, F&& inner) {
    NdArray<Out> out = NdArray<Out>::uninit(a.shape, zip_order(a, b));
    zip_walk<1, 3>(a.shape, {operand(out), operand(a), operand(b)},
                   [&](const std::array<char*, 3>& p, const std::array<std::ptrdiff_t, 3>& s, std::size_t n) {
                       inner(reinterpret_cast<const A*>(p[1]), s[1], reinterpret_cast<const B*>(p[2]), s[2],
                             reinterpret_cast<Out*>(p[0]), n);
                   });
    return out;
}

// Copies `src` into the writable `dst` of the same shape (any layouts).
template <class T>
void copy_into(const NdView<T>& src, const NdViewMut<T>& dst) {
    auto plan = plan_loop<2>(dst.shape, {std::span<const std::ptrdiff_t>(dst.strides),
                                          std::span<const std::ptrdiff_t>(src.strides)});
    run_loop_tiled<2>(plan, {reinterpret_cast<char*>(dst.ptr), reinterpret_cast<char*>(const_cast<T*>(src.ptr))},
                {sizeof(T), sizeof(T)}, [](std::array<char*, 2> p, std::array<std::ptrdiff_t, 2> s, std::size_t n) {
                    T* d = reinterpret_cast<T*>(p[0]);
                    const T* x = reinterpret_cast<const T*>(p[1]);
                    if (s[0] == 1 && s[1] == 1) {
                        std::memcpy(d, x, n * sizeof(T));
                        return;
                    }
                    for (std::size_t i = 0; i < n; ++i) d[i * s[0]] = x[static_cast<std::ptrdiff_t>(i) * s[1]];
                });
}

// A standard-layout copy of any view.
template <class T>
NdArray<T> to_standard_layout(const NdView<T>& src) {
    NdArray<T> out = NdArray<T>::uninit(src.shape, Order::C);
    if (out.size()) copy_into(src, out.view_mut());
    return out;
}

}  // namespace vorka
