#include "py/register.h"

#include "py/convert.h"
#include "py/errors.h"
#include "py/node.h"
#include "py/ref.h"

namespace vardimont::py {
namespace {

// The function of `def` bound to `module` (its __self__), with the module's
// name as its __module__, added under its own __name__.
bool add_function(PyObject* module, PyMethodDef* def) {
  Ref function = module_function(def, module, module);
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_not_instance(name.get(), "str");
    return false;
  }
  return add_to_module(module, name.get(), function.get());
}

}  // namespace

Ref module_function(PyMethodDef* def, PyObject* self, PyObject* module) noexcept {
  Ref module_name;
  if (module != nullptr) {
    module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return Ref();
  }
  return Ref::steal(PyCFunction_NewEx(def, self, module_name.get()));
}

bool add_to_module(PyObject* module, PyObject* name, PyObject* value) noexcept {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise_not_instance(all.get(), "list");
    return false;
  }
  if (PyList_Append(all.get(), name) != 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_to_module(PyObject* module, const char* name, PyObject* value) noexcept {
  Ref name_object = Ref::steal(PyUnicode_FromString(name));
  return name_object && add_to_module(module, name_object.get(), value);
}

bool register_module(PyObject* module) noexcept {
  PyObject* node = node_type();
  if (node == nullptr || !add_to_module(module, "Node", node)) return false;
  return add_function(module, &ENCODE_PAYLOAD_DEF) && add_function(module, &DECODE_PAYLOAD_DEF);
}

}  // namespace vardimont::py
