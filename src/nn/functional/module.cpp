// The submodules nn and nn.functional, and relu.
#include "autograd/graph.hpp"
#include "autograd/ops.hpp"
#include "engine/cpu/storage/functional.hpp"
#include "python/binder.hpp"
#include "python/module_util.hpp"
#include "tensor/api.hpp"

namespace vorka::py {

namespace {

bool as_tensor(PyObject* o, const Tensor** out) {
    if (!is_tensor(o)) {
        set_not_instance(o, "Tensor");
        return false;
    }
    *out = &unwrap(o);
    return true;
}

// relu records its node itself: the core Tensor has no ReLU operation.
PyObject* relu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"py_tensor"};
    return call<as_tensor>("relu()", names, 1, args, nargs, kwnames, [](const Tensor* in) -> Result<Tensor> {
        std::optional<NodeId> id;
        if (in->requires_grad) {
            VORKA_TRY(TapeGuard tape, TapeGuard::acquire());
            VORKA_TRY(NodeId input_id, tape->resolve_input(in->node_id));
            id = tape->push_node(std::make_unique<ReluNode>(in->storage, input_id));
        }
        VORKA_TRY(CpuStorage out, storage_ops::relu(*in->storage));
        return Tensor{Storage(std::move(out)), in->requires_grad, id};
    });
}

PyMethodDef relu_def = {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu)),
                        METH_FASTCALL | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};

}  // namespace

PyObject* build_nn_module() {
    Ref nn = Ref::steal(PyModule_New("nn"));
    if (!nn) return nullptr;
    Ref functional = Ref::steal(PyModule_New("functional"));
    if (!functional) return nullptr;
    Ref fname = Ref::steal(PyUnicode_FromString("functional"));
    if (!fname) return nullptr;
    Ref fn = Ref::steal(PyCFunction_NewEx(&relu_def, functional.get(), fname.get()));
    if (!fn) return nullptr;
    if (module_add(functional.get(), "relu", std::move(fn)) < 0) return nullptr;
    if (module_add(nn.get(), "functional", std::move(functional)) < 0) return nullptr;
    return nn.release();
}

}  // namespace vorka::py
