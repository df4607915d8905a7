// The specializer: what the runtime remembers about the objects module code reads, and the guards
// under which it uses what it remembered, built the way CPython 3.11 builds its own
// (Python/specialize.c, and the specialized instructions in Python/ceval.c).
//
// Each module-level name and attribute name (a `Name`) remembers one fact per operation: reading it
// as a global, reading it as an attribute, calling it as a method, storing it. A fact is learnt from
// one classification of what a type holds of the name (`analyze`, CPython's analyze_descriptor) and
// is one of the kinds below. Its guard, written once in `remembered_*`, is checked at every use; when
// it holds, the fact gives what the generic lookup would give, and no code can run in between.
//
// | kind          | guard (checked at every use)              | invalidated by                   | changed by (tests/test_runtime_guards.py)   |
// |---------------|-------------------------------------------|----------------------------------|---------------------------------------------|
// | module_global | the module dict unchanged (its version)   | any change of the module dict    | GlobalsMachine.bind_global,                 |
// |               |                                           |                                  | GlobalsMachine.delete_global,               |
// |               |                                           |                                  | test_a_key_with_code_in_the_module_globals  |
// | builtin       | the module dict and the builtins          | any change of either             | GlobalsMachine.bind_builtin,                |
// |               | unchanged (their versions)                |                                  | GlobalsMachine.delete_builtin,              |
// |               |                                           |                                  | GlobalsMachine.key_with_code_in_builtins    |
// | slot          | the type and its version; the slot is set | any change of the type or a base | AttributeMachine.class_gains,               |
// |               |                                           |                                  | AttributeMachine.class_loses,               |
// |               |                                           |                                  | test_member_descriptor_of_another_class     |
// | inline_value  | the type and its version; the values      | a change of the type; the        | InstanceMachine.class_gains,                |
// |               | inline (no __dict__ made); a load needs   | instance's __dict__ made; the    | InstanceMachine.swap_class,                 |
// |               | entry `index` set                         | value deleted                    | InstanceMachine.delete_from_instance        |
// | dict_entry    | the type and its version; the object's    | a change of the type; deleting   | AttributeMachine.set_in_dict_in_place,      |
// |               | dict (a module's too) holds the name at   | or moving the name; a key that   | AttributeMachine.swap_instance_dict,        |
// |               | entry `index`                             | is not a str                     | SchemaModuleMachine.delete                  |
// | method        | the type and its version; the instance    | a change of the type; a __dict__ | InstanceMachine.service_class_changes,      |
// |               | has no dict, or has inline values and the | made; a new attribute name in    | InstanceMachine.service_instance_changes    |
// |               | class's shared keys are as they were      | the class's shared keys          |                                             |
// | class_method  | the very class (a builtin one whose       | a change of the class (never, for| InstanceMachine.clock                       |
// |               | metaclass is `type`) and its version      | a builtin class)                 |                                             |
//
// `none` is the kind of a name that is not (or not yet, or not now) remembered: every use takes the
// generic path. As the interpreter backs off, a fact that keeps missing is learnt afresh only after
// `misses_before_relearning` misses, and a place where nothing can be remembered is tried again only
// after an exponentially growing number of uses.
#pragma once

#include "cpython311.hpp"

#include <cstddef>
#include <cstdint>

namespace zrt::specializer {

enum class Kind : std::uint8_t { none, module_global, builtin, slot, inline_value, dict_entry, method, class_method };

// One remembered fact: its kind and what its guard compares.
struct Fact {
    Kind kind = Kind::none;
    std::uint8_t backoff = 0;      // log2 of the wait after the last failure to learn
    std::uint16_t wait = 0;        // misses left before learning afresh, or uses left before trying again
    unsigned int version = 0;      // the type's version (never 0 once remembered)
    PyTypeObject* type = nullptr;  // the type the fact is about
    Py_ssize_t index = 0;          // slot offset, inline value or dict entry; method: the count of the
                                   // class's shared keys, or -1 for instances without a dict
    std::uint64_t globals_version = 0;   // module_global, builtin: the module dict's version
    std::uint64_t builtins_version = 0;  // builtin: the builtins' version
    PyObject* object = nullptr;    // module_global, builtin: the value (borrowed, its dict holds it);
                                   // method: the descriptor (borrowed, the type holds it);
                                   // class_method: the bound method (held)
};

// The facts of one name, one per operation.
struct Facts {
    Fact global, load, method, store;
};

// ---------------------------------------------------------------------------------------
// The guards

// An object's own dict, if it has one made, without making it.
inline PyObject* own_dict(PyObject* obj, PyTypeObject* type) noexcept {
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return cpython::managed_dict(obj);
    return type->tp_dictoffset > 0 ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset)
                                   : nullptr;
}

inline bool same_type(PyTypeObject* type, const Fact& fact) noexcept { return type == fact.type && type->tp_version_tag == fact.version; }

