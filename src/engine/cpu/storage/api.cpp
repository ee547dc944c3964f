#include "engine/cpu/storage/api.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vorka_ARRAY_API
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "python/errors.hpp"
#include "strided/iter.hpp"

namespace vorka::numpy {

namespace {

using py::Ref;

std::atomic<bool> api_ready{false};
#if PY_VERSION_HEX >= 0x030D0000
PyMutex api_mutex = {0};
#endif

// The text of the pending exception, which is cleared.
std::string take_error_text() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
    std::string detail;
    if (value) {
        Ref s = Ref::steal(PyObject_Str(value.get()));
        const char* utf8 = s && PyUnicode_Check(s.get()) ? PyUnicode_AsUTF8(s.get()) : nullptr;
        if (utf8) detail = utf8;
    }
    PyErr_Clear();  // a failure to describe the error is not worth reporting over it
    return detail;
}

// NumPy's C API table, loaded on first use.
bool ensure_api() {
    if (api_ready.load(std::memory_order_acquire)) return true;
#if PY_VERSION_HEX >= 0x030D0000
    PyMutex_Lock(&api_mutex);
#endif
    bool ok = api_ready.load(std::memory_order_relaxed) || PyArray_ImportNumPyAPI() == 0;
    if (ok) api_ready.store(true, std::memory_order_release);
#if PY_VERSION_HEX >= 0x030D0000
    PyMutex_Unlock(&api_mutex);
#endif
    if (ok) return true;
    // A missing or mismatched NumPy fails with one of these; anything else
    // (an interrupt, MemoryError) propagates as it is.
    if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError) &&
        !PyErr_ExceptionMatches(PyExc_RuntimeError))
        return false;
    py::raise(Error::panic("Failed to access NumPy array API capsule: " + take_error_text()));
    return false;
}

std::atomic<PyObject*> bf16_dtype_cell{nullptr};

// The type NumPy knows by the name `bfloat16`, which anyone can rebind
// (numpy.sctypeDict): elements are copied by our element size, so anything
// but a 2-byte user-defined type would read or write past NumPy's buffers.
PyObject* bf16_dtype() {
    return py::get_or_create(bf16_dtype_cell, []() -> PyObject* {
        PyArray_Descr* descr = nullptr;
        Ref name = Ref::steal(PyUnicode_FromString("bfloat16"));
        if (!name) return nullptr;
        if (!PyArray_DescrConverter(name.get(), &descr)) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;  // "not understood" only
            py::raise(Error::panic(
                "the bfloat16 element type requires a package that provides a `bfloat16` data type for "
                "NumPy (for example ml_dtypes), but NumPy does not know one: " +
                take_error_text()));
            return nullptr;
        }
        Ref owned = Ref::steal(reinterpret_cast<PyObject*>(descr));
        if (PyDataType_ELSIZE(descr) != 2 || descr->kind != 'V' || descr->type_num < NPY_USERDEF) {
            Ref text = Ref::steal(PyObject_Repr(owned.get()));
            if (!text) return nullptr;
            PyErr_Format(PyExc_TypeError,
                         "NumPy's `bfloat16` data type is %U, not a 2-byte bfloat16 type (such as "
                         "ml_dtypes.bfloat16)",
                         text.get());
            return nullptr;
        }
        return owned.release();
    });
}

template <class T>
CpuStorage copy_in(PyArrayObject* arr, Dims shape, std::size_t count) {
    NdArray<T> out = NdArray<T>::uninit(std::move(shape), Order::C);
    if (count == 0) return CpuStorage(std::move(out));
    char* dst = reinterpret_cast<char*>(out.data());
    if (PyArray_IS_C_CONTIGUOUS(arr)) {
        std::memcpy(dst, PyArray_DATA(arr), count * sizeof(T));
    } else {
        // Logical row-major order, byte by byte per element: NumPy strides need
        // not be multiples of the element size.
        const int nd = PyArray_NDIM(arr);
        const npy_intp* dims = PyArray_DIMS(arr);
        const npy_intp* strides = PyArray_STRIDES(arr);
        std::vector<npy_intp> idx(nd, 0);
        const char* src = static_cast<const char*>(PyArray_DATA(arr));
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(dst + i * sizeof(T), src, sizeof(T));
            for (int d = nd - 1; d >= 0; --d) {
                if (++idx[d] < dims[d]) {
                    src += strides[d];
                    break;
                }
                src -= strides[d] * (dims[d] - 1);
                idx[d] = 0;
            }
        }
    }
    if constexpr (std::is_same_v<T, bool>) {
        // Any non-zero byte is true; keep kernels free of other bool patterns.
        auto* bytes = reinterpret_cast<unsigned char*>(dst);
        for (std::size_t i = 0; i < count; ++i) bytes[i] = bytes[i] != 0;
    }
    return CpuStorage(std::move(out));
}

