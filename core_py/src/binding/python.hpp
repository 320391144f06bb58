#pragma once
// The one place that includes the CPython headers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
