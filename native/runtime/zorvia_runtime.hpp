// The small runtime shared by zorvia's extension modules.
//
// It lets a module be written the way the Python module it replaces reads: functions that
// behave like Python functions (signature, defaults, annotations, binding, introspection),
// module globals looked up when they are used, `from X import ...`, and a module body that
// runs once per process.
//
// Error discipline: a failed C API call throws `Error` (the Python exception stays set);
// every entry point that CPython calls catches it and returns the error value. Owned
// references live in `Ref`, so every path out of a function releases what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <span>
#include <utility>

namespace zrt {

// ---------------------------------------------------------------------------------------
// Errors and references

// Thrown when a Python exception is set.
struct Error {};

[[noreturn]] inline void fail() { throw Error{}; }

// Sets `type` with a formatted message (PyErr_Format rules) and throws.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// The `raise X` statement: X is an exception class (instantiated without arguments) or an
// exception instance.
[[noreturn]] void raise_object(PyObject* exc);

// An owning, move-only reference. Borrowing is explicit: `get()` or the implicit conversion.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* o) noexcept {
        Ref r;
        r.p_ = o;
        return r;
    }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return steal(o);
    }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

// Takes over the result of a C API call that returns a new reference or null on error.
inline Ref check(PyObject* result) {
    if (result == nullptr) fail();
    return Ref::steal(result);
}

// For C API calls that return -1 on error.
inline int check_status(int status) {
    if (status < 0) fail();
    return status;
}

// ---------------------------------------------------------------------------------------
// Names and constants

// An interned string made on first use and kept for the life of the process (the module
// lifecycle guarantees a single interpreter).
class Name {
public:
    explicit constexpr Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const { return object_ != nullptr ? object_ : make(); }
    operator PyObject*() const { return get(); }
    const char* c_str() const noexcept { return text_; }

private:
    PyObject* make() const;
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// An int constant, made on first use and kept, as a compiled function keeps its constants.
class Int {
public:
    explicit constexpr Int(long value) noexcept : value_(value) {}
    Int(const Int&) = delete;
    Int& operator=(const Int&) = delete;

    PyObject* get() const { return object_ != nullptr ? object_ : make(); }
    operator PyObject*() const { return get(); }

private:
    PyObject* make() const;
    long value_;
    mutable PyObject* object_ = nullptr;
};

// A module-level name as functions use it. The last lookup is remembered together with the
// versions of the dictionaries it read, taken before it, and reused while neither has changed:
// the result is the one a fresh lookup would give. As the interpreter does, a lookup is
// remembered only when both dictionaries are exact dicts with exact `str` keys alone, so that
// no lookup that could run code is skipped.
class Global {
public:
    explicit constexpr Global(const char* text) noexcept : name_(text) {}
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;

