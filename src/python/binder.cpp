#include "python/binder.hpp"

#include <string>

namespace vorka::py {

namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t nargs) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (sig.required == sig.count)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.function,
                     sig.count, nargs, verb);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     sig.function, sig.required, sig.count, nargs, verb);
    return false;
}

// Places keyword `key` with `value`; false with an exception on conflict.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
            if (static_cast<Py_ssize_t>(i) < nargs || out[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                             sig.names[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    // str() of the key may run a str subclass's __str__: keep the key alive
    // even if that empties the caller's dictionary.
    Ref held = Ref::borrow(key);
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.function, held.get());
    return false;
}

bool check_required(const Signature& sig, PyObject** out) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) ++missing;
    if (!missing) return true;
    std::string names;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        if (seen) names += (seen + 1 == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
        names += "'";
        names += sig.names[i];
        names += "'";
        ++seen;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.function, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

// Positional arguments first, then `place_keywords()`, then the check that
// nothing required is missing.
template <class Keywords>
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** out, Keywords&& place_keywords) {
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > static_cast<Py_ssize_t>(sig.count)) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return place_keywords() && check_required(sig, out);
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    return bind(sig, args, nargs, out, [&] {
        const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t j = 0; j < nk; ++j)
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], nargs, out)) return false;
        return true;
    });
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    return bind(sig, nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, out, [&] {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (kwargs && PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(sig, key, value, nargs, out)) return false;
        return true;
    });
}

}  // namespace vorka::py
