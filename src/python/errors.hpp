// The boundary between error values and Python exceptions.
#pragma once

#include "python/handle.hpp"

#include <atomic>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/result.hpp"

namespace vorka::py {

// vorka.PanicException: derives from BaseException, created once per process.
PyObject* panic_exception();

// Raises `err` as the Python exception its kind names. Always returns nullptr.
PyObject* raise(const Error& err);

// TypeError "'{type}' object is not an instance of '{expected}'" (or
// "'None' is not an instance of '{expected}'" for None). Either way an
// exception is set (another one if the type's name could not be read).
void set_not_instance(PyObject* obj, const char* expected);

// Adds the note "while processing '{name}'" to the pending exception.
void add_processing_note(const char* name);

// The `__qualname__` of the object's type; nothing with an exception set.
std::optional<std::string> type_qualname(PyObject* obj);

// Publishes a lazily created object exactly once; a thread that loses the
// race drops its own copy. `create` returns a new reference or nullptr with
// an exception set.
template <class F>
PyObject* get_or_create(std::atomic<PyObject*>& cell, F&& create) {
    PyObject* p = cell.load(std::memory_order_acquire);
    if (p) return p;
    Ref made = Ref::steal(create());
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (cell.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
    return expected;
}

// Translates any C++ exception escaping `f` into a Python exception.
// Allocation failures become MemoryError; anything else is an internal error.
template <class R, class F>
R guard(R failure, F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise(Error::panic(e.what()));
    } catch (...) {
        raise(Error::panic("unknown C++ exception"));
    }
    return failure;
}

}  // namespace vorka::py
