#include "tensor/api_autograd.hpp"

#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "engine/cpu/storage/api.hpp"
#include "engine/cpu/storage/shape.hpp"
#include "python/binder.hpp"
#include "tensor/api.hpp"

namespace vorka::py {

// A tensor that requires gradients always has a node id (see Tensor).
PyObject* method_backward(PyObject* self, PyObject*) {
    return run([&]() -> Status {
        const Tensor& t = unwrap(self);
        if (!t.requires_grad) return Error::value("backward() called on tensor that does not require grad");
        VORKA_TRY(TapeGuard tape, TapeGuard::acquire());
        // Refuse a stale id before building the seed.
        VORKA_CHECK(tape->check(*t.node_id));
        return run_backward(*tape, *t.node_id, Storage(storage_ops::ones_like(*t.storage)));
    });
}

PyObject* method_grad(PyObject* self, PyObject*) {
    return run([&]() -> PyObject* {
        const Tensor& t = unwrap(self);
        if (!t.node_id) Py_RETURN_NONE;
        // Share the stored gradient and let go of the tape before NumPy runs:
        // the conversion copies, so the array never aliases the store.
        Storage g;
        {
            auto tape = TapeGuard::acquire();
            if (!tape.ok()) return raise(tape.error());
            if (const Storage* slot = (*tape)->grad_slot(*t.node_id)) g = *slot;
        }
        if (!g) Py_RETURN_NONE;
        return numpy::to_numpy(*g);
    });
}

}  // namespace vorka::py
