#include "python/module_util.hpp"

#include "python/errors.hpp"

namespace vorka::py {

int module_add(PyObject* module, const char* name, Ref value) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) return -1;
    Ref key = Ref::steal(PyUnicode_FromString("__all__"));
    if (!key) return -1;
    // Not PyDict_GetItemString, which would hide a failed lookup.
    Ref all = Ref::borrow(PyDict_GetItemWithError(dict, key.get()));
    if (!all) {
        if (PyErr_Occurred()) return -1;
        all = Ref::steal(PyList_New(0));
        if (!all || PyDict_SetItem(dict, key.get(), all.get()) < 0) return -1;
    }
    Ref pyname = Ref::steal(PyUnicode_FromString(name));
    if (!pyname) return -1;
    if (!PyList_Check(all.get())) {
        raise(Error::panic("could not append __name__ to __all__: __all__ is not a list"));
        return -1;
    }
    if (PyList_Append(all.get(), pyname.get()) < 0) return -1;  // MemoryError, as it is
    return PyObject_SetAttr(module, pyname.get(), value.get());
}

}  // namespace vorka::py
