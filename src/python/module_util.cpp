#include "python/module_util.hpp"

#include <string>

#include "python/errors.hpp"

namespace vorka::py {

int module_add(PyObject* module, const char* name, Ref value) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict) return -1;
    Ref all = Ref::borrow(PyDict_GetItemString(dict, "__all__"));
    if (!all) {
        all = Ref::steal(PyList_New(0));
        if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return -1;
    }
    Ref pyname = Ref::steal(PyUnicode_FromString(name));
    if (!pyname) return -1;
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), pyname.get()) < 0) {
        std::string detail;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            detail = ": append failed";
        } else {
            detail = ": __all__ is not a list";
        }
        raise(Error::panic("could not append __name__ to __all__" + detail));
        return -1;
    }
    return PyObject_SetAttr(module, pyname.get(), value.get());
}

}  // namespace vorka::py