    operator PyObject*() const { return name_.get(); }

private:
    friend class Scope;
    Name name_;
    mutable PyObject* globals_ = nullptr;   // the dictionaries of the remembered lookup
    mutable PyObject* builtins_ = nullptr;  // null when the value came from the globals
    mutable std::uint64_t globals_version_ = 0;
    mutable std::uint64_t builtins_version_ = 0;
    mutable PyObject* value_ = nullptr;     // borrowed: it stays in its dictionary while the versions hold
};

// The version of a dict: it changes whenever the dict is modified, and no two dicts share one.
inline std::uint64_t dict_version(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
// Whether every key of `dict` is an exact `str`: then a lookup by an exact `str` compares no
// object whose `__eq__` is user code, and so runs no code.
bool has_only_str_keys(PyObject* dict) noexcept;

// `_PyType_Lookup(type, name)`, with the version the type had before the lookup in `version`:
// 0 (which is never remembered) when the type has no valid version, or when the lookup changed
// the type (a class dict key with code of its own), in which case what it found may be gone.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name, unsigned int& version) {
    version = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    PyObject* found = _PyType_Lookup(type, name);
    if (type->tp_version_tag != version || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) version = 0;
    return found;
}

// The store of the remembered facts below: 32 sets of four places, a set chosen by a hash of
// addresses, so that things used together (often classes of one family, allocated alike) do
// not keep evicting one another.
template <typename Entry>
class FourWaySets {
protected:
    static constexpr std::size_t ways = 4;
    Entry* set_of(std::uintptr_t address) const noexcept {
        // Fibonacci hashing of the address.
        const auto hash = static_cast<std::uint64_t>(address) * 0x9E3779B97F4A7C15u;
        return &entries_[static_cast<std::size_t>(hash >> (64 - set_bits)) * ways];
    }
    // Makes the first place of `set` free for an entry that `same` recognises: the others move
    // down, and the one that falls out (the last, or the entry's own old place) is returned.
    template <typename Same>
    static Entry make_first_place(Entry* set, Same same) noexcept {
        std::size_t last = 0;
        while (last + 1 < ways && !same(set[last])) ++last;
        Entry forgotten = set[last];
        for (std::size_t way = last; way > 0; --way) set[way] = set[way - 1];
        return forgotten;
    }

private:
    static constexpr unsigned int set_bits = 5;
    mutable std::array<Entry, (std::size_t{1} << set_bits) * ways> entries_{};
};

// One fact about a type: the type, its version when the fact was learnt, the fact.
template <typename T>
struct TypeFact {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    T value{};
};

// Facts about types, each remembered with the version of the type it was learnt from, as the
// interpreter does for `obj.attr`: a type that changed since is looked at afresh.
template <typename T>
class TypeCache : FourWaySets<TypeFact<T>> {
    using Base = FourWaySets<TypeFact<T>>;

public:
    // The fact remembered for `type`, or null.
    const T* find(PyTypeObject* type) const noexcept {
        const TypeFact<T>* set = Base::set_of(reinterpret_cast<std::uintptr_t>(type));
        for (std::size_t way = 0; way < Base::ways; ++way) {
            const TypeFact<T>& entry = set[way];
            if (entry.type == type && entry.version != 0 && entry.version == type->tp_version_tag) return &entry.value;
        }
        return nullptr;
    }
    // Remembers `value` for `type` at `version`, the version the type had before the fact was
    // looked up (so that a lookup which changed the type leaves a fact that never matches). Version
    // 0, which no valid type has, is not remembered.
    void store(PyTypeObject* type, unsigned int version, T value) const noexcept {
        if (version == 0) return;
        TypeFact<T>* set = Base::set_of(reinterpret_cast<std::uintptr_t>(type));
        Base::make_first_place(set, [type](const TypeFact<T>& entry) { return entry.type == type; });
        set[0] = {type, version, value};
    }
};

// An attribute name for hot paths, for objects with plain attribute lookup. Each fact below is
// remembered under the guards the interpreter uses for the same `obj.attr` (the versions are the
// ones taken before the lookup, and a remembered type version is never 0):
// - a slot (`__slots__`) of a class the object is an instance of: read at its offset, under the
//   type's version;
// - a value kept inline in the object (a class instance whose __dict__ was never made), when the
//   type has nothing of that name: read at its index in the class's shared keys, under the type's
//   version alone, as the interpreter reads it;
// - an entry of the instance's __dict__ or of a module's dict, when the type has nothing of that
//   name and the dict has only `str` keys: the last value found, under the versions of the type
//   and of that dict.
// A store is remembered only as the inline value of a key the class's shared keys already hold,
// with nothing of that name on the type, under the type's version.
class Attr : public Name {
public:
    using Name::Name;

private:
    friend inline Ref getattr(PyObject* obj, const Attr& attr);
    friend Ref getattr_learning(PyObject* obj, const Attr& attr);
    friend inline void setattr(PyObject* obj, const Attr& attr, PyObject* value);
    friend void setattr_learning(PyObject* obj, const Attr& attr, PyObject* value);
    struct InstanceValue {
        PyTypeObject* type = nullptr;
        unsigned int type_version = 0;
        Py_ssize_t index = -1;       // the inline value's index, or -1 for a dict entry
        PyObject* dict = nullptr;
        std::uint64_t dict_tag = 0;
        PyObject* value = nullptr;  // borrowed: it stays in the dict while the versions hold
    };
    struct InlineStore {
        PyTypeObject* type = nullptr;
        unsigned int type_version = 0;
        Py_ssize_t index = -1;
    };
    TypeCache<Py_ssize_t> slot_offsets_;
    mutable InstanceValue instance_value_;
    mutable InlineStore inline_store_;
};

// A tuple of keyword names for vectorcall, made on first use and kept.
template <std::size_t N>
class Keywords {
public:
    template <typename... S>
    explicit constexpr Keywords(S... names) noexcept : names_{names...} {}
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;

