// Errors, calls, module globals and imports.
#include "zorvia_runtime.hpp"

#include <cstdarg>
#include <structmember.h>
#include <vector>

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

PyObject* Name::make() const {
    object_ = check(PyUnicode_InternFromString(text_)).release();
    return object_;
}

PyObject* Int::make() const {
    object_ = check(PyLong_FromLong(value_)).release();
    return object_;
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

bool has_only_str_keys(PyObject* dict) noexcept {
    Py_ssize_t position = 0;
    PyObject* key;
    while (PyDict_Next(dict, &position, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Inline values
//
// CPython 3.11 keeps the attributes of a class instance whose __dict__ was never made in an
// array of values beside the object, in the order of the class's shared keys; the interpreter
// reads and writes them by index under the type's version. The keys' layout is not part of the
// C API, so it is mirrored here and checked once on a real instance before it is relied on.

namespace {

// The head of a dict's keys object (its hash table and then its entries follow).
struct KeysHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(KeysHead) == 4 * sizeof(Py_ssize_t));
constexpr std::uint8_t split_keys_kind = 2;
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

// The index of `name` (by identity) in the shared keys of `type`, or -1.
Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) noexcept {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return -1;
    const auto* keys = reinterpret_cast<const KeysHead*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (keys == nullptr || keys->kind != split_keys_kind) return -1;
    const char* indices = reinterpret_cast<const char*>(keys + 1);
    const auto* entries = reinterpret_cast<const UnicodeEntry*>(indices + (std::size_t{1} << keys->log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        if (entries[i].key == name) return i;
    }
    return -1;
}

// Whether instances of a plain class are laid out as mirrored above: two attributes set the
// generic way are found at their indices, with their insertion order, and read back by index.
bool inline_layout_checked() {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    try {
        Ref cls = make_class(str("InlineValuesProbe"), "zorvia", {});
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return false;
        Ref obj = call(cls);
        Ref first = check(PyUnicode_InternFromString("first_probe_attribute"));
        Ref second = check(PyUnicode_InternFromString("second_probe_attribute"));
        Ref one = integer(1001);
        Ref two = integer(1002);
        setattr(obj, first, one);
        setattr(obj, second, two);
        PyObject** values = inline_values(obj);
        if (values == nullptr || managed_dict(obj) != nullptr) return false;
        const auto* order = reinterpret_cast<const std::uint8_t*>(values);
        return shared_key_index(type, first) == 0 && shared_key_index(type, second) == 1 && values[0] == one.get() &&
               values[1] == two.get() && order[-2] == 2 && order[-3] == 0 && order[-4] == 1;
    } catch (const Error&) {
        PyErr_Clear();
        return false;
    }
#else
    return false;
#endif
}

bool inline_layout_known() {
    static const bool known = inline_layout_checked();
    return known;
}

}  // namespace

bool store_inline_value(PyObject** values, Py_ssize_t index, PyObject* value) noexcept {
    PyObject* old = values[index];
    if (old == nullptr) {
        // [-1] is the size of the prefix, [-2] the count of values set, and before it their order.
        auto* order = reinterpret_cast<std::uint8_t*>(values);
        const int count = order[-2];
        if (count + 2 >= order[-1]) return false;
        order[-3 - count] = static_cast<std::uint8_t>(index);
        order[-2] = static_cast<std::uint8_t>(count + 1);
        values[index] = Py_NewRef(value);
        return true;
    }
    values[index] = Py_NewRef(value);
    Py_DECREF(old);
    return true;
}

// The attribute without a remembered fact: looked up, and remembered when it is a slot, an
// inline value or an entry of the instance's (or module's) dict, under the guards the interpreter
// uses for the same read: the type's version taken before the lookup, and for a slot the
// descriptor's owner.
[[gnu::noinline]] Ref getattr_learning(PyObject* obj, const Attr& attr) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr || type == &PyModule_Type) {
        unsigned int version;
        PyObject* descriptor = type_lookup(type, attr, version);
        if (version == 0) return check(PyObject_GetAttr(obj, attr));
        if (descriptor != nullptr && Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
            // Plain attribute lookup that ends at a slot's member descriptor reads the slot: a
            // member descriptor is a data descriptor, so it takes precedence over the instance
            // dict. The slot belongs to the descriptor's own class: an object that is not an
            // instance of it (the descriptor reached a class by assignment) takes the generic path,
            // which raises the descriptor's TypeError.
            PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
            if (member->type == T_OBJECT_EX && (member->flags & READ_RESTRICTED) == 0 &&
                PyObject_TypeCheck(obj, PyDescr_TYPE(descriptor))) {
                attr.slot_offsets_.store(type, version, member->offset);
                PyObject* value = slot_at(obj, member->offset);
                if (value != nullptr) return Ref::borrow(value);
            }
        } else if (descriptor == nullptr) {
            // Nothing of that name on the type: plain lookup reads the instance's own values.
            PyObject** values = PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) ? inline_values(obj) : nullptr;
            if (values != nullptr) {
                const Py_ssize_t index = inline_layout_known() ? shared_key_index(type, attr) : -1;
                if (index >= 0 && values[index] != nullptr) {
                    attr.instance_value_ = {type, version, index, nullptr, 0, nullptr};
                    return Ref::borrow(values[index]);
                }
            } else if (PyObject* dict = instance_dict(obj); dict != nullptr && PyDict_CheckExact(dict) && has_only_str_keys(dict)) {
                const std::uint64_t dict_tag = dict_version(dict);
                PyObject* value = PyDict_GetItemWithError(dict, attr);  // runs no code: str keys alone
                if (value != nullptr) {
                    attr.instance_value_ = {type, version, -1, dict, dict_tag, value};
                    return Ref::borrow(value);
                }
                if (PyErr_Occurred()) fail();
            }
        }
    }
    return check(PyObject_GetAttr(obj, attr));
}

