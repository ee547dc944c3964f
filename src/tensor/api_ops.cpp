// Operator slots of the Python Tensor class.
#include "tensor/api_ops.hpp"

#include "engine/cpu/storage/api.hpp"
#include "python/binder.hpp"
#include "tensor/api.hpp"
#include "tensor/ops.hpp"

namespace vorka::py {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);

PyObject* not_implemented() { Py_RETURN_NOTIMPLEMENTED; }

enum class Num { Yes, No, Error };

// Python's float protocol (float, int, bool, __float__, __index__), rounded
// to float32. No (nothing left set) when the object is no number: a
// TypeError from the protocol, or a NumPy array, which must not pass for a
// number even when it holds one element. Error (exception set) for any other
// failure, e.g. one raised by a user's __float__.
Num to_float32(PyObject* o, float* out) {
    double d;
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
    } else {
        if (!PyLong_CheckExact(o)) {
            int array = numpy::is_array(o);
            if (array < 0) return Num::Error;
            if (array) return Num::No;
        }
        d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Num::Error;
            PyErr_Clear();
            return Num::No;
        }
    }
    *out = static_cast<float>(d);
    return Num::Yes;
}

// op(tensor, number) when `number` is one; NotImplemented when it is no number.
PyObject* with_number(PyObject* tensor, PyObject* number, ScalarOp op) {
    float s;
    switch (to_float32(number, &s)) {
        case Num::Yes: return to_python(op(unwrap(tensor), s));
        case Num::Error: return nullptr;
        case Num::No: break;
    }
    return not_implemented();
}

// Forward form, then the reflected form with a number on the left.
PyObject* binary_reflected(PyObject* l, PyObject* r, TensorOp tensor_op, ScalarOp scalar_op, ScalarOp reflected_op) {
    return run([&]() -> PyObject* {
        if (is_tensor(l) && is_tensor(r)) return to_python(tensor_op(unwrap(l), unwrap(r)));
        if (is_tensor(l)) return scalar_op ? with_number(l, r, scalar_op) : not_implemented();
        if (!reflected_op || !is_tensor(r)) return not_implemented();
        return with_number(r, l, reflected_op);
    });
}

PyObject* tensor_only(PyObject* l, PyObject* r, TensorOp op) {
    return run([&]() -> PyObject* {
        if (!is_tensor(l) || !is_tensor(r)) return not_implemented();
        return to_python(op(unwrap(l), unwrap(r)));
    });
}

// The number-form columns of the arithmetic rows: an ops:: entry point, or none.
namespace number_form {
using namespace ops;
constexpr std::nullptr_t none = nullptr;
}  // namespace number_form

#define VORKA_ARITHMETIC_SLOT(name, lane, node, gradient, python, number, reflected)                   \
    VORKA_IF_SLOT_##python(PyObject* nb_##name(PyObject* l, PyObject* r) {                            \
        return binary_reflected(l, r, ops::name, number_form::number, number_form::reflected);        \
    })
VORKA_ARITHMETIC_OPS(VORKA_ARITHMETIC_SLOT)
#undef VORKA_ARITHMETIC_SLOT

bool as_tensor(PyObject* o, const Tensor** out) {
    if (!is_tensor(o)) {
        set_not_instance(o, "Tensor");
        return false;
    }
    *out = &unwrap(o);
    return true;
}

// A row's method: op(self, other) of two tensors.
[[maybe_unused]] PyObject* tensor_method(const char* function, PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames, TensorOp op) {
    static const char* const names[] = {"other"};
    return call<as_tensor>(function, names, 1, args, nargs, kwnames,
                           [&](const Tensor* other) { return op(unwrap(self), *other); });
}

#define VORKA_LOGICAL_SLOT(name, lane, slot) \
    PyObject* nb_##name(PyObject* l, PyObject* r) { return tensor_only(l, r, ops::name); }
VORKA_LOGICAL_OPS(VORKA_LOGICAL_SLOT)
#undef VORKA_LOGICAL_SLOT

