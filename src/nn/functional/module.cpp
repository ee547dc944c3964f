// The submodules nn and nn.functional, and relu.
#include "autograd/graph.hpp"
#include "autograd/nodes.hpp"
#include "engine/cpu/storage/functional.hpp"
#include "python/binder.hpp"
#include "python/errors.hpp"
#include "python/module_util.hpp"
#include "tensor/api.hpp"

namespace vorka::py {

namespace {

// relu records its node itself: the core Tensor has no ReLU operation.
PyObject* relu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"py_tensor"};
        static const Signature sig{"relu()", names, 1, 1};
        PyObject* a[1];
        if (!bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
        if (!is_tensor(a[0])) {
            set_not_instance(a[0], "Tensor");
            add_processing_note("py_tensor");
            return nullptr;
        }
        const Tensor& in = unwrap(a[0]);
        std::optional<NodeId> id;
        if (in.requires_grad) {
            auto tape = TapeGuard::acquire();
            if (!tape.ok()) return raise(tape.error());
            auto input_id = (*tape)->resolve_input(in);
            if (!input_id.ok()) return raise(input_id.error());
            id = (*tape)->push_node(std::make_unique<ReluNode>(in.storage, *input_id));
        }
        auto out = storage_ops::relu(*in.storage);
        if (!out.ok()) return raise(out.error());
        return wrap(Tensor{Storage(std::move(*out)), in.requires_grad, id});
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
