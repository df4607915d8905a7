// The module lifecycle: one module object per process, its body run once.
#include "module_api.hpp"

#include <type_traits>

namespace zrt {

// Made ready at import (function.cpp).
void ready_function_type();
PyObject* builtins_of(PyObject* globals);

namespace {
const Str name_attribute{"name"};
const Str dunder_builtins{"__builtins__"};
}  // namespace

Module::Module(const char* short_name, const char* full_name, BodyFn body) noexcept
    : def_{PyModuleDef_HEAD_INIT, full_name, nullptr, 0, nullptr, slots_.data(), nullptr, nullptr, nullptr},
      slots_{{{Py_mod_create, reinterpret_cast<void*>(&Module::create)}, {Py_mod_exec, reinterpret_cast<void*>(&Module::exec)}, {0, nullptr}}},
      short_name_(short_name), full_name_(full_name), body_(body) {}

PyObject* Module::init() { return PyModuleDef_Init(&def_); }

static Module& module_of(PyModuleDef* def) {
    static_assert(std::is_standard_layout_v<Module>);
    return *reinterpret_cast<Module*>(def);
}

PyObject* Module::create(PyObject* spec, PyModuleDef* def) {
    Module& self = module_of(def);
    return guarded([&] {
        const long long interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter == -1) fail();
        if (self.interpreter_ == -1) {
            self.interpreter_ = interpreter;
        } else if (self.interpreter_ != interpreter) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        }
        // A module that exists already is the module: no second copy, and its body ran.
        if (self.module_ != nullptr) return Py_NewRef(self.module_);
        // What the module's functions use is all made now, before any of them exists: nothing is made
        // on a first call, where making it could run Python code (a collection's finalizers) or let
        // the GIL go.
        Constant::make_all();
        ready_function_type();
        return check(PyModule_NewObject(getattr(spec, name_attribute))).release();
    });
}

int Module::exec(PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr) return -1;
    Module& self = module_of(def);
    return guarded([&] {
        if (self.module_ == module) return 0;  // the body has run (or is running) on it
        if (self.module_ != nullptr) {
            raise(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                  self.short_name_);
        }
        self.run_body(module);
        return 0;
    }, -1);
}

void Module::run_body(PyObject* module) {
    module_ = Py_NewRef(module);
    PyObject* modules = PyImport_GetModuleDict();
    Ref full_name = str(full_name_);
    // Modules imported by the body that import this one in turn get it partly filled.
    const bool entered = check_status(PyDict_Contains(modules, full_name)) == 0;
    if (entered) check_status(PyDict_SetItem(modules, full_name, module));
    try {
        // As for a module of Python source, the body runs with the builtins of the importing frame,
        // which it keeps as its `__builtins__`.
        PyObject* globals = PyModule_GetDict(module);
        if (PyDict_SetDefault(globals, dunder_builtins, PyEval_GetBuiltins()) == nullptr) fail();
        body_(Scope(globals, builtins_of(globals)));
    } catch (...) {
        // Leave nothing half-initialised: a later import starts again from scratch.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (entered && PyDict_GetItemWithError(modules, full_name) == module) {
            if (PyDict_DelItem(modules, full_name) < 0) PyErr_Clear();
        }
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        Py_CLEAR(module_);
        throw;
    }
}

}  // namespace zrt
