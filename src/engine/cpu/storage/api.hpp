// NumPy interchange: building a storage from an ndarray and converting a
// storage to a new ndarray. The only part of the library that uses NumPy's C API.
#pragma once

#include "python/handle.hpp"

#include <optional>

#include "tensor/storage.hpp"

namespace vorka::numpy {

// Copies the elements of `array` (an ndarray of element type `dtype`) into a
// new standard-layout storage. nullopt: a Python exception is set.
std::optional<CpuStorage> from_numpy(PyObject* array, DType dtype);

// A new, writable ndarray holding a copy of the storage; nullptr on error.
PyObject* to_numpy(const CpuStorage& storage);

// 1 when `obj` is an ndarray (or a subclass), 0 when not, -1 with an
// exception set when NumPy's C API cannot be loaded.
int is_array(PyObject* obj);

}  // namespace vorka::numpy