    PyObject* get() const {
        if (tuple_ == nullptr) tuple_ = make_tuple().release();
        return tuple_;
    }

private:
    Ref make_tuple() const {
        Ref tuple = check(PyTuple_New(N));
        for (std::size_t i = 0; i < N; ++i) {
            PyObject* name = check(PyUnicode_InternFromString(names_[i])).release();
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
        }
        return tuple;
    }
    std::array<const char*, N> names_;
    mutable PyObject* tuple_ = nullptr;
};
template <typename... S>
Keywords(S...) -> Keywords<sizeof...(S)>;

inline Ref new_ref(PyObject* o) { return Ref::borrow(o); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref integer(long value) { return check(PyLong_FromLong(value)); }
inline Ref str(const char* text) { return check(PyUnicode_FromString(text)); }
Ref tuple(std::initializer_list<PyObject*> items);
Ref list(std::initializer_list<PyObject*> items);

// ---------------------------------------------------------------------------------------
// Object protocol

inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
// The object held in the slot at `offset` of `obj`, or null when the slot is empty.
inline PyObject* slot_at(PyObject* obj, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}
// The inline values of an instance of a class with a managed __dict__ (null once its __dict__
// was made), and that __dict__ (null while the values are inline): the two words before the
// object's GC header, as CPython 3.11 lays them out.
inline PyObject** inline_values(PyObject* obj) noexcept { return reinterpret_cast<PyObject***>(obj)[-4]; }
inline PyObject* managed_dict(PyObject* obj) noexcept { return reinterpret_cast<PyObject**>(obj)[-3]; }
// The object's __dict__ if it has one made, without making it.
inline PyObject* instance_dict(PyObject* obj) noexcept {
    if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)) return managed_dict(obj);
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot != nullptr ? *slot : nullptr;
}
Ref getattr_learning(PyObject* obj, const Attr& attr);
inline Ref getattr(PyObject* obj, const Attr& attr) {
    PyTypeObject* type = Py_TYPE(obj);
    const Attr::InstanceValue& remembered = attr.instance_value_;
    if (remembered.type == type && remembered.type_version == type->tp_version_tag) {
        if (remembered.index >= 0) {
            if (PyObject** values = inline_values(obj)) {
                if (PyObject* value = values[remembered.index]) return Ref::borrow(value);
            }
        } else if (instance_dict(obj) == remembered.dict && dict_version(remembered.dict) == remembered.dict_tag) {
            return Ref::borrow(remembered.value);
        }
    } else if (const Py_ssize_t* offset = attr.slot_offsets_.find(type)) {
        if (PyObject* value = slot_at(obj, *offset)) return Ref::borrow(value);
    }
    return getattr_learning(obj, attr);
}
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(obj, name, value));
}
// Stores `value` as the inline value at `index`, as the interpreter's store does (a new value is
// appended to the insertion order); false, having changed nothing, when the order is full.
bool store_inline_value(PyObject** values, Py_ssize_t index, PyObject* value) noexcept;
void setattr_learning(PyObject* obj, const Attr& attr, PyObject* value);
inline void setattr(PyObject* obj, const Attr& attr, PyObject* value) {
    PyTypeObject* type = Py_TYPE(obj);
    const Attr::InlineStore& remembered = attr.inline_store_;
    if (remembered.type == type && remembered.type_version == type->tp_version_tag) {
        if (PyObject** values = inline_values(obj)) {
            if (store_inline_value(values, remembered.index, value)) return;
        }
    }
    setattr_learning(obj, attr, value);
}
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) {
    check_status(PyObject_SetItem(obj, key, value));
}
inline Ref getitem(PyObject* obj, PyObject* key) { return check(PyObject_GetItem(obj, key)); }

// One remembered lookup: mapping[key] gave value when the mapping had that version.
struct DictLookup {
    PyObject* mapping = nullptr;
    std::uint64_t version = 0;
    PyObject* key = nullptr;    // held (and kept for the life of the process), so that its address names it
    PyObject* value = nullptr;  // borrowed: it stays in the dict while the version holds
};

