#include <Python.h>
static PyModuleDef kDef = {PyModuleDef_HEAD_INIT, "brovane", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_brovane() { return PyModuleDef_Init(&kDef); }
