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

    GradStore grads(count);
    grads.set(root.index, std::move(seed));
    // Inputs always have smaller ids than the nodes that use them, so a node's
    // gradient is complete by the time the walk reaches it.
    for (std::size_t i = root.index + 1; i-- > 0;) {
        Storage g = grads.take(i);
        if (!g) continue;
        if (const BackwardOp* node = tape.node(i)) VORKA_CHECK(node->backward(grads, g));
        grads.set(i, std::move(g));
    }
    for (std::size_t j = 0; j < grads.size(); ++j)
        if (Storage g = grads.take(j)) tape.set_grad(j, std::move(g));
    return {};
}

}  // namespace vorka
