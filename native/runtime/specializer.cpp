// The specializer's learning and generic paths (the kinds, their guards and the table are in
// specializer.hpp), and the registry lookup the catalog's validators make.
#include "module_api.hpp"

#include <algorithm>
#include <structmember.h>

namespace zrt::specializer {
namespace {

// How often a remembered fact may miss before it is learnt afresh (miss_counter_start() in CPython's
// Python/specialize.c), and the largest back-off, as a power of two, of a place where nothing could
// be remembered (MAX_BACKOFF_VALUE in Include/internal/pycore_code.h).
constexpr std::uint16_t misses_before_relearning = 53;
constexpr int max_backoff = 12;

// Whether a use whose fact did not hold is the one to learn afresh from.
bool due(Fact& fact) noexcept { return fact.wait == 0 || (--fact.wait, false); }

// Puts what was learnt in place of the fact: a fact to remember, or none (the back-off grows).
void learn(Fact& fact, Fact learnt) noexcept {
    if (learnt.kind == Kind::none) {
        learnt.backoff = static_cast<std::uint8_t>(std::min(fact.kind == Kind::none ? fact.backoff + 1 : 1, max_backoff));
        learnt.wait = static_cast<std::uint16_t>((1u << learnt.backoff) - 1);
    } else {
        learnt.wait = misses_before_relearning;
    }
    PyObject* held = fact.kind == Kind::class_method ? fact.object : nullptr;
    fact = learnt;
    Py_XDECREF(held);
}

// What a type holds of a name, as the interpreter classifies it before remembering an attribute
// access (analyze_descriptor in Python/specialize.c).
enum class OnType {
    absent,       // nothing: the instance's own value, if any
    plain,        // a value that is no descriptor, or a non-data descriptor other than a method
    method,       // a method descriptor (Py_TPFLAGS_METHOD_DESCRIPTOR: a function, a C method)
    object_slot,  // a slot (__slots__) holding any object
    other,        // a data descriptor (property, other slots), a descriptor of a mutable class, or a
                  // type whose attribute access is its own: nothing is remembered
};

struct Analysis {
    OnType what = OnType::other;
    PyObject* found = nullptr;  // borrowed
    unsigned int version = 0;   // the type's version before the lookup; 0 is never remembered
};

// _PyType_Lookup, with the type's version before the lookup: 0 when the type has no valid version,
// or when the lookup ran code (a class dict key whose __eq__ is code) that changed the type, so that
// what it found may be gone.
Analysis lookup(PyTypeObject* type, PyObject* name) {
    const auto valid = [type] { return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG); };
    const unsigned int version = valid() ? type->tp_version_tag : 0;
    PyObject* found = _PyType_Lookup(type, name);
    return {OnType::other, found, valid() && type->tp_version_tag == version ? version : 0};
}

Analysis analyze(PyTypeObject* type, PyObject* name, bool store) {
    if (store ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr) return {};
    Analysis analysis = lookup(type, name);
    if (analysis.version == 0) return {};
    if (analysis.found == nullptr) {
        analysis.what = OnType::absent;
        return analysis;
    }
    PyTypeObject* kind = Py_TYPE(analysis.found);
    // A descriptor whose class can change could become a data descriptor without the type changing.
    if (!PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE)) return {};
    if (kind->tp_descr_set != nullptr) {
        const bool slot = kind == &PyMemberDescr_Type &&
                          reinterpret_cast<PyMemberDescrObject*>(analysis.found)->d_member->type == T_OBJECT_EX;
        analysis.what = slot ? OnType::object_slot : OnType::other;
    } else {
        analysis.what = PyType_HasFeature(kind, Py_TPFLAGS_METHOD_DESCRIPTOR) ? OnType::method : OnType::plain;
    }
    return analysis;
}

// Reading `name` from the object's own values, what a load finds there when the type has nothing
// that takes precedence: an inline value, or an entry of its dict (a module's included).
Fact own_value(PyObject* obj, PyTypeObject* type, unsigned int version, PyObject* name) {
    if (!cpython::mirrors_usable()) return {};
    Fact fact{.version = version, .type = type};
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && cpython::inline_values(obj) != nullptr) {
        fact.kind = Kind::inline_value;
        fact.index = cpython::shared_key_index(type, name);
    } else if (PyObject* dict = own_dict(obj, type); dict != nullptr && PyDict_CheckExact(dict)) {
        fact.kind = Kind::dict_entry;
        fact.index = cpython::entry_index(dict, name);
    }
    return fact.index >= 0 ? fact : Fact{};
}

