// The extension module vardimont._core: its definition and entry point.
// PyInit__core only hands the definition to the interpreter (multi-phase
// initialisation); the module is filled by the execution slot. The module
// keeps no state of its own: the class and what nodes create belong to the
// process or to the nodes.
#include "py/errors.h"
#include "py/interpreter_guard.h"
#include "py/node.h"
#include "py/python.h"
#include "py/ref.h"
#include "py/register.h"

namespace vardimont {

// The module body: __version__, then the binding's class and functions.
bool core(PyObject* module) noexcept {
  py::Ref version = py::Ref::steal(PyUnicode_FromString("1.3.0"));
  return version && py::add_to_module(module, "__version__", version.get()) && py::register_module(module);
}

namespace {

int module_exec(PyObject* module) {
  // Worker threads attach to the main interpreter, and the module's caches
  // and deferred-release list are process-wide: in another interpreter that
  // would hand objects across interpreters, so the import is refused there.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    PyErr_SetString(PyExc_ImportError, "vardimont._core cannot be imported in a sub-interpreter");
    return -1;
  }
  if (!PyModule_Check(module)) {
    py::raise_not_instance(module, "module");
    return -1;
  }
  if (!core(module)) return -1;
  // Keeps the runtimes' worker threads out of the interpreter once it begins
  // to finalise, and makes a forked child's inherited nodes stopped (each
  // registered once per process; they add nothing to the module).
  if (py::install_exit_guard(module) != 0) return -1;
  return py::install_fork_handler(module);
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Native module `vardimont._core`.\n\n"
    "Exposes the actor runtime and its multiplexed TCP transport to Python\n"
    "without blocking the Python GIL.",
    0,
    nullptr,
    MODULE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vardimont

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&vardimont::MODULE_DEF); }