// The NumPy dtype object of an element type (borrowed); nullptr on error.
PyObject* numpy_dtype(DType dtype) {
    if (!ensure_api()) return nullptr;
    if (dtype == DType::BF16) return bf16_dtype();
    // Free-threaded interpreters may fill a slot from several threads at once.
    static std::atomic<PyObject*> builtin[4] = {nullptr, nullptr, nullptr, nullptr};
    const int num = dtype == DType::F16 ? NPY_FLOAT16 : dtype == DType::F32 ? NPY_FLOAT32 : NPY_BOOL;
    return py::get_or_create(builtin[static_cast<int>(dtype)],
                             [num] { return reinterpret_cast<PyObject*>(PyArray_DescrFromType(num)); });
}

}  // namespace

int is_array(PyObject* obj) {
    if (!ensure_api()) return -1;
    return PyArray_Check(obj) ? 1 : 0;
}

std::optional<CpuStorage> from_numpy(PyObject* obj, DType dtype) {
    if (!ensure_api()) return std::nullopt;
    if (!PyArray_Check(obj)) {
        auto name = py::type_qualname(obj);
        if (!name) return std::nullopt;
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name->c_str(), "ndarray");
        return std::nullopt;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    const int nd = PyArray_NDIM(arr);
    Dims shape;
    shape.reserve(nd);
    for (int i = 0; i < nd; ++i) shape.push_back(static_cast<std::size_t>(PyArray_DIM(arr, i)));
    PyObject* want = numpy_dtype(dtype);
    if (!want) return std::nullopt;
    if (!PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(want))) {
        Ref have = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        Ref need = Ref::steal(PyObject_Str(want));
        if (!have || !need) return std::nullopt;
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", have.get(), need.get());
        return std::nullopt;
    }
    // A dense, aligned array is copied straight out of the caller's memory;
    // anything else first becomes the fresh array `numpy.array` would make.
    Ref fresh;
    if (!(PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr))) {
        fresh = Ref::steal(PyArray_NewCopy(arr, NPY_KEEPORDER));
        if (!fresh) return std::nullopt;
        arr = reinterpret_cast<PyArrayObject*>(fresh.get());
    }
    const std::size_t count = static_cast<std::size_t>(PyArray_SIZE(arr));
    switch (dtype) {
        case DType::F16: return copy_in<f16>(arr, std::move(shape), count);
        case DType::BF16: return copy_in<bf16>(arr, std::move(shape), count);
        case DType::F32: return copy_in<float>(arr, std::move(shape), count);
        case DType::Bool: return copy_in<bool>(arr, std::move(shape), count);
    }
    return std::nullopt;
}

PyObject* to_numpy(const CpuStorage& storage) {
    PyObject* descr = numpy_dtype(storage.dtype());
    if (!descr) return nullptr;
    return storage.visit([&](const auto& a) -> PyObject* {
        using T = std::remove_cvref_t<decltype(*a.data())>;
        const std::size_t nd = a.ndim();
        std::vector<npy_intp> dims(nd), strides(nd);
        for (std::size_t i = 0; i < nd; ++i) {
            dims[i] = static_cast<npy_intp>(a.shape()[i]);
            strides[i] = static_cast<npy_intp>(a.strides()[i] * static_cast<std::ptrdiff_t>(sizeof(T)));
        }
        const bool keep = is_standard_layout(a.shape(), a.strides()) ||
                          (nd >= 2 && is_column_major(a.shape(), a.strides()));
        Py_INCREF(descr);  // stolen by the constructor
        Ref out = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, reinterpret_cast<PyArray_Descr*>(descr),
                                                  static_cast<int>(nd), dims.data(),
                                                  keep ? strides.data() : nullptr, nullptr, 0, nullptr));
        if (!out) return nullptr;
        auto* arr = reinterpret_cast<PyArrayObject*>(out.get());
        if (a.size() == 0) return out.release();
        if (keep) {
            std::memcpy(PyArray_DATA(arr), a.data(), a.size() * sizeof(T));
        } else {
            NdViewMut<T> dst{static_cast<T*>(PyArray_DATA(arr)), a.shape(), default_strides(a.shape())};
            copy_into(a.view(), dst);
        }
        return out.release();
    });
}

}  // namespace vorka::numpy