// Lookups in small dicts by a `str` key, remembered with the dict's version: while the dict is
// unchanged, and all its keys are exact `str` (whose comparisons run no code), the lookup gives
// what it gave.
class DictLookups : FourWaySets<DictLookup> {
public:
    // mapping[key] for a dict `mapping`, or null when the key is missing or when looking it up
    // here could run code or cost more than the call (the caller then makes the call, which
    // looks it up once).
    PyObject* find(PyObject* mapping, PyObject* key) const {
        const DictLookup* set = set_of(address_of(mapping, key));
        for (std::size_t way = 0; way < ways; ++way) {
            const DictLookup& entry = set[way];
            if (entry.mapping == mapping && entry.key == key && entry.version == dict_version(mapping)) return entry.value;
        }
        return find_and_remember(mapping, key);
    }

private:
    static std::uintptr_t address_of(PyObject* mapping, PyObject* key) noexcept {
        return reinterpret_cast<std::uintptr_t>(mapping) ^ reinterpret_cast<std::uintptr_t>(key);
    }
    PyObject* find_and_remember(PyObject* mapping, PyObject* key) const;
};
inline const DictLookups dict_lookups;

// The C function behind `dict.__getitem__`.
PyCFunction find_dict_getitem_function();
inline PyCFunction dict_getitem_function() {
    static const PyCFunction function = find_dict_getitem_function();
    return function;
}
// callable(*args). The arguments are never a null pointer, not even when there are none: the
// argument parsers of many builtins take their fast path only for a real array.
inline PyObject* const no_arguments[1] = {nullptr};
// callable(*args, **kwargs) with the arguments in vectorcall form. A class with a vectorcall of its
// own is called through it, as the interpreter calls a builtin class, without the generic
// type-call path.
inline Ref vectorcall(PyObject* callable, PyObject* const* args, std::size_t npositional, PyObject* kwnames) {
    if (PyType_Check(callable)) {
        if (vectorcallfunc construct = reinterpret_cast<PyTypeObject*>(callable)->tp_vectorcall) {
            return check(construct(callable, args, npositional, kwnames));
        }
    }
    return check(PyObject_Vectorcall(callable, args, npositional, kwnames));
}
inline Ref call_any(PyObject* callable, std::initializer_list<PyObject*> args) {
    PyObject* const* stack = args.size() != 0 ? std::data(args) : no_arguments;
    return vectorcall(callable, stack, args.size(), nullptr);
}
// callable(*args). A bound `__getitem__` of a dict (a common way to hand out a lookup), called
// with a key that is present, gives the value without going through the call machinery; a
// missing key takes the call, which gives __missing__ or KeyError.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    if (args.size() == 1 && Py_IS_TYPE(callable, &PyCFunction_Type) &&
        PyCFunction_GET_FUNCTION(callable) == dict_getitem_function()) {
        PyObject* mapping = PyCFunction_GET_SELF(callable);
        if (mapping != nullptr && PyDict_Check(mapping)) {
            if (PyObject* value = dict_lookups.find(mapping, *args.begin())) return Ref::borrow(value);
        }
    }
    return call_any(callable, args);
}
// callable(*args, **dict(zip(keywords, values)))
inline Ref call_vector(PyObject* callable, std::span<PyObject* const> args, std::size_t npositional,
                       PyObject* kwnames) {
    return vectorcall(callable, args.data(), npositional, kwnames);
}
template <std::size_t N>
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, const Keywords<N>& keywords,
         std::initializer_list<PyObject*> values) {
    constexpr std::size_t max_args = 16;
    if (values.size() != N || args.size() + N > max_args) {
        PyErr_SetString(PyExc_SystemError, "bad keyword call");
        fail();
    }
    std::array<PyObject*, max_args> stack;
    std::size_t n = 0;
    for (PyObject* a : args) stack[n++] = a;
    const std::size_t npositional = n;
    for (PyObject* v : values) stack[n++] = v;
    return call_vector(callable, std::span(stack.data(), n), npositional, keywords.get());
}
// mapping.get(key, default) for an exact dict: the lookup itself.
inline Ref dict_get(PyObject* mapping, PyObject* key, PyObject* default_value) {
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value == nullptr && PyErr_Occurred()) fail();
    return Ref::borrow(value != nullptr ? value : default_value);
}
inline const Name get_method_name{"get"};
// obj.name(*args), as the interpreter calls a method: a function found on the type (and not
// shadowed by the instance) is called with `obj` in front, without a bound method; anything else
// is the attribute's value, called as `call` calls. `get` on an exact dict (whose methods cannot
// be replaced) is the lookup itself, without the method call.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, const Args&... args) {
    if constexpr (sizeof...(Args) == 2) {
        if (PyDict_CheckExact(obj) && name == get_method_name.get()) return dict_get(obj, args...);
    }
    PyObject* found = nullptr;
    const bool unbound = _PyObject_GetMethod(obj, name, &found) != 0;
    Ref method = check(found);
    if (!unbound) return call(method, {static_cast<PyObject*>(args)...});
    PyObject* stack[] = {obj, static_cast<PyObject*>(args)...};
    return check(PyObject_Vectorcall(method, stack, 1 + sizeof...(Args), nullptr));
}
// A method name that is often an attribute of the instance itself (a bound lookup handed out as
// `get_dict`). Whether the type has anything of that name is remembered under the type's version,
// as the interpreter remembers it for `obj.attr`.
class MethodName : public Attr {
public:
    using Attr::Attr;

private:
    template <typename... Args>
    friend Ref call_method(PyObject* obj, const MethodName& name, const Args&... args);
    TypeCache<bool> on_type_;
};

