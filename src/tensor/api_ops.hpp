// Operator slots and the explicit comparison methods of the Python Tensor.
#pragma once

#include "python/handle.hpp"

#include <cstddef>

namespace vorka::py {

extern const PyType_Slot operator_slots[];
extern const std::size_t operator_slot_count;

PyObject* method_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Shape methods and clear_graph (api_methods.cpp).
PyObject* method_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_zeros_like(PyObject* self, PyObject*);
PyObject* method_ones_like(PyObject* self, PyObject*);
PyObject* method_clear_graph(PyObject*, PyObject*);

}  // namespace vorka::py
