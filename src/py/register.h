// Filling a module object: every addition appends its name to the module's
// __all__ (creating the list when the module has none) and then sets the
// attribute, so that __all__ lists exactly what was added, in order.
#pragma once

#include "py/python.h"
#include "py/ref.h"

namespace vardimont::py {

// Appends `name` (a str) to __all__, then sets the attribute to `value`
// (borrowed). False with the exception set; a name appended stays in __all__
// even if setting the attribute fails.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) noexcept;
bool add_to_module(PyObject* module, const char* name, PyObject* value) noexcept;

// The function of `def`, bound to `self` (null allowed), with the name of
// `module` as its __module__ (none when `module` is null). Empty with the
// exception set.
Ref module_function(PyMethodDef* def, PyObject* self, PyObject* module) noexcept;

// The binding's part of the module: the class Node, then the functions
// encode_payload and decode_payload, bound to `module`. Stops at the first
// failure, with its exception set.
bool register_module(PyObject* module) noexcept;

}  // namespace vardimont::py