Fact learnt_load(PyObject* obj, PyObject* name) {
    if (PyModule_CheckExact(obj)) {
        // A module's attribute is its dict's entry (LOAD_ATTR_MODULE) when ModuleType, a builtin class
        // that never changes, has nothing of that name.
        const Analysis analysis = lookup(&PyModule_Type, name);
        return analysis.version != 0 && analysis.found == nullptr ? own_value(obj, &PyModule_Type, analysis.version, name)
                                                                  : Fact{};
    }
    PyTypeObject* type = Py_TYPE(obj);
    const Analysis analysis = analyze(type, name, false);
    if (analysis.what == OnType::absent || analysis.what == OnType::plain) {
        return own_value(obj, type, analysis.version, name);
    }
    if (analysis.what != OnType::object_slot) return {};
    // A slot of the object's class (LOAD_ATTR_SLOT), read at its offset. An object that is no instance
    // of the slot's class (the descriptor reached a class by assignment) and an audited slot take the
    // generic path.
    const auto* descriptor = reinterpret_cast<PyMemberDescrObject*>(analysis.found);
    if (!PyObject_TypeCheck(obj, descriptor->d_common.d_type) || (descriptor->d_member->flags & READ_RESTRICTED) != 0) {
        return {};
    }
    return {.kind = Kind::slot, .version = analysis.version, .type = type, .index = descriptor->d_member->offset};
}

Fact learnt_class_method(PyObject* obj, PyObject* name) {
    // A classmethod of a builtin class (`datetime.now`) whose metaclass is `type` and has nothing of
    // that name: the bound method the lookup gives, under the class's version. Calling it is calling a
    // fresh one, and it holds only the class, which lives as long as the process.
    auto* cls = reinterpret_cast<PyTypeObject*>(obj);
    if (!PyType_CheckExact(obj) || PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) ||
        !PyType_HasFeature(cls, Py_TPFLAGS_IMMUTABLETYPE) || _PyType_Lookup(&PyType_Type, name) != nullptr) {
        return {};
    }
    const Analysis analysis = lookup(cls, name);
    if (analysis.version == 0 || analysis.found == nullptr || !Py_IS_TYPE(analysis.found, &PyClassMethodDescr_Type)) return {};
    PyObject* bound = PyObject_GetAttr(obj, name);
    if (bound == nullptr) {
        PyErr_Clear();  // the generic path raises it
        return {};
    }
    return {.kind = Kind::class_method, .version = analysis.version, .type = cls, .object = bound};
}

Fact learnt_method(PyObject* obj, PyObject* name) {
    if (PyType_Check(obj)) return learnt_class_method(obj, name);
    PyTypeObject* type = Py_TYPE(obj);
    const Analysis analysis = PyModule_CheckExact(obj) ? Analysis{} : analyze(type, name, false);
    if (analysis.what != OnType::method) return learnt_load(obj, name);  // the attribute's value, called
    // A method on the type, called with the instance in front while the instance cannot have a value
    // of that name: it has no dict (LOAD_METHOD_NO_DICT), or inline values and its class's shared keys
    // lack the name (LOAD_METHOD_WITH_VALUES).
    Fact fact{.kind = Kind::method, .version = analysis.version, .type = type, .index = -1, .object = analysis.found};
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        if (!cpython::mirrors_usable() || cpython::inline_values(obj) == nullptr) return {};
        if (cpython::shared_key_index(type, name) >= 0) return {};  // the instance may hold a value of that name
        fact.index = cpython::shared_key_count(type);
    } else if (type->tp_dictoffset != 0) {
        return {};  // a dict that may hold the name: the generic path looks
    }
    return fact;
}

Fact learnt_store(PyObject* obj, PyObject* name) {
    // Only a value inline in the instance, under a key its class's shared keys hold already
    // (STORE_ATTR_INSTANCE_VALUE), the type having nothing of that name that takes precedence.
    PyTypeObject* type = Py_TYPE(obj);
    const Analysis analysis = analyze(type, name, true);
    if (analysis.what != OnType::absent && analysis.what != OnType::plain) return {};
    const Fact fact = own_value(obj, type, analysis.version, name);
    return fact.kind == Kind::inline_value ? fact : Fact{};
}

