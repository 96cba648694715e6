// The rich comparison shared by the constraint classes: `a < b` does
// not answer a question, it builds the typed constraint Cmp(a, b, Less), or
// raises NotImplementedError when the two sides cannot be compared.
#pragma once

#include <Python.h>

namespace kelto::package::constraint {

/// tp_richcompare of every constraint class: builds `self op rhs` as a Cmp,
/// or raises the NotImplementedError of a refused comparison. Returns
/// NotImplemented when `rhs` converts to no constraint (so the interpreter
/// tries the reflected operation, then identity) and when `self` is borrowed
/// exclusively.
PyObject* rich_compare(PyObject* self, PyObject* rhs, int code) noexcept;

}  // namespace kelto::package::constraint
