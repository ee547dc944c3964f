// The backward pass: walks a thread's tape from a root node down to id 0.
#pragma once

#include "autograd/graph.hpp"
#include "support/result.hpp"
#include "tensor/storage.hpp"

namespace vorka {

// Seeds `root` with `seed` and visits every node at or below it in
// decreasing id order, each node sending its inputs' gradients. Only a pass
// that succeeds stores its gradients on the tape (replacing the slots it
// reached); a failed pass leaves the tape's gradients as they were. The caller
// holds the tape (TapeGuard) for the whole call. A root issued before a clear
// or by another thread's tape is refused with RuntimeError.
Status run_backward(Tape& tape, const NodeId& root, Storage seed);

}  // namespace vorka