Fact learnt_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    // Only for exact dicts whose keys are all str, so that no lookup the guards stand for could have
    // run code; each version taken before the lookup.
    if (!cpython::mirrors_usable() || !PyDict_CheckExact(builtins) || !cpython::str_keys_only(globals) ||
        !cpython::str_keys_only(builtins)) {
        return {};
    }
    Fact fact{.kind = Kind::module_global, .globals_version = cpython::dict_version(globals),
              .builtins_version = cpython::dict_version(builtins)};
    fact.object = PyDict_GetItemWithError(globals, name);
    if (fact.object == nullptr) {
        fact.kind = Kind::builtin;
        fact.object = PyDict_GetItemWithError(builtins, name);
    }
    if (fact.object == nullptr) PyErr_Clear();
    return fact.object != nullptr ? fact : Fact{};
}

[[gnu::cold]] PyObject* name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // As the interpreter does, the exception carries the name, for the traceback's suggestions.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && PyObject_SetAttrString(value, "name", name) < 0) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

// mapping[name] of the module dict or the builtins, or null, without an exception when it is missing.
PyObject* find(PyObject* mapping, PyObject* name) {
    if (PyDict_CheckExact(mapping)) return Py_XNewRef(PyDict_GetItemWithError(mapping, name));
    PyObject* value = PyObject_GetItem(mapping, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    return value;
}

}  // namespace

PyObject* load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* value = find(globals, name);
    if (value == nullptr && !PyErr_Occurred()) value = find(builtins, name);
    return value != nullptr || PyErr_Occurred() ? value : name_error(name);
}

PyObject* global(PyObject* globals, PyObject* builtins, Fact& fact, PyObject* name) {
    if (due(fact)) {
        learn(fact, learnt_global(globals, builtins, name));
        if (PyObject* value = remembered_global(globals, builtins, fact)) return Py_NewRef(value);
    }
    return load_global(globals, builtins, name);
}

PyObject* load(PyObject* obj, Fact& fact, PyObject* name) {
    if (due(fact)) {
        learn(fact, learnt_load(obj, name));
        if (PyObject* value = remembered_load(obj, fact, name)) return Py_NewRef(value);
    }
    return PyObject_GetAttr(obj, name);
}

PyObject* method(PyObject* obj, Fact& fact, PyObject* name, bool& with_self) {
    if (due(fact)) {
        learn(fact, learnt_method(obj, name));
        if (PyObject* callable = remembered_method(obj, fact, name, with_self)) return Py_NewRef(callable);
    }
    PyObject* callable = nullptr;
    with_self = _PyObject_GetMethod(obj, name, &callable) != 0;
    return callable;
}

int store(PyObject* obj, Fact& fact, PyObject* name, PyObject* value) {
    // Stored the generic way, then learnt from for the next store: a new attribute's key is in its
    // class's shared keys only after its first store.
    if (PyObject_SetAttr(obj, name, value) < 0) return -1;
    if (due(fact)) learn(fact, learnt_store(obj, name));
    return 0;
}

}  // namespace zrt::specializer

namespace zrt {

Ref call_method_lookup(PyObject* obj, const Name& name, PyObject* key, Py_ssize_t& entry) {
    bool with_self;
    Ref callable = find_method(obj, name, with_self);
    if (with_self) {
        PyObject* stack[] = {obj, key};
        return check(specializer::call_with_self(callable, stack, 2));
    }
    // The bound `__getitem__` of a dict (a subclass's included: its own __getitem__ would be another
    // callable), whose C function is the dict's subscript, with str keys alone, and an exact str key:
    // no code can run in the lookup.
    if (PyUnicode_CheckExact(key) && Py_IS_TYPE(callable.get(), &PyCFunction_Type)) {
        PyObject* mapping = PyCFunction_GET_SELF(callable.get());
        if (mapping != nullptr && PyDict_Check(mapping) && PyCFunction_GET_FUNCTION(callable.get()) == PyDict_Type.tp_as_mapping->mp_subscript &&
            cpython::mirrors_usable() && cpython::str_keys_only(mapping)) {
            if (PyObject* value = cpython::entry_value(mapping, entry, key)) return Ref::borrow(value);
            if (PyObject* value = PyDict_GetItemWithError(mapping, key)) {
                entry = cpython::entry_index(mapping, key);
                return Ref::borrow(value);
            }
            if (PyErr_Occurred()) fail();
        }
    }
    return call(callable, {key});
}

}  // namespace zrt
