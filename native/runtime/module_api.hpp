// What zorvia's extension modules are written with: a small runtime over the CPython C API that
// lets a module read like the Python module it replaces. Functions that behave like Python functions
// (signature, defaults, annotations, binding, introspection); module-level names and builtins looked
// up when used; attributes, methods and calls; `from X import ...`; classes; a module body that runs
// once per process.
//
// Error discipline: a failed C API call throws `Error` (the Python exception stays set); every entry
// point that CPython calls catches it and returns the error value. Owned references live in `Ref`,
// so every path out of a function releases what it holds.
//
// Speed is the specializer's business (specializer.hpp): a module names each name one way (`Name`),
// and the runtime chooses the fast path by the operation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "specializer.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <new>
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
    static Ref borrow(PyObject* o) noexcept { return steal(Py_XNewRef(o)); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

// Takes over the result of a C API call that returns a new reference or null on error.
inline Ref check(PyObject* result) { return result != nullptr ? Ref::steal(result) : (fail(), Ref{}); }

// For C API calls that return -1 on error.
inline int check_status(int status) { return status >= 0 ? status : (fail(), status); }

// Runs the work of an entry point that CPython calls: an Error thrown (or memory exhausted) ends it
// with `failed`, the exception set.
template <typename Fn, typename Result = decltype(std::declval<Fn>()())>
Result guarded(Fn fn, Result failed = {}) noexcept {
    try {
        return fn();
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return failed;
}

// ---------------------------------------------------------------------------------------
// Names and constants

// An object a module uses as a constant (a name, a number, a keyword tuple, a function's strings),
// made when the module is imported, before its body runs, and kept for the life of the process (the
// module lifecycle guarantees a single interpreter). Nothing is made on first use: making an object
// can start a garbage collection, whose finalizers run Python code.
class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

    // Makes every constant of the module not made yet (at import).
    static void make_all();

protected:
    Constant() noexcept;
    ~Constant() = default;
    virtual PyObject* make() const = 0;  // a new reference (or null, or Error, with the exception set)

private:
    const Constant* next_;
    mutable PyObject* object_ = nullptr;
};

// A string, interned, as the names and literals of Python source are.
class Str : public Constant {
public:
    explicit Str(const char* text) noexcept : text_(text) {}

private:
    PyObject* make() const override { return PyUnicode_InternFromString(text_); }
    const char* text_;
};

// A module-level name or an attribute name. What the runtime remembers about its uses lives here
// too (the specializer's facts, one for each operation); module code never reads them.
class Name : public Str {
public:
    using Str::Str;
    mutable specializer::Facts facts;
};

// An int constant, as a compiled function keeps its constants.
class Int : public Constant {
public:
    explicit Int(long value) noexcept : value_(value) {}

private:
    PyObject* make() const override { return PyLong_FromLong(value_); }
    long value_;
};

// The tuple of keyword names of a call, as the interpreter passes them to vectorcall.
template <std::size_t N>
class Keywords : public Constant {
public:
    template <typename... S>
    explicit Keywords(S... names) noexcept : names_{names...} {}

private:
    PyObject* make() const override {
        Ref tuple = check(PyTuple_New(N));
        for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple.get(), i, check(PyUnicode_InternFromString(names_[i])).release());
        return tuple.release();
    }
    std::array<const char*, N> names_;
};
template <typename... S>
Keywords(S...) -> Keywords<sizeof...(S)>;

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref str(const char* text) { return check(PyUnicode_FromString(text)); }
// a + b for two str
inline Ref concat(PyObject* a, PyObject* b) { return check(PyUnicode_Concat(a, b)); }
Ref tuple(std::initializer_list<PyObject*> items);
Ref list(std::initializer_list<PyObject*> items);

// ---------------------------------------------------------------------------------------
// Objects: attributes, items, truth, comparisons

// obj.name
inline Ref getattr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const Name& name) {
    specializer::Fact& fact = name.facts.load;
    if (PyObject* value = specializer::remembered_load(obj, fact, name)) return Ref::borrow(value);
    return check(specializer::load(obj, fact, name));
}

// obj.name = value
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check_status(PyObject_SetAttr(obj, name, value)); }
inline void setattr(PyObject* obj, const Name& name, PyObject* value) {
    specializer::Fact& fact = name.facts.store;
    if (specializer::remembered_store(obj, fact, value)) return;
    check_status(specializer::store(obj, fact, name, value));
}

inline Ref getitem(PyObject* obj, PyObject* key) { return check(PyObject_GetItem(obj, key)); }
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) { check_status(PyObject_SetItem(obj, key, value)); }

inline bool truthy(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }
// a <op> b, as a truth value (Py_LT, Py_GE, ...)
inline bool compare(PyObject* a, PyObject* b, int op) { return truthy(check(PyObject_RichCompare(a, b, op))); }

// ---------------------------------------------------------------------------------------
// Calls

// callable(*args, **dict(zip(kwnames, the rest))), in vectorcall form. The arguments are never a
// null pointer, not even when there are none: the argument parsers of many builtins take their fast
// path only for a real array.
inline Ref vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames = nullptr) {
    return check(PyObject_Vectorcall(callable, args, nargsf, kwnames));
}
inline PyObject* const no_arguments[1] = {nullptr};

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return vectorcall(callable, args.size() != 0 ? std::data(args) : no_arguments, args.size());
}