// The store without a remembered index: made, and remembered when it was the store of an inline
// value under a key the class's shared keys hold, with nothing of that name on the type (the
// type's version taken before the lookup), as the interpreter remembers it.
[[gnu::noinline]] void setattr_learning(PyObject* obj, const Attr& attr, PyObject* value) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_setattro == PyObject_GenericSetAttr && PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) &&
        inline_layout_known()) {
        unsigned int version;
        if (type_lookup(type, attr, version) == nullptr && version != 0) {
            if (PyObject** values = inline_values(obj)) {
                const Py_ssize_t index = shared_key_index(type, attr);
                if (index >= 0 && store_inline_value(values, index, value)) {
                    attr.inline_store_ = {type, version, index};
                    return;
                }
            }
        }
    }
    check_status(PyObject_SetAttr(obj, attr, value));
}

PyObject* bound_class_method(PyTypeObject* type, const ClassMethodName& name) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return nullptr;
    // `type` itself is builtin too: what it holds of that name, if anything, never changes.
    if (_PyType_Lookup(&PyType_Type, name) != nullptr) return nullptr;
    unsigned int version;
    PyObject* descriptor = type_lookup(type, name, version);
    if (version == 0 || descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyClassMethodDescr_Type)) return nullptr;
    PyObject* bound = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
    if (bound == nullptr) fail();
    Py_XSETREF(name.bound_, bound);
    name.type_ = type;
    name.version_ = version;
    return bound;
}

Ref make_class(PyObject* name, const char* module, std::initializer_list<std::pair<const char*, PyObject*>> members) {
    Ref ns = check(PyDict_New());
    check_status(PyDict_SetItemString(ns, "__module__", str(module)));
    check_status(PyDict_SetItemString(ns, "__qualname__", name));
    for (const auto& [key, value] : members) check_status(PyDict_SetItemString(ns, key, value));
    Ref bases = tuple({});
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {name, bases, ns});
}

