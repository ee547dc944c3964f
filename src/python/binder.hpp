// The one way into the library from Python. `call` binds the arguments of a
// function or method to its positional-or-keyword parameters (with the
// library's own messages), converts each one, and runs the body; `run` runs
// a body that takes no arguments to bind. Either way a C++ exception becomes
// a Python one, and what the body returns becomes the result or the exception.
#pragma once

#include "python/handle.hpp"

#include <cstddef>
#include <tuple>
#include <utility>

#include "python/errors.hpp"

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

// What a body returns, as the interpreter wants it: a new reference, or
// nullptr with an exception set. Types of the layers above add their own
// overloads in their namespace (found by argument-dependent lookup).
inline PyObject* to_python(PyObject* o) { return o; }
inline PyObject* to_python(const Status& s) {
    if (!s.ok()) return raise(s.error());
    Py_RETURN_NONE;
}

template <class Body>
PyObject* run(Body&& body) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return to_python(body()); });
}

// A parameter's converter, `bool convert(PyObject* arg, T* out)`: false with
// an exception set when the argument does not convert. It is not called for
// an absent argument, which the body sees as T{}.
inline bool as_object(PyObject* o, PyObject** out) {
    *out = o;
    return true;
}

namespace detail {

template <class>
struct converted;
template <class T>
struct converted<bool (*)(PyObject*, T*)> {
    using type = T;
};

// Converts the bound arguments in parameter order; the first that fails gets
// the note naming its parameter.
template <auto... Convert, class Body, std::size_t... I>
PyObject* convert_and_run(const Signature& sig, PyObject* const* a, Body& body, std::index_sequence<I...>) {
    std::tuple<typename converted<decltype(Convert)>::type...> values{};
    const bool ok = ((!a[I] || Convert(a[I], &std::get<I>(values)) || (add_processing_note(sig.names[I]), false)) &&
                     ...);
    if (!ok) return nullptr;
    return to_python(std::apply(body, values));
}

}  // namespace detail

// A METH_FASTCALL | METH_KEYWORDS entry point with parameters `names`, the
// first `required` of them without default, converted by `Convert...`.
template <auto... Convert, std::size_t N, class Body>
PyObject* call(const char* function, const char* const (&names)[N], std::size_t required, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
    static_assert(N == sizeof...(Convert), "one converter per parameter");
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Signature sig{function, names, N, required};
        PyObject* a[N];
        if (!bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
        return detail::convert_and_run<Convert...>(sig, a, body, std::make_index_sequence<N>{});
    });
}

// The same for a call with an argument tuple and keyword dictionary (tp_new).
// Their items are borrowed from containers that the conversions (Python code)
// may change, so the arguments are held here for the whole call.
template <auto... Convert, std::size_t N, class Body>
PyObject* call(const char* function, const char* const (&names)[N], std::size_t required, PyObject* args,
               PyObject* kwargs, Body&& body) noexcept {
    static_assert(N == sizeof...(Convert), "one converter per parameter");
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const Signature sig{function, names, N, required};
        PyObject* a[N];
        if (!bind_tuple(sig, args, kwargs, a)) return nullptr;
        Ref held[N];
        for (std::size_t i = 0; i < N; ++i) held[i] = Ref::borrow(a[i]);
        return detail::convert_and_run<Convert...>(sig, a, body, std::make_index_sequence<N>{});
    });
}

}  // namespace vorka::py
