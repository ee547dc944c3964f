// Adding attributes to modules the library's way: the name goes into
// `__all__` first, then the attribute is set.
#pragma once

#include "python/handle.hpp"

namespace vorka::py {

// Appends `name` to module.__all__ (creating the list) and sets the
// attribute. Returns -1 with an exception set on failure.
int module_add(PyObject* module, const char* name, Ref value);

}  // namespace vorka::py
