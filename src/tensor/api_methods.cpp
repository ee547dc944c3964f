// reshape, transpose, zeros_like, ones_like and clear_graph of the Python Tensor.
#include <algorithm>

#include "autograd/graph.hpp"
#include "python/binder.hpp"
#include "python/errors.hpp"
#include "tensor/api.hpp"
#include "tensor/api_ops.hpp"
#include "tensor/ops.hpp"

namespace vorka::py {

namespace {

// An unsigned machine-size integer from an int or an object with __index__.
bool to_size(PyObject* o, std::size_t* out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    std::size_t v = PyLong_AsSize_t(index.get());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// A sequence of unsigned sizes: any sequence but a str; items through __index__.
bool to_shape(PyObject* o, Dims* out) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        set_not_instance(o, "Sequence");
        return false;
    }
    // The length is only a hint (a sequence may report anything): a
    // TypeError means none, other failures propagate, and no more than the
    // largest rank is reserved up front.
    constexpr Py_ssize_t kReserveCap = static_cast<Py_ssize_t>(kMaxAxes);
    Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
    } else {
        out->reserve(static_cast<std::size_t>(std::min(hint, kReserveCap)));
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    // One item past the largest rank is enough for reshape to refuse the
    // shape; a huge sequence (range(2**62)) is not read to its end.
    while (out->size() <= kMaxAxes) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) break;
        std::size_t v;
        if (!to_size(item.get(), &v)) return false;
        out->push_back(v);
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* method_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"shape"};
    return call<to_shape>("Tensor.reshape()", names, 1, args, nargs, kwnames,
                          [&](const Dims& shape) { return ops::reshape(unwrap(self), shape); });
}

PyObject* method_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"dim0", "dim1"};
    return call<to_size, to_size>(
        "Tensor.transpose()", names, 2, args, nargs, kwnames,
        [&](std::size_t d0, std::size_t d1) { return ops::transpose(unwrap(self), d0, d1); });
}

PyObject* method_zeros_like(PyObject* self, PyObject*) {
    return run([&] { return ops::zeros_like(unwrap(self)); });
}

PyObject* method_ones_like(PyObject* self, PyObject*) {
    return run([&] { return ops::ones_like(unwrap(self)); });
}

PyObject* method_clear_graph(PyObject*, PyObject*) {
    return run([]() -> Status {
        VORKA_TRY(TapeGuard tape, TapeGuard::acquire());
        tape->clear();
        return {};
    });
}

}  // namespace vorka::py
