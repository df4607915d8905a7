// The CPython internals the runtime reads that are not part of the C API, in one fenced place.
//
// Each mirror names the CPython 3.11 source it copies. They are compiled only for CPython 3.11, and
// used only when the running interpreter is a 3.11 (`mirrors_usable`). On any other version the
// stubs below find nothing, so nothing is remembered through them and every access takes the generic
// path. The state machines of tests/test_runtime_guards.py read and write through every mirror.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace zrt::cpython {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000

inline bool mirrors_usable() noexcept { return (Py_Version >> 16) == (PY_VERSION_HEX >> 16); }

// Include/internal/pycore_dict.h: the head of `struct _dictkeysobject`. Its hash table of
// 1 << log2_index_bytes bytes follows, then the entries.
struct DictKeys {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;  // DictKeysKind: every key of keys that are not DICT_KEYS_GENERAL is an exact str
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(DictKeys) == 4 * sizeof(Py_ssize_t));
inline constexpr std::uint8_t dict_keys_general = 0;

// PyDictUnicodeEntry, the entries of keys that are not DICT_KEYS_GENERAL (DK_UNICODE_ENTRIES).
struct UnicodeEntry {
    PyObject* key;    // null once deleted
    PyObject* value;  // null in split keys, whose values each dict keeps apart (ma_values)
};

inline const DictKeys* keys_of(PyObject* dict) noexcept {
    return reinterpret_cast<const DictKeys*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

inline const UnicodeEntry* unicode_entries(const DictKeys* keys) noexcept {
    const char* indices = reinterpret_cast<const char*>(keys + 1);
    return reinterpret_cast<const UnicodeEntry*>(indices + (std::size_t{1} << keys->log2_index_bytes));
}

// Whether every key of an exact dict is an exact str: a lookup by an exact str then compares no key
// whose __eq__ is code.
inline bool str_keys_only(PyObject* dict) noexcept { return keys_of(dict)->kind != dict_keys_general; }

// What entry `index` of `dict` (a dict, or a subclass's instance) holds when the entry's key is `name`
// itself, else null, as LOAD_ATTR_WITH_HINT reads it (Python/ceval.c). Read from the dict as it is
// now, it is what the dict holds for `name`: a key stands in at most one live entry.
inline PyObject* entry_value(PyObject* dict, Py_ssize_t index, PyObject* name) noexcept {
    if (dict == nullptr || !PyDict_Check(dict)) return nullptr;
    const DictKeys* keys = keys_of(dict);
    if (keys->kind == dict_keys_general || static_cast<std::size_t>(index) >= static_cast<std::size_t>(keys->nentries) ||
        unicode_entries(keys)[index].key != name) {
        return nullptr;
    }
    auto* split_values = reinterpret_cast<PyObject**>(reinterpret_cast<PyDictObject*>(dict)->ma_values);
    return split_values != nullptr ? split_values[index] : unicode_entries(keys)[index].value;
}

// The entry of str-keyed `keys` whose key is `name` itself, or -1.
inline Py_ssize_t keys_index(const DictKeys* keys, PyObject* name) noexcept {
    if (keys == nullptr || keys->kind == dict_keys_general) return -1;
    const UnicodeEntry* entries = unicode_entries(keys);
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        if (entries[i].key == name) return i;
    }
    return -1;
}
inline Py_ssize_t entry_index(PyObject* dict, PyObject* name) noexcept { return keys_index(keys_of(dict), name); }

// The shared keys of a class whose instances keep their attributes inline (ht_cached_keys of
// PyHeapTypeObject, for a class with Py_TPFLAGS_MANAGED_DICT). They only ever grow: their count of
// entries tells whether a key was added. -1 when the class has none.
inline const DictKeys* shared_keys(PyTypeObject* type) noexcept {
    return reinterpret_cast<const DictKeys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
}
inline Py_ssize_t shared_key_count(PyTypeObject* type) noexcept {
    return shared_keys(type) != nullptr ? shared_keys(type)->nentries : -1;
}
inline Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) noexcept { return keys_index(shared_keys(type), name); }

// Include/internal/pycore_object.h: _PyObject_ValuesPointer and _PyObject_ManagedDictPointer, the
// two words before the GC header of an instance of a class with Py_TPFLAGS_MANAGED_DICT. Its values
// are inline, in the order of the class's shared keys, while its __dict__ was never made.
inline PyObject** inline_values(PyObject* obj) noexcept { return reinterpret_cast<PyObject***>(obj)[-4]; }
inline PyObject* managed_dict(PyObject* obj) noexcept { return reinterpret_cast<PyObject**>(obj)[-3]; }

// Stores `value` at `index` of inline values as STORE_ATTR_INSTANCE_VALUE does: a new value is
// appended to the insertion order (_PyDictValues_AddToInsertionOrder, pycore_dict.h: byte [-1] is the
// size of the prefix, [-2] the count of values set, and their order comes before it). False, having
// changed nothing, when the order has no room.
inline bool store_inline_value(PyObject** values, Py_ssize_t index, PyObject* value) noexcept {
    PyObject* old = values[index];
    if (old == nullptr) {
        auto* prefix = reinterpret_cast<std::uint8_t*>(values);
        const int count = prefix[-2];
        if (count + 2 >= prefix[-1]) return false;
        prefix[-3 - count] = static_cast<std::uint8_t>(index);
        prefix[-2] = static_cast<std::uint8_t>(count + 1);
    }
    values[index] = Py_NewRef(value);
    Py_XDECREF(old);
    return true;
}

// Include/cpython/dictobject.h: ma_version_tag, unique to each state of each dict (deprecated in 3.12).
inline std::uint64_t dict_version(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// Py_EnterRecursiveCall and Py_LeaveRecursiveCall on the thread's recursion budget
// (Include/cpython/pystate.h: recursion_remaining), for a caller that holds the GIL. Over budget,
// the interpreter's own call decides, with its RecursionError.
inline bool enter_recursive_call(PyThreadState* thread) noexcept {
    if (--thread->recursion_remaining >= 0) return true;
    ++thread->recursion_remaining;
    return Py_EnterRecursiveCall(" while calling a Python object") == 0;
}
inline void leave_recursive_call(PyThreadState* thread) noexcept { ++thread->recursion_remaining; }

#else

// Nothing is mirrored: nothing is found through these, so nothing is remembered by them.
inline bool mirrors_usable() noexcept { return false; }
inline bool str_keys_only(PyObject*) noexcept { return false; }
inline PyObject* entry_value(PyObject*, Py_ssize_t, PyObject*) noexcept { return nullptr; }
inline Py_ssize_t entry_index(PyObject*, PyObject*) noexcept { return -1; }
inline Py_ssize_t shared_key_count(PyTypeObject*) noexcept { return -1; }
inline Py_ssize_t shared_key_index(PyTypeObject*, PyObject*) noexcept { return -1; }
inline PyObject** inline_values(PyObject*) noexcept { return nullptr; }
inline PyObject* managed_dict(PyObject*) noexcept { return nullptr; }
inline bool store_inline_value(PyObject**, Py_ssize_t, PyObject*) noexcept { return false; }
inline std::uint64_t dict_version(PyObject*) noexcept { return 0; }
inline bool enter_recursive_call(PyThreadState*) noexcept { return Py_EnterRecursiveCall(" while calling a Python object") == 0; }
inline void leave_recursive_call(PyThreadState*) noexcept { Py_LeaveRecursiveCall(); }

#endif

}  // namespace zrt::cpython
