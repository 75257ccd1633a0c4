#pragma once

// The one way the binding includes the interpreter's headers: the stable ABI of CPython 3.10.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
