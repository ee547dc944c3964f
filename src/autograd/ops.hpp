// Backward nodes. The tape owns them through BackwardOp; a leaf is stored as
// an empty slot and costs no allocation.
#pragma once

#include "support/result.hpp"
#include "tensor/storage.hpp"

namespace vorka {

class GradStore;

class BackwardOp {
  public:
    virtual ~BackwardOp() = default;
    // Computes the gradient of each input from `grad` (the gradient of this
    // node's output) and accumulates it into `grads`.
    virtual Status backward(GradStore& grads, const Storage& grad) const = 0;
};

}  // namespace vorka
