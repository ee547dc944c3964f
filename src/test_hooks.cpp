// Introspection for the test suite, compiled in only when VORKA_TEST_HOOKS is
// defined: node indices are otherwise invisible from Python by design.
#include <cstddef>
#include <optional>
#include <string_view>

#include "engine/cpu/simd/loops.hpp"
#include "python/errors.hpp"
#include "python/handle.hpp"
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

// Pins the kernels' instruction set (a name of _instruction_sets), so that a
// test run covers the paths of older CPUs; returns the one now in use (lower
// than asked when this CPU lacks it).
PyObject* force_isa(PyObject*, PyObject* arg) {
    const char* want = PyUnicode_Check(arg) ? PyUnicode_AsUTF8(arg) : nullptr;
    if (!want) {
        if (!PyErr_Occurred()) set_not_instance(arg, "str");
        return nullptr;
    }
    const std::optional<simd::Isa> isa = simd::isa_named(want);
    if (!isa) {
        PyErr_Format(PyExc_ValueError, "unknown instruction set '%s'", want);
        return nullptr;
    }
    simd::force_isa(*isa);
    const std::string_view now = simd::isa_name(simd::active_isa());
    return PyUnicode_FromStringAndSize(now.data(), static_cast<Py_ssize_t>(now.size()));
}

// The names _force_isa takes, lowest set first, so that tests cover every set.
PyObject* instruction_sets(PyObject*, PyObject*) {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(simd::kIsaCount)));
    for (size_t i = 0; names && i < simd::kIsaCount; ++i) {
        const std::string_view name = simd::isa_name(static_cast<simd::Isa>(i));
        PyObject* s = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (!s) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), s);
    }
    return names.release();
}

PyMethodDef hooks[] = {
    {"_force_isa", force_isa, METH_O, nullptr},
    {"_instruction_sets", instruction_sets, METH_NOARGS, nullptr},
    {"_node_index", node_index, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_test_hooks(PyObject* module) { return PyModule_AddFunctions(module, hooks); }
#else
int add_test_hooks(PyObject*) { return 0; }
#endif

}  // namespace vorka::py