// obj.name(*args) where the name may be the instance's own attribute: when the type has nothing
// of that name, the attribute is read as `getattr` reads it.
template <typename... Args>
Ref call_method(PyObject* obj, const MethodName& name, const Args&... args) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        const bool* remembered = name.on_type_.find(type);
        bool on_type;
        if (remembered != nullptr) {
            on_type = *remembered;
        } else {
            unsigned int version;
            on_type = type_lookup(type, name, version) != nullptr;
            name.on_type_.store(type, version, on_type);
        }
        if (!on_type) return call(getattr(obj, name), {static_cast<PyObject*>(args)...});
    }
    return call_method(obj, static_cast<PyObject*>(name), args...);
}

// A method called on a class, `cls.name(*args)`, where the class is often a builtin one and the
// method one of its classmethods (`datetime.now`). For a builtin class, which no code can change,
// whose metaclass is `type` and has nothing of that name, the bound classmethod that the lookup
// gives is remembered under the class's version and called again: calling it is calling a fresh
// one. It holds the builtin class, which lives for the life of the process anyway.
class ClassMethodName : public Name {
public:
    using Name::Name;

private:
    template <typename... Args>
    friend Ref call_method(PyObject* obj, const ClassMethodName& name, const Args&... args);
    friend PyObject* bound_class_method(PyTypeObject* type, const ClassMethodName& name);
    mutable PyTypeObject* type_ = nullptr;
    mutable unsigned int version_ = 0;
    mutable PyObject* bound_ = nullptr;  // held
};

// The bound classmethod `type.name`, learnt and remembered, or null when it is not one to remember.
PyObject* bound_class_method(PyTypeObject* type, const ClassMethodName& name);

template <typename... Args>
Ref call_method(PyObject* obj, const ClassMethodName& name, const Args&... args) {
    if (PyType_CheckExact(obj)) {
        auto* type = reinterpret_cast<PyTypeObject*>(obj);
        PyObject* bound = name.type_ == type && name.version_ == type->tp_version_tag ? name.bound_ : bound_class_method(type, name);
        if (bound != nullptr) return call(bound, {static_cast<PyObject*>(args)...});
    }
    return call_method(obj, static_cast<PyObject*>(name), args...);
}

// ---------------------------------------------------------------------------------------
// Module globals and imports

// Where a module-level name is looked up: the module's dict, then the builtins.
class Scope {
public:
    Scope(PyObject* globals, PyObject* builtins) noexcept : globals_(globals), builtins_(builtins) {}

    // The value bound to `name` now; NameError "name '%U' is not defined" when there is none.
    Ref global(PyObject* name) const;
    Ref global(const Global& name) const {
        if (name.value_ != nullptr && name.globals_ == globals_ && name.globals_version_ == dict_version(globals_) &&
            (name.builtins_ == nullptr ||
             (name.builtins_ == builtins_ && name.builtins_version_ == dict_version(builtins_)))) {
            return Ref::borrow(name.value_);
        }
        return lookup_and_remember(name);
    }
    // Binds a module-level name.
    void set(PyObject* name, PyObject* value) const { check_status(PyDict_SetItem(globals_, name, value)); }

    PyObject* globals() const noexcept { return globals_; }
    PyObject* builtins() const noexcept { return builtins_; }

    // from <module> import <names...>: each name is taken and bound before the next one.
    // `level` 0 is an absolute import, 1 a sibling module of the package.
    void from_import(const char* module, std::initializer_list<const char*> names, int level = 0) const;
    // from <module> import *: every value is fetched before any is bound.
    void import_star(const char* module, int level) const;

private:
    Ref lookup_and_remember(const Global& name) const;

