// Identity of a node on a thread's tape. `index` is the position on the tape;
// `tape` and `generation` say which tape issued it and before which clear, so
// an id that outlived clear_graph() or crossed threads is recognised instead of
// naming an unrelated node.
#pragma once

#include <cstdint>

namespace vorka {

struct NodeId {
    uint64_t tape = 0;        // unique per thread tape in this process
    uint64_t generation = 0;  // bumped by every clear
    uint64_t index = 0;       // dense, from 0
    friend bool operator==(const NodeId&, const NodeId&) = default;
};

}  // namespace vorka
