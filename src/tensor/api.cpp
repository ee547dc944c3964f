#include "tensor/api.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "autograd/graph.hpp"
#include "engine/cpu/storage/api.hpp"
#include "python/binder.hpp"
#include "python/errors.hpp"
#include "tensor/api_autograd.hpp"
#include "tensor/api_ops.hpp"

namespace vorka::py {

std::atomic<PyObject*> tensor_type_cell{nullptr};

PyObject* wrap(Tensor&& t) {
    auto* type = reinterpret_cast<PyTypeObject*>(tensor_type_cell.load(std::memory_order_acquire));
    PyTensor* o = PyObject_New(PyTensor, type);
    if (!o) return nullptr;
    new (&o->value) Tensor(std::move(t));
    return reinterpret_cast<PyObject*>(o);
}

namespace {

void tensor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyTensor*>(self)->value.~Tensor();
    PyObject_Free(self);
    Py_DECREF(type);
}

// ---- constructor -------------------------------------------------------

std::atomic<PyObject*> numpy_asarray_cell{nullptr};
std::atomic<PyObject*> numpy_dtype_cell{nullptr};
std::atomic<PyObject*> dtype_kwnames_cell{nullptr};

PyObject* numpy_attr(std::atomic<PyObject*>& cell, const char* name) {
    return get_or_create(cell, [name]() -> PyObject* {
        Ref np = Ref::steal(PyImport_ImportModule("numpy"));
        if (!np) return nullptr;
        return PyObject_GetAttrString(np.get(), name);
    });
}

// The dtype argument as a name: a str's value, an object's __name__, or the
// name of numpy.dtype(obj). Returns a new str or nullptr.
PyObject* resolve_dtype_name(PyObject* dtype) {
    if (!dtype) return PyUnicode_FromString("float32");
    if (PyUnicode_Check(dtype)) return Py_NewRef(dtype);
    Ref name = Ref::steal(PyObject_GetAttrString(dtype, "__name__"));
    if (name) {
        if (!PyUnicode_Check(name.get())) {
            set_not_instance(name.get(), "str");
            return nullptr;
        }
        return name.release();
    }
    // No __name__: ask NumPy. Whatever else __name__ raised propagates.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    PyObject* np_dtype = numpy_attr(numpy_dtype_cell, "dtype");
    if (!np_dtype) return nullptr;
    Ref d = Ref::steal(PyObject_CallOneArg(np_dtype, dtype));
    if (!d) return nullptr;
    Ref n = Ref::steal(PyObject_GetAttrString(d.get(), "name"));
    if (!n) return nullptr;
    return PyObject_Str(n.get());
}

// requires_grad: a bool, or a NumPy boolean scalar read through its truth value.
bool to_requires_grad(PyObject* v, bool* out) {
    if (PyBool_Check(v)) {
        *out = v == Py_True;
        return true;
    }
    PyTypeObject* t = Py_TYPE(v);
    Ref name = Ref::steal(PyType_GetName(t));
    if (!name) return false;
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
    if (!module) {
        // A type without a module is not NumPy's; any other failure propagates.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
    }
    if (module && PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
        (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
        int truth = PyObject_IsTrue(v);
        if (truth < 0) return false;
        *out = truth;
        return true;
    }
    set_not_instance(v, "bool");
    return false;
}

bool as_str(PyObject* o, PyObject** out) {
    if (!PyUnicode_Check(o)) {
        set_not_instance(o, "str");
        return false;
    }
    *out = o;
    return true;
}

PyObject* tensor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"data", "dtype", "device", "requires_grad"};
    return call<as_object, as_object, as_str, to_requires_grad>(
        "Tensor.__new__()", names, 1, args, kwargs,
        [](PyObject* data, PyObject* dtype, PyObject* device, bool requires_grad) -> PyObject* {
            if (dtype == Py_None) dtype = nullptr;
            if (device) {
                Ref lower = Ref::steal(PyObject_CallMethod(device, "lower", nullptr));
                if (!lower) return nullptr;
                if (!PyUnicode_Check(lower.get()) || PyUnicode_CompareWithASCIIString(lower.get(), "cpu") != 0) {
                    PyErr_SetString(PyExc_ValueError, "The device string is invalid or not supported.");
                    return nullptr;
                }
            }
            Ref name = Ref::steal(resolve_dtype_name(dtype));
            if (!name) return nullptr;
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &len);
            if (!utf8) return nullptr;
            const auto resolved = dtype_from_name(std::string_view(utf8, static_cast<std::size_t>(len)));
            if (!resolved) {
                PyErr_Format(PyExc_ValueError, "Unsupported or invalid data type: '%U'", name.get());
                return nullptr;
            }

            // No copy here when `data` is already an array of the type: from_numpy
            // copies once, and makes a fresh array itself where the layout asks for one.
            PyObject* np_array = numpy_attr(numpy_asarray_cell, "asarray");
            if (!np_array) return nullptr;
            PyObject* kwnames = get_or_create(dtype_kwnames_cell, [] { return Py_BuildValue("(s)", "dtype"); });
            if (!kwnames) return nullptr;
            const std::string_view numpy_name = dtype_names(*resolved).long_name;
            Ref np_name = Ref::steal(
                PyUnicode_FromStringAndSize(numpy_name.data(), static_cast<Py_ssize_t>(numpy_name.size())));
            if (!np_name) return nullptr;
            PyObject* call_args[] = {data, np_name.get()};
            Ref array = Ref::steal(PyObject_Vectorcall(np_array, call_args, 1, kwnames));
            if (!array) return nullptr;

            auto storage = numpy::from_numpy(array.get(), *resolved);
            if (!storage) return nullptr;
            Tensor t{Storage(std::move(*storage)), requires_grad, std::nullopt};
            if (requires_grad) {
                auto tape = TapeGuard::acquire();
                if (!tape.ok()) return raise(tape.error());
                t.node_id = (*tape)->push_node(nullptr);
            }
            return wrap(std::move(t));
        });
}

