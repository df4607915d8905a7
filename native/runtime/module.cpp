// The module lifecycle: one module object per process, its body run once.
#include "zorvia_runtime.hpp"

#include <new>
#include <type_traits>

namespace zrt {

Module::Module(const char* short_name, const char* full_name, BodyFn body) noexcept
    : def_{}, slots_{}, short_name_(short_name), full_name_(full_name), body_(body) {
    slots_[0] = {Py_mod_create, reinterpret_cast<void*>(&Module::create)};
    slots_[1] = {Py_mod_exec, reinterpret_cast<void*>(&Module::exec)};
    slots_[2] = {0, nullptr};
    def_.m_base = PyModuleDef_HEAD_INIT;
    def_.m_name = full_name;
    def_.m_size = 0;
    def_.m_slots = slots_.data();
}

PyObject* Module::init() { return PyModuleDef_Init(&def_); }

static Module& module_of(PyModuleDef* def) {
    static_assert(std::is_standard_layout_v<Module>);
    return *reinterpret_cast<Module*>(def);
}

PyObject* Module::create(PyObject* spec, PyModuleDef* def) {
    static const Name name_attr{"name"};
    Module& self = module_of(def);
    try {
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
        Ref name = getattr(spec, name_attr);
        return check(PyModule_NewObject(name)).release();
    } catch (const Error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int Module::exec(PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr) return -1;
    Module& self = module_of(def);
    try {
        if (self.module_ == module) return 0;  // the body has run (or is running) on it
        if (self.module_ != nullptr) {
            raise(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                  self.short_name_);
        }
        self.run_body(module);
        return 0;
    } catch (const Error&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

void Module::run_body(PyObject* module) {
    module_ = Py_NewRef(module);
    PyObject* modules = PyImport_GetModuleDict();
    Ref full_name = str(full_name_);
    // Modules imported by the body that import this one in turn get it partly filled.
    const bool entered = check_status(PyDict_Contains(modules, full_name)) == 0;
    if (entered) check_status(PyDict_SetItem(modules, full_name, module));
    try {
        PyObject* globals = PyModule_GetDict(module);
        body_(Scope(globals, PyEval_GetBuiltins()));
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
