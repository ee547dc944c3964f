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

// A type NumPy knows only by its long name (bfloat16), which anyone can
// rebind (numpy.sctypeDict): elements are copied by our element size, so
// anything but a user-defined type of that size would read or write past
// NumPy's buffers.
PyObject* user_dtype(std::string_view long_name, int size) {
    const std::string n(long_name);
    PyArray_Descr* descr = nullptr;
    Ref name = Ref::steal(PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size())));
    if (!name) return nullptr;
    if (!PyArray_DescrConverter(name.get(), &descr)) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;  // "not understood" only
        py::raise(Error::panic("the " + n + " element type requires a package that provides a `" + n +
                               "` data type for NumPy (for example ml_dtypes), but NumPy does not know one: " +
                               take_error_text()));
        return nullptr;
    }
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(descr));
    if (PyDataType_ELSIZE(descr) != size || descr->kind != 'V' || descr->type_num < NPY_USERDEF) {
        Ref text = Ref::steal(PyObject_Repr(owned.get()));
        if (!text) return nullptr;
        PyErr_Format(PyExc_TypeError, "NumPy's `%s` data type is %U, not a %d-byte %s type (such as ml_dtypes.%s)",
                     n.c_str(), text.get(), size, n.c_str(), n.c_str());
        return nullptr;
    }
    return owned.release();
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
        const npy_intp* s = PyArray_STRIDES(arr);
        Strides strides;
        for (std::size_t d = 0; d < out.ndim(); ++d) strides.push_back(static_cast<std::ptrdiff_t>(s[d]));
        const char* src = static_cast<const char*>(PyArray_DATA(arr));
        char* to = dst;
        for_each_offset<1>(out.shape(), {std::span<const std::ptrdiff_t>(strides)},
                           [&](const std::array<std::ptrdiff_t, 1>& at) {
                               std::memcpy(to, src + at[0], sizeof(T));
                               to += sizeof(T);
                           });
    }
    if constexpr (ElementTraits<T>::kind == ElementKind::Bool) {
        // Any non-zero byte is true; keep kernels free of other bool patterns.
        auto* bytes = reinterpret_cast<unsigned char*>(dst);
        for (std::size_t i = 0; i < count; ++i) bytes[i] = bytes[i] != 0;
    }
    return CpuStorage(std::move(out));
}

static_assert(ElementTraits<f16>::numpy_type == NPY_FLOAT16 && ElementTraits<float>::numpy_type == NPY_FLOAT32 &&
              ElementTraits<bool>::numpy_type == NPY_BOOL && ElementTraits<bf16>::numpy_type < 0);

// The NumPy dtype object of an element type (borrowed); nullptr on error.
PyObject* numpy_dtype(DType dtype) {
    if (!ensure_api()) return nullptr;
    // Free-threaded interpreters may fill a slot from several threads at once.
    static std::atomic<PyObject*> cells[kDTypeCount] = {};
    return py::get_or_create(cells[static_cast<std::size_t>(dtype)], [dtype]() -> PyObject* {
        return with_element_type(dtype, [&]<class T>(TypeTag<T>) -> PyObject* {
            if constexpr (ElementTraits<T>::numpy_type < 0)
                return user_dtype(ElementTraits<T>::names.long_name, static_cast<int>(sizeof(T)));
            else
                return reinterpret_cast<PyObject*>(PyArray_DescrFromType(ElementTraits<T>::numpy_type));
        });
    });
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
    return with_element_type(dtype, [&]<class T>(TypeTag<T>) -> std::optional<CpuStorage> {
        return copy_in<T>(arr, std::move(shape), count);
    });
}

PyObject* to_numpy(const CpuStorage& storage) {
    PyObject* descr = numpy_dtype(storage.dtype());
    if (!descr) return nullptr;
    return storage.visit([&]<class T>(const NdArray<T>& a) -> PyObject* {
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