// ---- properties ----------------------------------------------------------

template <class V>
PyObject* int_list(const V& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v;
        if constexpr (std::is_signed_v<std::remove_cvref_t<decltype(values[i])>>)
            v = PyLong_FromSsize_t(values[i]);
        else
            v = PyLong_FromSize_t(values[i]);
        if (!v) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

PyObject* get_shape(PyObject* self, void*) { return int_list(unwrap(self).storage->shape()); }
PyObject* get_strides(PyObject* self, void*) { return int_list(unwrap(self).storage->strides()); }
PyObject* get_ndim(PyObject* self, void*) { return PyLong_FromSize_t(unwrap(self).storage->shape().size()); }
PyObject* get_dtype(PyObject* self, void*) {
    auto name = dtype_names(unwrap(self).storage->dtype()).short_name;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* get_device(PyObject*, void*) { return PyUnicode_FromString("cpu"); }
PyObject* get_requires_grad(PyObject* self, void*) { return PyBool_FromLong(unwrap(self).requires_grad); }

PyGetSetDef tensor_getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods ---------------------------------------------------------------

PyObject* method_to_numpy(PyObject* self, PyObject*) {
    return run([&] { return numpy::to_numpy(*unwrap(self).storage); });
}

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef tensor_methods[] = {
    {"grad", method_grad, METH_NOARGS, "grad($self)\n--\n\n"},
    {"__req__", fastcall(method_req), METH_FASTCALL | METH_KEYWORDS, "__req__($self, other)\n--\n\n"},
    {"__rlt__", fastcall(method_rlt), METH_FASTCALL | METH_KEYWORDS, "__rlt__($self, other)\n--\n\n"},
    {"__rgt__", fastcall(method_rgt), METH_FASTCALL | METH_KEYWORDS, "__rgt__($self, other)\n--\n\n"},
    {"to_numpy", method_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"zeros_like", method_zeros_like, METH_NOARGS, "zeros_like($self)\n--\n\n"},
    {"ones_like", method_ones_like, METH_NOARGS, "ones_like($self)\n--\n\n"},
    {"reshape", fastcall(method_reshape), METH_FASTCALL | METH_KEYWORDS, "reshape($self, shape)\n--\n\n"},
    {"transpose", fastcall(method_transpose), METH_FASTCALL | METH_KEYWORDS,
     "transpose($self, dim0, dim1)\n--\n\n"},
    {"backward", method_backward, METH_NOARGS, "backward($self)\n--\n\n"},
    {"clear_graph", method_clear_graph, METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
#define VORKA_METHOD_ENTRY(name, lane, node, gradient, python, ...)                    \
    VORKA_IF_METHOD_##python({#name, fastcall(method_##name), METH_FASTCALL | METH_KEYWORDS, \
                              #name "($self, other)\n--\n\n"},)
    VORKA_ARITHMETIC_OPS(VORKA_METHOD_ENTRY)
#undef VORKA_METHOD_ENTRY
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot base_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
    {Py_tp_doc, const_cast<char*>("Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n")},
    {Py_tp_getset, tensor_getset},
    {Py_tp_methods, tensor_methods},
};

PyObject* create_tensor_type() {
    std::vector<PyType_Slot> slots(std::begin(base_slots), std::end(base_slots));
    slots.insert(slots.end(), operator_slots, operator_slots + operator_slot_count);
    slots.push_back({0, nullptr});
    PyType_Spec spec = {"vorka.Tensor", sizeof(PyTensor), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    // NumPy's operators then decline a Tensor operand instead of treating it
    // as an object scalar (which made `array < tensor` compare every element
    // with the whole tensor), and the Tensor's operators decline arrays: a
    // mix raises TypeError, and == / != fall back to identity.
    if (PyObject_SetAttrString(type.get(), "__array_ufunc__", Py_None) < 0) return nullptr;
    return type.release();
}

}  // namespace

PyObject* tensor_type() {
    return get_or_create(tensor_type_cell, [] { return create_tensor_type(); });
}

}  // namespace vorka::py