// The value `globals[name]`, else `builtins[name]`, if the fact holds; else null. As CPython 3.10's
// LOAD_GLOBAL cache kept it (Python/ceval.c): the value found, while neither dict has changed.
inline PyObject* remembered_global(PyObject* globals, PyObject* builtins, const Fact& fact) noexcept {
    if (fact.kind == Kind::none || cpython::dict_version(globals) != fact.globals_version) return nullptr;
    if (fact.kind == Kind::module_global) return fact.object;
    return PyDict_CheckExact(builtins) && cpython::dict_version(builtins) == fact.builtins_version ? fact.object : nullptr;
}

// The value `obj.name` if the fact holds; else null.
inline PyObject* remembered_load(PyObject* obj, const Fact& fact, PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (!same_type(type, fact)) return nullptr;
    switch (fact.kind) {
    case Kind::slot:
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + fact.index);
    case Kind::inline_value: {
        PyObject** values = cpython::inline_values(obj);
        return values != nullptr ? values[fact.index] : nullptr;
    }
    case Kind::dict_entry:
        return cpython::entry_value(own_dict(obj, type), fact.index, name);
    default:
        return nullptr;
    }
}

// Makes `obj.name = value` if the fact holds, and tells whether it did.
inline bool remembered_store(PyObject* obj, const Fact& fact, PyObject* value) noexcept {
    if (fact.kind != Kind::inline_value || !same_type(Py_TYPE(obj), fact)) return false;
    PyObject** values = cpython::inline_values(obj);
    return values != nullptr && cpython::store_inline_value(values, fact.index, value);
}

// What `obj.name(...)` calls if the fact holds; else null. `with_self` tells whether `obj` goes in
// front of the arguments (a method found on the type).
inline PyObject* remembered_method(PyObject* obj, const Fact& fact, PyObject* name, bool& with_self) noexcept {
    with_self = false;
    PyTypeObject* type = Py_TYPE(obj);
    switch (fact.kind) {
    case Kind::method:
        if (!same_type(type, fact)) return nullptr;
        // Instances without a dict (-1), or inline values and the class's shared keys as they were.
        if (fact.index >= 0 && (cpython::inline_values(obj) == nullptr || cpython::shared_key_count(type) != fact.index)) {
            return nullptr;
        }
        with_self = true;
        return fact.object;
    case Kind::class_method:
        return obj == reinterpret_cast<PyObject*>(fact.type) && fact.type->tp_version_tag == fact.version ? fact.object : nullptr;
    default:
        return remembered_load(obj, fact, name);
    }
}

// callable(self, *args) for a method found on a type (stack[0] is self), called as the interpreter
// calls one: a C method taking its arguments in an array (METH_FASTCALL, METH_O, METH_NOARGS) is
// called directly, as the PRECALL_NO_KW_METHOD_DESCRIPTOR_* instructions call it (Python/ceval.c).
inline PyObject* call_with_self(PyObject* callable, PyObject* const* stack, std::size_t n) {
    if (Py_IS_TYPE(callable, &PyMethodDescr_Type)) {
        auto* descriptor = reinterpret_cast<PyMethodDescrObject*>(callable);
        const PyMethodDef* method = descriptor->d_method;
        const auto nargs = static_cast<Py_ssize_t>(n - 1);
        if (Py_IS_TYPE(stack[0], descriptor->d_common.d_type)) {
            if (method->ml_flags == METH_FASTCALL) {
                return reinterpret_cast<_PyCFunctionFast>(reinterpret_cast<void (*)()>(method->ml_meth))(stack[0], stack + 1, nargs);
            }
            if ((method->ml_flags == METH_NOARGS && nargs == 0) || (method->ml_flags == METH_O && nargs == 1)) {
                return method->ml_meth(stack[0], nargs == 0 ? nullptr : stack[1]);
            }
        }
    }
    return PyObject_Vectorcall(callable, stack, n, nullptr);
}

// ---------------------------------------------------------------------------------------
// The generic paths (specializer.cpp), for uses whose fact did not hold. Each counts the miss and,
// when it is time to, learns the fact afresh from what it finds. They return a new reference (or 0)
// on success, null (or -1) with the exception set on failure.

PyObject* global(PyObject* globals, PyObject* builtins, Fact& fact, PyObject* name);
PyObject* load(PyObject* obj, Fact& fact, PyObject* name);
PyObject* method(PyObject* obj, Fact& fact, PyObject* name, bool& with_self);
int store(PyObject* obj, Fact& fact, PyObject* name, PyObject* value);

// The module-level name `name` as LOAD_GLOBAL finds it, without remembering: the module dict, then
// the builtins; NameError "name '%U' is not defined" (with its `name`) when neither has it.
PyObject* load_global(PyObject* globals, PyObject* builtins, PyObject* name);

}  // namespace zrt::specializer
