#include "python/errors.hpp"

#include <cstdio>

namespace vorka::py {

namespace {
std::atomic<PyObject*> panic_cell{nullptr};
}

PyObject* panic_exception() {
    return get_or_create(panic_cell, [] {
        return PyErr_NewExceptionWithDoc("vorka.PanicException",
                                         "Raised when vorka detects a broken internal invariant.",
                                         PyExc_BaseException, nullptr);
    });
}

PyObject* raise(const Error& err) {
    switch (err.kind) {
        case ErrorKind::Value: PyErr_SetString(PyExc_ValueError, err.message.c_str()); break;
        case ErrorKind::Type: PyErr_SetString(PyExc_TypeError, err.message.c_str()); break;
        case ErrorKind::Runtime: PyErr_SetString(PyExc_RuntimeError, err.message.c_str()); break;
        case ErrorKind::Index: PyErr_SetString(PyExc_IndexError, err.message.c_str()); break;
        case ErrorKind::Memory: PyErr_SetString(PyExc_MemoryError, err.message.c_str()); break;
        case ErrorKind::Panic: {
            std::fprintf(stderr, "vorka: internal error: %s\n", err.message.c_str());
            std::fflush(stderr);
            PyObject* type = panic_exception();
            if (type) PyErr_SetString(type, err.message.c_str());
            break;
        }
    }
    return nullptr;
}

std::optional<std::string> type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return std::nullopt;
    const char* s = PyUnicode_AsUTF8(name.get());
    if (!s) {
        // A __qualname__ that UTF-8 cannot encode: fall back to the type's C name.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return std::nullopt;
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return s;
}

void set_not_instance(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    auto name = type_qualname(obj);
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name->c_str(), expected);
}

void add_processing_note(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Ref exc = Ref::steal(value);
#endif
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
    if (note) {
        Ref r = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
        if (!r) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyErr_Restore(type, exc.release(), tb);
#endif
}

}  // namespace vorka::py
