// The Python class `Tensor` (PyTensor): one immutable core Tensor per object.
#pragma once

#include "python/handle.hpp"

#include <atomic>
#include <utility>

#include "python/errors.hpp"
#include "support/result.hpp"
#include "tensor/core.hpp"

namespace vorka::py {

struct PyTensor {
    PyObject_HEAD
    Tensor value;
};

// The class object, created on first use and shared by the whole process
// (borrowed reference); nullptr with an exception set on failure.
PyObject* tensor_type();

inline bool is_tensor(PyObject* o) {
    // The class cannot be subclassed, so an exact type test suffices.
    extern std::atomic<PyObject*> tensor_type_cell;
    return reinterpret_cast<PyObject*>(Py_TYPE(o)) == tensor_type_cell.load(std::memory_order_relaxed);
}
inline const Tensor& unwrap(PyObject* o) { return reinterpret_cast<PyTensor*>(o)->value; }

// A new Python Tensor holding `t`; nullptr with MemoryError on failure.
PyObject* wrap(Tensor&& t);

}  // namespace vorka::py

namespace vorka {

// A binder body's tensor result, as the interpreter wants it (see to_python in
// python/binder.hpp, which knows nothing of Tensor).
inline PyObject* to_python(Tensor&& t) { return py::wrap(std::move(t)); }
inline PyObject* to_python(Result<Tensor>&& r) { return r.ok() ? py::wrap(std::move(*r)) : py::raise(r.error()); }

}  // namespace vorka