    PyObject* globals_;
    PyObject* builtins_;
};

// `import <name>` with a from-list: returns the module itself (the submodule for a dotted name).
Ref import_module(const Scope& scope, const char* name, PyObject* fromlist, int level);
// Takes `name` from an imported module, falling back to the loaded submodule `module.name`;
// ImportError "cannot import name %S" otherwise.
Ref import_from(PyObject* module, PyObject* name);

// ---------------------------------------------------------------------------------------
// Functions

// Exact-type tests of arguments and results.
enum class Exact : unsigned char { any, str, int_, dict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as a string in __annotations__
    Exact exact = Exact::any;          // tested after binding
    bool none_ok = false;              // None passes the test (the parameter defaults to None)
};

struct Frame;
using Body = Ref (*)(const Frame&);

inline constexpr std::size_t max_params = 8;

// The strings of a function definition as interned objects, made once per definition (as the
// constants of a compiled `def`) and kept for the life of the process.
struct FunctionNames {
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    std::array<PyObject*, max_params> params{};
    // The parameters with an exact-type test, in order: their indices and the types they must have.
    std::array<unsigned char, max_params> tested_index{};
    std::array<PyTypeObject*, max_params> tested_type{};
    unsigned char tested_count = 0;
    bool annotated = false;  // the definition has annotations
    // The keyword names of the last call whose keywords were all exact `str` naming parameters,
    // and the parameter each named. A tuple and its strings are immutable, so the same tuple names
    // the same parameters again; it is held, so that its address stays its own.
    PyObject* keywords = nullptr;
    std::array<unsigned char, max_params> keyword_params{};
};

// What a function is: its parameters, annotations, exact-type tests and C++ body. One static
// table row per Python `def` (or `lambda`).
struct FunctionDef {
    const char* name;
    const char* qualname;                // default __qualname__; may be given per object
    std::span<const Param> params;
    const char* returns = nullptr;       // the "return" annotation
    Exact result = Exact::any;           // tested on return; None always passes
    Body body = nullptr;
    // The table row in the module's source: the place the traceback entry of an exception that
    // leaves the function names.
    std::source_location where = std::source_location::current();
    mutable FunctionNames names{};       // made by the first make_function
};

// Creates a function object over `def`. `defaults` is a tuple or null; `closure` a tuple of
// captured values (read by the body with Frame::cell) or null; `qualname` overrides the table's.
Ref make_function(const FunctionDef& def, const Scope& scope, Ref defaults = {}, Ref closure = {},
                  PyObject* qualname = nullptr);

// What a body sees: the bound arguments, the captured values and the defining module's scope.
struct Frame : Scope {
    Frame(const Scope& scope, PyObject* function, PyObject* const* args, PyObject* closure) noexcept
        : Scope(scope), function(function), args(args), closure(closure) {}

    PyObject* operator[](std::size_t i) const noexcept { return args[i]; }
    PyObject* cell(std::size_t i) const noexcept { return PyTuple_GET_ITEM(closure, static_cast<Py_ssize_t>(i)); }

    PyObject* function;
    PyObject* const* args;
    PyObject* closure;
};

// class <name>: a plain class of `module` (no bases, metaclass type) whose namespace holds
// `__module__`, `__qualname__` (the name) and then `members` in order, as a class statement
// would make it.
Ref make_class(PyObject* name, const char* module, std::initializer_list<std::pair<const char*, PyObject*>> members);

// ---------------------------------------------------------------------------------------
// Modules

// One extension module with multi-phase initialisation whose body runs once per process.
class Module {
public:
    using BodyFn = void (*)(const Scope&);
    Module(const char* short_name, const char* full_name, BodyFn body) noexcept;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // The result of PyInit_<name>.
    PyObject* init();

private:
    static PyObject* create(PyObject* spec, PyModuleDef* def);
    static int exec(PyObject* module);
    void run_body(PyObject* module);

    PyModuleDef def_;  // first member: the slots find the Module from the def
    std::array<PyModuleDef_Slot, 3> slots_;
    const char* short_name_;
    const char* full_name_;
    BodyFn body_;
    PyObject* module_ = nullptr;  // the one module object, once its body has started
    long long interpreter_ = -1;  // the interpreter the module belongs to
};

}  // namespace zrt
