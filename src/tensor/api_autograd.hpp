// backward() and grad() of the Python Tensor (METH_NOARGS).
#pragma once

#include "python/handle.hpp"

namespace vorka::py {

// Runs the backward pass from self, seeded with ones of self's shape; None.
PyObject* method_backward(PyObject* self, PyObject*);
// A new NumPy array with the gradient the latest pass stored for self, or None.
PyObject* method_grad(PyObject* self, PyObject*);

}  // namespace vorka::py
