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
        if (is_tensor(l)) return with_number(l, r, scalar_op);
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

PyObject* nb_add(PyObject* l, PyObject* r) { return binary_reflected(l, r, ops::add, ops::scalar_add, ops::scalar_add); }
PyObject* nb_subtract(PyObject* l, PyObject* r) { return binary_reflected(l, r, ops::sub, ops::scalar_sub, nullptr); }
PyObject* nb_multiply(PyObject* l, PyObject* r) {
    return binary_reflected(l, r, ops::mul, ops::scalar_mul, ops::scalar_mul);
}
PyObject* nb_true_divide(PyObject* l, PyObject* r) {
    return binary_reflected(l, r, ops::div, ops::scalar_div, ops::scalar_rdiv);
}
PyObject* nb_matrix_multiply(PyObject* l, PyObject* r) { return tensor_only(l, r, ops::matmul); }
PyObject* nb_and(PyObject* l, PyObject* r) { return tensor_only(l, r, ops::logical_and); }
PyObject* nb_or(PyObject* l, PyObject* r) { return tensor_only(l, r, ops::logical_or); }
PyObject* nb_xor(PyObject* l, PyObject* r) { return tensor_only(l, r, ops::logical_xor); }
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
            case Py_LT: tensor_op = ops::lt, scalar_op = ops::scalar_lt; break;
            case Py_LE: tensor_op = ops::le, scalar_op = ops::scalar_le; break;
            case Py_EQ: tensor_op = ops::eq, scalar_op = ops::scalar_eq; break;
            case Py_NE: tensor_op = ops::ne, scalar_op = ops::scalar_ne; break;
            case Py_GT: tensor_op = ops::gt, scalar_op = ops::scalar_gt; break;
            case Py_GE: tensor_op = ops::ge, scalar_op = ops::scalar_ge; break;
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

const PyType_Slot operator_slots[] = {
    {Py_nb_add, reinterpret_cast<void*>(nb_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(nb_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(nb_multiply)},
    {Py_nb_true_divide, reinterpret_cast<void*>(nb_true_divide)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(nb_matrix_multiply)},
    {Py_nb_and, reinterpret_cast<void*>(nb_and)},
    {Py_nb_or, reinterpret_cast<void*>(nb_or)},
    {Py_nb_xor, reinterpret_cast<void*>(nb_xor)},
    {Py_nb_invert, reinterpret_cast<void*>(nb_invert)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tp_richcompare)},
};
const std::size_t operator_slot_count = sizeof(operator_slots) / sizeof(operator_slots[0]);

}  // namespace vorka::py