// callable(*args, **dict(zip(keywords, values)))
template <std::size_t N>
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, const Keywords<N>& keywords,
         std::initializer_list<PyObject*> values) {
    constexpr std::size_t max_args = 16;
    static_assert(N <= max_args);
    if (values.size() != N || args.size() + N > max_args) raise(PyExc_SystemError, "bad keyword call");
    std::array<PyObject*, max_args> stack;
    std::size_t n = 0;
    for (PyObject* a : args) stack[n++] = a;
    const std::size_t npositional = n;
    for (PyObject* v : values) stack[n++] = v;
    return vectorcall(callable, stack.data(), npositional, keywords.get());
}

// What obj.name(...) calls: a method found on the type, to be called with `obj` in front
// (`with_self`), or the attribute's value.
inline Ref find_method(PyObject* obj, const Name& name, bool& with_self) {
    specializer::Fact& fact = name.facts.method;
    if (PyObject* callable = specializer::remembered_method(obj, fact, name, with_self)) return Ref::borrow(callable);
    return check(specializer::method(obj, fact, name, with_self));
}

// obj.name(*args), as the interpreter calls a method: a method found on the type is called with
// `obj` in front, without a bound method; anything else is the attribute's value, called.
template <typename... Args>
Ref call_method(PyObject* obj, const Name& name, const Args&... args) {
    constexpr std::size_t n = sizeof...(Args);
    PyObject* stack[] = {obj, static_cast<PyObject*>(args)...};
    bool with_self;
    Ref callable = find_method(obj, name, with_self);
    if (with_self) return check(specializer::call_with_self(callable, stack, 1 + n));
    // The slot before the arguments is the caller's to lend (a bound method puts its self there).
    return vectorcall(callable, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// obj.name(key), where the method is often a dict's bound `__getitem__` handed out as an attribute
// (a registry's lookup): as call_method, and when the dict holds `key` and looking it up runs no code
// (an exact str key, str keys alone), the value is found without the call, at `entry` first: the
// dict's entry where the key was found the last time, checked against the dict as it is now. A
// missing key makes the call (__missing__, KeyError).
Ref call_method_lookup(PyObject* obj, const Name& name, PyObject* key, Py_ssize_t& entry);

// ---------------------------------------------------------------------------------------
// Module globals and imports

// Where a module-level name is looked up: the module's dict, then the builtins.
class Scope {
public:
    Scope(PyObject* globals, PyObject* builtins) noexcept : globals_(globals), builtins_(builtins) {}

    // The value bound to `name` now; NameError "name '%U' is not defined" when there is none.
    Ref global(PyObject* name) const { return check(specializer::load_global(globals_, builtins_, name)); }
    Ref global(const Name& name) const {
        specializer::Fact& fact = name.facts.global;
        if (PyObject* value = specializer::remembered_global(globals_, builtins_, fact)) return Ref::borrow(value);
        return check(specializer::global(globals_, builtins_, fact, name));
    }
    // Binds a module-level name.
    void set(PyObject* name, PyObject* value) const { check_status(PyDict_SetItem(globals_, name, value)); }

    PyObject* globals() const noexcept { return globals_; }

    // from <module> import <names...>: each name is taken and bound before the next one.
    // `level` 0 is an absolute import, 1 a sibling module of the package.
    void from_import(const char* module, std::initializer_list<const char*> names, int level = 0) const;
    // from <module> import *: every value is fetched before any is bound.
    void import_star(const char* module, int level) const;

private:
    PyObject* globals_;
    PyObject* builtins_;
};

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
struct FunctionDef;

inline constexpr std::size_t max_params = 8;

// The strings of a function definition as interned objects, made at import (as the constants of a
// compiled `def`), and its exact-type tests in the order of the parameters. The object is the name.
class FunctionNames : public Constant {
public:
    explicit FunctionNames(const FunctionDef& def) noexcept : def_(def) {}

    mutable PyObject* qualname = nullptr;
    mutable std::array<PyObject*, max_params> params{};
    mutable std::array<unsigned char, max_params> tested{};  // the parameters with an exact-type test
    mutable std::array<PyTypeObject*, max_params> tested_type{};  // and the types they must have
    mutable unsigned char tested_count = 0;
    mutable bool annotated = false;  // the definition has annotations

private:
    PyObject* make() const override;
    const FunctionDef& def_;
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
    FunctionNames names{*this};
};

// Creates a function object over `def` in the module of `scope`, with the builtins of the module's
// `__builtins__` as they are now. `defaults` is a tuple or null; `closure` a tuple of captured values
// (read by the body with Frame::cell) or null; `qualname` overrides the table's.
Ref make_function(const FunctionDef& def, const Scope& scope, Ref defaults = {}, Ref closure = {},
                  PyObject* qualname = nullptr);

// What a body sees: the bound arguments, the captured values and the function's scope.
struct Frame : Scope {
    Frame(const Scope& scope, PyObject* const* args, PyObject* closure) noexcept : Scope(scope), args(args), closure(closure) {}

    PyObject* operator[](std::size_t i) const noexcept { return args[i]; }
    PyObject* cell(std::size_t i) const noexcept { return PyTuple_GET_ITEM(closure, static_cast<Py_ssize_t>(i)); }

    PyObject* const* args;
    PyObject* closure;
};

// ---------------------------------------------------------------------------------------
// Classes

// class <name>: a plain class of the module of `scope` (no bases, metaclass type) whose namespace
// holds `__module__` (the module's `__name__`), `__qualname__` (the name) and then `members` in
// order, as a class statement would make it.
Ref make_class(const Scope& scope, PyObject* name, std::initializer_list<std::pair<PyObject*, PyObject*>> members);

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
