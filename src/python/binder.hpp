// Binding of call arguments to positional-or-keyword parameters, with the
// library's own messages.
#pragma once

#include "python/handle.hpp"

#include <cstddef>

namespace vorka::py {

struct Signature {
    const char* function;           // "Tensor.reshape()", "relu()"
    const char* const* names;       // parameter names, in order
    std::size_t count;              // number of parameters
    std::size_t required;           // the first `required` have no default
};

// Fills out[0..count) with borrowed references (nullptr where absent).
// Returns false with a TypeError set when the call does not fit.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace vorka::py
