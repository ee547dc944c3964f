// A Python extension module whose one function reads past a heap block.
// Built only with the sanitizers: the sanitizer run imports it into the
// instrumented interpreter and fails unless the read inside an extension is
// reported.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace {

PyObject* oob_read(PyObject*, PyObject*) {
    volatile char* block = new char[8]();
    volatile std::size_t past = 8;
    char c = block[past];
    delete[] block;
    return PyLong_FromLong(c);
}

PyMethodDef methods[] = {{"oob_read", oob_read, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module = {PyModuleDef_HEAD_INIT, "vorka_fault_ext", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vorka_fault_ext() { return PyModule_Create(&module); }
