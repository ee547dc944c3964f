// Operator slots and the explicit comparison methods of the Python Tensor.
#pragma once

#include "python/handle.hpp"
#include "tensor/operations.hpp"

#include <cstddef>

namespace vorka::py {

extern const PyType_Slot operator_slots[];
extern const std::size_t operator_slot_count;

PyObject* method_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Tensor.<name>(other) for each arithmetic row whose Python column is `method`.
#define VORKA_DECLARE_METHOD(name, lane, node, gradient, python, ...) \
    VORKA_IF_METHOD_##python(PyObject* method_##name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);)
VORKA_ARITHMETIC_OPS(VORKA_DECLARE_METHOD)
#undef VORKA_DECLARE_METHOD

// Shape methods and clear_graph (api_methods.cpp).
PyObject* method_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_zeros_like(PyObject* self, PyObject*);
PyObject* method_ones_like(PyObject* self, PyObject*);
PyObject* method_clear_graph(PyObject*, PyObject*);

}  // namespace vorka::py
