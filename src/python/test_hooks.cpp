// Introspection for the test suite, compiled in only when VORKA_TEST_HOOKS is
// defined: node indices are otherwise invisible from Python by design.
#include "python/errors.hpp"
#include "tensor/api.hpp"

namespace vorka::py {

#if defined(VORKA_TEST_HOOKS)
namespace {

PyObject* node_index(PyObject*, PyObject* arg) {
    if (!is_tensor(arg)) {
        set_not_instance(arg, "Tensor");
        return nullptr;
    }
    const auto& id = unwrap(arg).node_id;
    if (!id) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(id->index);
}

PyMethodDef hooks[] = {
    {"_node_index", node_index, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_test_hooks(PyObject* module) { return PyModule_AddFunctions(module, hooks); }
#else
int add_test_hooks(PyObject*) { return 0; }
#endif

}  // namespace vorka::py
