// The one way binding sources include the interpreter's C API, so that every
// translation unit sees the same configuration.
#ifndef FERROW_BINDING_PYTHON_API_H_
#define FERROW_BINDING_PYTHON_API_H_

// One abi3 module must load into every interpreter from 3.8 on; building
// without the stable ABI would silently tie it to one interpreter release.
#ifndef Py_LIMITED_API
#error "the ferrow binding must be built against the stable ABI (Py_LIMITED_API)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#endif  // FERROW_BINDING_PYTHON_API_H_
