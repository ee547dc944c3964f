// Backward rules of the nodes. (The backward pass is not wired up yet.)
#include "autograd/nodes.hpp"

namespace vorka {

Status AddNode::backward(AutogradContext&, const Storage&) const { return Error::panic("AddNode: backward pass not available"); }
Status SubNode::backward(AutogradContext&, const Storage&) const { return Error::panic("SubNode: backward pass not available"); }
Status MulNode::backward(AutogradContext&, const Storage&) const { return Error::panic("MulNode: backward pass not available"); }
Status DivNode::backward(AutogradContext&, const Storage&) const { return Error::panic("DivNode: backward pass not available"); }
Status MatmulNode::backward(AutogradContext&, const Storage&) const { return Error::panic("MatmulNode: backward pass not available"); }
Status ScalarAddNode::backward(AutogradContext&, const Storage&) const { return Error::panic("ScalarAddNode: backward pass not available"); }
Status ScalarSubNode::backward(AutogradContext&, const Storage&) const { return Error::panic("ScalarSubNode: backward pass not available"); }
Status ScalarMulNode::backward(AutogradContext&, const Storage&) const { return Error::panic("ScalarMulNode: backward pass not available"); }
Status ScalarDivNode::backward(AutogradContext&, const Storage&) const { return Error::panic("ScalarDivNode: backward pass not available"); }
Status ScalarRDivNode::backward(AutogradContext&, const Storage&) const { return Error::panic("ScalarRDivNode: backward pass not available"); }
Status ReshapeNode::backward(AutogradContext&, const Storage&) const { return Error::panic("ReshapeNode: backward pass not available"); }
Status TransposeNode::backward(AutogradContext&, const Storage&) const { return Error::panic("TransposeNode: backward pass not available"); }
Status ReluNode::backward(AutogradContext&, const Storage&) const { return Error::panic("ReluNode: backward pass not available"); }

}  // namespace vorka
