#include "autograd/engine.hpp"

#include <utility>

#include "autograd/context.hpp"
#include "strided/ndarray.hpp"

namespace vorka {

Status run_backward(Tape& tape, const NodeId& root, Storage seed) {
    VORKA_CHECK(tape.check(root));
    const std::size_t count = tape.size();
    // A current id always names a node; this guards that invariant.
    if (root.index >= count) return Error::panic(index_out_of_bounds_text(count, root.index));

    AutogradContext ctx(count);
    ctx.set_grad(root.index, std::move(seed));
    // Inputs always have smaller ids than the nodes that use them, so a node's
    // gradient is complete by the time the walk reaches it.
    for (std::size_t i = root.index + 1; i-- > 0;) {
        Storage g = ctx.take(i);
        if (!g) continue;
        if (const BackwardOp* node = tape.node(i)) VORKA_CHECK(node->backward(ctx, g));
        ctx.set_grad(i, std::move(g));
    }
    for (std::size_t j = 0; j < ctx.size(); ++j)
        if (Storage g = ctx.take(j)) tape.set_grad(j, std::move(g));
    return {};
}

}  // namespace vorka
