// Errors, constants, classes and imports.
#include "module_api.hpp"

#include <cstdarg>

namespace zrt {

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    fail();
}

void raise_object(PyObject* exc) {
    if (PyExceptionClass_Check(exc)) {
        Ref instance = check(PyObject_CallNoArgs(exc));
        if (!PyExceptionInstance_Check(instance.get())) {
            raise(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                  exc, Py_TYPE(instance.get()));
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    } else if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    fail();
}

// ---------------------------------------------------------------------------------------
// Constants: each links itself into its module's list when the module's library is loaded (no
// Python then), and is made at import.

namespace {
constinit const Constant* first_constant = nullptr;
}

Constant::Constant() noexcept : next_(first_constant) { first_constant = this; }

void Constant::make_all() {
    for (const Constant* constant = first_constant; constant != nullptr; constant = constant->next_) {
        if (constant->object_ == nullptr) constant->object_ = check(constant->make()).release();
    }
}

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref result = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(result.get(), i++, Py_NewRef(item));
    return result;
}

Ref list(std::initializer_list<PyObject*> items) {
    Ref result = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(result.get(), i++, Py_NewRef(item));
    return result;
}

namespace {
const Str dunder_module{"__module__"};
const Str dunder_qualname{"__qualname__"};
const Str dunder_name{"__name__"};
}  // namespace

Ref make_class(const Scope& scope, PyObject* name, std::initializer_list<std::pair<PyObject*, PyObject*>> members) {
    Ref ns = check(PyDict_New());
    setitem(ns, dunder_module, getitem(scope.globals(), dunder_name));
    setitem(ns, dunder_qualname, name);
    for (const auto& [key, value] : members) setitem(ns, key, value);
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {name, tuple({}), ns});
}

// ---------------------------------------------------------------------------------------
// Imports

namespace {

// `import <name>` with a from-list: returns the module itself (the submodule for a dotted name).
Ref import_module(const Scope& scope, const char* name, PyObject* fromlist, int level) {
    Ref module_name = str(name);
    return check(PyImport_ImportModuleLevelObject(module_name, scope.globals(), nullptr, fromlist, level));
}

// Takes `name` from an imported module, falling back to the loaded submodule `module.name`;
// ImportError "cannot import name %S" otherwise.
Ref import_from(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        // A submodule that is loaded but not (yet) bound on its package.
        const char* module_name = PyModule_GetName(module);
        if (module_name == nullptr) fail();
        Ref full_name = check(PyUnicode_FromFormat("%s.%U", module_name, name));
        value = PyImport_GetModule(full_name);
    }
    if (value == nullptr) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name %S", name);
    }
    return Ref::steal(value);
}

}  // namespace

void Scope::from_import(const char* module, std::initializer_list<const char*> names, int level) const {
    Ref fromlist = check(PyList_New(0));
    for (const char* name : names) {
        Ref interned = check(PyUnicode_InternFromString(name));
        check_status(PyList_Append(fromlist, interned));
    }
    Ref imported = import_module(*this, module, fromlist, level);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(fromlist.get(), i);
        Ref value = import_from(imported, name);
        set(name, value);
    }
}

void Scope::import_star(const char* module, int level) const {
    Ref fromlist = list({str("*")});
    Ref imported = import_module(*this, module, fromlist, level);

    // The names: __all__, or the public keys of __dict__.
    bool skip_private = false;
    PyObject* names_obj = PyObject_GetAttrString(imported, "__all__");
    if (names_obj == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        names_obj = PyObject_GetAttrString(imported, "__dict__");
        if (names_obj == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
            PyErr_Clear();
            raise(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        }
        skip_private = true;
    }
    Ref names_source = Ref::steal(names_obj);
    Ref names = check(PySequence_List(names_source));

    // Fetch every value first, so that a missing name binds none of them (a private name left out
    // stays empty).
    const Py_ssize_t count = PyList_GET_SIZE(names.get());
    Ref values = check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        const bool private_name = skip_private && PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 &&
                                  PyUnicode_READ_CHAR(name, 0) == '_';
        if (!private_name) PyList_SET_ITEM(values.get(), i, getattr(imported, name).release());
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = PyList_GET_ITEM(values.get(), i);
        if (value != nullptr) setitem(globals(), PyList_GET_ITEM(names.get(), i), value);
    }
}

}  // namespace zrt
