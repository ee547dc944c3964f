// Module entry: multi-phase initialisation of vorka.vorka_core.
#include "python/errors.hpp"
#include "python/module_util.hpp"
#include "tensor/api.hpp"


namespace vorka::py {
PyObject* build_nn_module();  // nn/functional/module.cpp
int add_test_hooks(PyObject* module);  // test_hooks.cpp
}

namespace {

using vorka::py::Ref;


int vorka_core_exec(PyObject* module) {
    return vorka::py::guard<int>(-1, [&]() -> int {
        if (!PyModule_Check(module)) {
            vorka::py::set_not_instance(module, "PyModule");
            return -1;
        }
        PyObject* type = vorka::py::tensor_type();
        if (!type) return -1;
        if (vorka::py::module_add(module, "Tensor", Ref::borrow(type)) < 0) return -1;
        Ref nn = Ref::steal(vorka::py::build_nn_module());
        if (!nn) return -1;
        if (vorka::py::module_add(module, "nn", std::move(nn)) < 0) return -1;
        // Reachable for the package, deliberately not part of __all__.
        PyObject* panic = vorka::py::panic_exception();
        if (!panic || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
        return vorka::py::add_test_hooks(module);
    });
}

PyModuleDef_Slot vorka_core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(vorka_core_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The class, the exception type and the NumPy objects are cached once per
    // process (atomically published, so threads without a GIL are fine): they
    // cannot be shared with a second interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef vorka_core_def = {
    PyModuleDef_HEAD_INIT, "vorka_core", "", 0, nullptr, vorka_core_slots, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorka_core() {
    return PyModuleDef_Init(&vorka_core_def);
}
