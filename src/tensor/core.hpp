// The core tensor value: shared immutable storage plus autograd bookkeeping.
#pragma once

#include <optional>

#include "autograd/node_id.hpp"
#include "tensor/storage.hpp"

namespace vorka {

struct Tensor {
    Storage storage;
    bool requires_grad = false;
    std::optional<NodeId> node_id;  // present exactly when requires_grad
};

}  // namespace vorka
