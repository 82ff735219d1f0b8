/* An extension module with nothing in it: what importing any extension
   module costs, the floor of the compiled test module's import. */
#include <Python.h>

static struct PyModuleDef empty_module = {PyModuleDef_HEAD_INIT, "_empty_module", NULL, 0, NULL};

PyMODINIT_FUNC PyInit__empty_module(void) { return PyModuleDef_Init(&empty_module); }
