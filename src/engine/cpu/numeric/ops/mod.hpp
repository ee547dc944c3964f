// Broadcasting of two operands to their common shape as zero-stride views,
// and the element-wise walk over them.
#pragma once

#include <string>
#include <utility>

#include "strided/iter.hpp"
#include "strided/ndarray.hpp"
#include "support/result.hpp"

namespace vorka::kernels {

template <class T>
struct BroadcastPair {
    NdView<T> a, b;
};

// Both views share the operands' buffers; errors are RuntimeErrors with the
// broadcasting texts.
template <class T>
Result<BroadcastPair<T>> broadcast_tensors(const NdView<T>& a, const NdView<T>& b) {
    if (a.shape == b.shape) return BroadcastPair<T>{a, b};
    BroadcastShape target = broadcast_shapes(a.shape, b.shape);
    if (!target.ok()) return Error::runtime(std::move(target.error));
    auto va = a.broadcast(target.shape);
    if (!va) return Error::runtime(broadcast_failed_text("A", a.shape, target.shape));
    auto vb = b.broadcast(target.shape);
    if (!vb) return Error::runtime(broadcast_failed_text("B", b.shape, target.shape));
    return BroadcastPair<T>{std::move(*va), std::move(*vb)};
}

// Result[i] = loop over a and b broadcast to their common shape (zip rule).
template <class Out, class T, class Loop>
Result<NdArray<Out>> zip_broadcast(const NdView<T>& a, const NdView<T>& b, Loop loop) {
    if (a.shape == b.shape) return zip_collect<Out>(a, b, loop);
    VORKA_TRY(auto v, broadcast_tensors(a, b));
    return zip_collect<Out>(v.a, v.b, loop);
}

}  // namespace vorka::kernels