PyObject* nb_matmul(PyObject* l, PyObject* r) { return tensor_only(l, r, ops::matmul); }
PyObject* nb_invert(PyObject* x) {
    return run([&]() -> PyObject* {
        if (!is_tensor(x)) return not_implemented();
        return to_python(ops::logical_not(unwrap(x)));
    });
}

PyObject* tp_richcompare(PyObject* self, PyObject* other, int op) {
    return run([&]() -> PyObject* {
        TensorOp tensor_op;
        ScalarOp scalar_op;
        switch (op) {
#define VORKA_COMPARISON_CASE(name, lane, symbol, py_op) \
    case py_op: tensor_op = ops::name, scalar_op = ops::scalar_##name; break;
            VORKA_COMPARISON_OPS(VORKA_COMPARISON_CASE)
#undef VORKA_COMPARISON_CASE
            default: return raise(Error::panic("invalid compareop"));
        }
        if (!is_tensor(self)) return not_implemented();
        if (is_tensor(other)) return to_python(tensor_op(unwrap(self), unwrap(other)));
        return with_number(self, other, scalar_op);
    });
}

// A number through Python's float protocol; a NumPy array, even one of one
// element, is refused as no number, as by the operators.
bool to_double(PyObject* o, double* out) {
    if (!PyFloat_CheckExact(o) && !PyLong_CheckExact(o)) {
        const int array = numpy::is_array(o);
        if (array < 0) return false;
        if (array) {
            PyErr_Format(PyExc_TypeError, "must be real number, not %.200s", Py_TYPE(o)->tp_name);
            return false;
        }
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = d;
    return true;
}

// __req__, __rgt__, __rlt__: explicit methods whose operand must be a number.
PyObject* explicit_compare(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, ScalarOp op) {
    static const char* const names[] = {"other"};
    return call<to_double>(function, names, 1, args, nargs, kwnames,
                           [&](double d) { return op(unwrap(self), static_cast<float>(d)); });
}

}  // namespace

PyObject* method_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return explicit_compare("Tensor.__req__()", self, args, nargs, kwnames, ops::scalar_eq);
}
PyObject* method_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return explicit_compare("Tensor.__rgt__()", self, args, nargs, kwnames, ops::scalar_lt);
}
PyObject* method_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return explicit_compare("Tensor.__rlt__()", self, args, nargs, kwnames, ops::scalar_gt);
}

#define VORKA_DEFINE_METHOD(name, lane, node, gradient, python, ...)                                            \
    VORKA_IF_METHOD_##python(PyObject* method_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, \
                                                     PyObject* kwnames) {                                     \
        return tensor_method("Tensor." #name "()", self, args, nargs, kwnames, ops::name);                    \
    })
VORKA_ARITHMETIC_OPS(VORKA_DEFINE_METHOD)
#undef VORKA_DEFINE_METHOD

#define VORKA_ARITHMETIC_SLOT_ENTRY(name, lane, node, gradient, python, ...) \
    VORKA_IF_SLOT_##python({VORKA_SLOT_##python, reinterpret_cast<void*>(nb_##name)},)
#define VORKA_LOGICAL_SLOT_ENTRY(name, lane, slot) {slot, reinterpret_cast<void*>(nb_##name)},
const PyType_Slot operator_slots[] = {
    VORKA_ARITHMETIC_OPS(VORKA_ARITHMETIC_SLOT_ENTRY)
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(nb_matmul)},
    VORKA_LOGICAL_OPS(VORKA_LOGICAL_SLOT_ENTRY)
    {Py_nb_invert, reinterpret_cast<void*>(nb_invert)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tp_richcompare)},
};
#undef VORKA_ARITHMETIC_SLOT_ENTRY
#undef VORKA_LOGICAL_SLOT_ENTRY
const std::size_t operator_slot_count = sizeof(operator_slots) / sizeof(operator_slots[0]);

}  // namespace vorka::py