PyObject* DictLookups::find_and_remember(PyObject* mapping, PyObject* key) const {
    // Only small dicts (registries by name) are remembered: remembering means reading every key.
    // A lookup that could run code (a key that is not an exact str) is left to the call, so
    // that it runs once.
    constexpr Py_ssize_t max_remembered_size = 64;
    if (!PyUnicode_CheckExact(key) || PyDict_GET_SIZE(mapping) > max_remembered_size || !has_only_str_keys(mapping)) {
        return nullptr;
    }
    const std::uint64_t version = dict_version(mapping);
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) fail();
        return nullptr;
    }
    DictLookup* set = set_of(address_of(mapping, key));
    const DictLookup forgotten =
        make_first_place(set, [=](const DictLookup& entry) { return entry.mapping == mapping && entry.key == key; });
    Ref forgotten_key = Ref::steal(forgotten.key);
    set[0] = {mapping, version, Py_NewRef(key), value};
    return value;
}

PyCFunction find_dict_getitem_function() {
    PyObject* descriptor = PyDict_GetItemString(PyDict_Type.tp_dict, "__getitem__");
    return descriptor != nullptr && Py_IS_TYPE(descriptor, &PyMethodDescr_Type)
               ? reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method->ml_meth
               : nullptr;
}

namespace {

// Looks `name` up in the globals, then the builtins; `in_builtins` tells where it was found.
PyObject* lookup(PyObject* globals, PyObject* builtins, PyObject* name, bool& in_builtins) {
    in_builtins = false;
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) return value;
    if (PyErr_Occurred()) fail();
    in_builtins = true;
    value = PyDict_GetItemWithError(builtins, name);
    if (value != nullptr) return value;
    if (PyErr_Occurred()) fail();
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref Scope::global(PyObject* name) const {
    bool in_builtins;
    return Ref::borrow(lookup(globals_, builtins_, name, in_builtins));
}

Ref Scope::lookup_and_remember(const Global& name) const {
    // The versions of the state the lookup reads, taken before it; and only a lookup that can run
    // no code (exact dicts whose keys are all exact str) is remembered.
    const std::uint64_t globals_version = dict_version(globals_);
    const std::uint64_t builtins_version = dict_version(builtins_);
    const bool rememberable = PyDict_CheckExact(globals_) && PyDict_CheckExact(builtins_) &&
                              has_only_str_keys(globals_) && has_only_str_keys(builtins_);
    bool in_builtins;
    PyObject* value = lookup(globals_, builtins_, name, in_builtins);
    if (rememberable) {
        name.globals_ = globals_;
        name.globals_version_ = globals_version;
        name.builtins_ = in_builtins ? builtins_ : nullptr;
        name.builtins_version_ = in_builtins ? builtins_version : 0;
        name.value_ = value;
    }
    return Ref::borrow(value);
}

Ref import_module(const Scope& scope, const char* name, PyObject* fromlist, int level) {
    Ref module_name = str(name);
    return check(PyImport_ImportModuleLevelObject(module_name, scope.globals(), nullptr, fromlist, level));
}

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
    static const Name all{"__all__"};
    static const Name dict_name{"__dict__"};
    Ref star = str("*");
    Ref fromlist = list({star.get()});
    Ref imported = import_module(*this, module, fromlist, level);

    // The names: __all__, or the public keys of __dict__.
    bool skip_private = false;
    PyObject* names_obj = PyObject_GetAttr(imported, all);
    if (names_obj == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        names_obj = PyObject_GetAttr(imported, dict_name);
        if (names_obj == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
            PyErr_Clear();
            raise(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        }
        skip_private = true;
    }
    Ref names_source = Ref::steal(names_obj);
    Ref names = check(PySequence_List(names_source));

    // Fetch every value first, so that a missing name binds none of them.
    std::vector<Ref> values;
    values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(names.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        if (skip_private && PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 &&
            PyUnicode_READ_CHAR(name, 0) == '_') {
            values.emplace_back();
            continue;
        }
        values.push_back(getattr(imported, name));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref& value = values[static_cast<std::size_t>(i)];
        if (value) setitem(globals(), PyList_GET_ITEM(names.get(), i), value);
    }
}

}  // namespace zrt
