// The function object: a callable that looks and binds like a Python function.
#include "module_api.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <structmember.h>

namespace zrt {
namespace {

struct FunctionObject {
    PyObject_HEAD
    // What a call reads, together.
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* globals;
    PyObject* builtins;
    PyObject* closure;      // tuple or null
    // The rest.
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or null
    PyObject* annotations;  // dict or null (an empty dict is made when asked for)
    bool annotations_pending;  // the definition's annotations, made into a dict when first asked for
    PyObject* code;         // made when first asked for
    PyObject* dict;
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---------------------------------------------------------------------------------------
// Argument binding

// The name in messages is the definition's, as a compiled function's is its code's: renaming
// `__name__` does not change it.
const char* name_of(const FunctionObject* f) { return f->def->name; }

[[noreturn]] void raise_arity(const FunctionObject* f, const char* bound_kind, Py_ssize_t bound,
                              Py_ssize_t given) {
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name_of(f),
          bound_kind, bound, bound == 1 ? "" : "s", given);
}

// The parameter a keyword names, as the interpreter finds it: by identity (keywords are almost
// always the interned names), else by string equality, which for a `str` subclass with its own
// `__eq__` runs that method. -1 when no parameter has that name.
Py_ssize_t param_index(const FunctionDef& def, PyObject* key) {
    const std::size_t n = def.params.size();
    const std::array<PyObject*, max_params>& names = def.names.params;
    for (std::size_t i = 0; i < n; ++i) {
        if (names[i] == key) return static_cast<Py_ssize_t>(i);
    }
    const bool exact = PyUnicode_CheckExact(key);
    for (std::size_t i = 0; i < n; ++i) {
        const int equal = exact ? _PyUnicode_EQ(key, names[i]) : PyObject_RichCompareBool(key, names[i], Py_EQ);
        if (equal < 0) fail();
        if (equal > 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// A fault of the keywords: the message (its arguments the function's name and the keyword), or null.
struct Fault {
    const char* message = nullptr;
    PyObject* key = nullptr;
};

// Binds each keyword to its parameter, in call order; the first fault is returned.
Fault bind_keywords(const FunctionDef& def, PyObject* kwnames, PyObject* const* kwvalues,
                    std::array<PyObject*, max_params>& bound) {
    Fault fault;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* problem = nullptr;
        if (!PyUnicode_Check(key)) {
            problem = "%.200s() keywords must be strings";
        } else if (const Py_ssize_t i = param_index(def, key); i < 0) {
            problem = "%s() got an unexpected keyword argument '%U'";
        } else if (bound[static_cast<std::size_t>(i)] != nullptr) {
            problem = "%s() got multiple values for keyword argument '%U'";
        } else {
            bound[static_cast<std::size_t>(i)] = kwvalues[k];
        }
        if (problem != nullptr && fault.message == nullptr) fault = {problem, key};
    }
    return fault;
}

// Binds positional and keyword arguments to the parameters, filling in `__defaults__`.
// Returns the defaults tuple, which must outlive the call: `bound` may borrow from it.
// A missing required parameter is reported before the keywords' faults, which are reported in
// call order.
Ref bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         std::array<PyObject*, max_params>& bound) {
    const FunctionDef& def = *f->def;
    const auto n = static_cast<Py_ssize_t>(def.params.size());
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (n == 0) {
        if (nkw > 0) raise(PyExc_TypeError, "%.200s() takes no keyword arguments", name_of(f));
        if (nargs > 0) raise(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name_of(f), nargs);
        return {};
    }

    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t first_optional = n - std::min(ndefaults, n);
    const bool all_required = first_optional == n;

    if (nargs > n) raise_arity(f, all_required ? "exactly" : "at most", n, nargs);
    std::copy(args, args + nargs, bound.begin());

    PyObject* const* kwvalues = args + nargs;
    const auto [fault, fault_key] = nkw == 0 ? Fault{} : bind_keywords(def, kwnames, kwvalues, bound);
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject*& value = bound[static_cast<std::size_t>(i)];
        if (value != nullptr) continue;
        if (i < first_optional) raise_arity(f, all_required ? "exactly" : "at least", first_optional, i);
        value = PyTuple_GET_ITEM(defaults.get(), ndefaults - n + i);
    }
    if (fault != nullptr) raise(PyExc_TypeError, fault, name_of(f), fault_key);
    return defaults;
}

// The type each exact-type test wants, by `Exact`.
PyTypeObject* const exact_types[] = {nullptr, &PyUnicode_Type, &PyLong_Type, &PyDict_Type};
PyTypeObject* exact_type(Exact exact) { return exact_types[static_cast<int>(exact)]; }

[[noreturn, gnu::cold]] void raise_argument_type(const Param& param, PyTypeObject* expected, PyObject* value) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
          expected->tp_name, Py_TYPE(value)->tp_name);
}

inline void test_arguments(const FunctionDef& def, PyObject* const* bound) {
    for (std::size_t t = 0; t < def.names.tested_count; ++t) {
        PyTypeObject* expected = def.names.tested_type[t];
        PyObject* value = bound[def.names.tested[t]];
        const Param& param = def.params[def.names.tested[t]];
        if (!Py_IS_TYPE(value, expected) && !(value == Py_None && param.none_ok)) raise_argument_type(param, expected, value);
    }
}

void test_result(const FunctionDef& def, PyObject* result) {
    PyTypeObject* expected = exact_type(def.result);
    if (!Py_IS_TYPE(result, expected) && result != Py_None) raise(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, Py_TYPE(result)->tp_name);
}

// Bodies call back into Python, which may call the function again without a Python frame in
// between: the C stack is guarded as the interpreter guards its own frames, by the thread's
// recursion budget.
struct RecursionGuard {
    PyThreadState* thread = _PyThreadState_UncheckedGet();  // the caller holds the GIL
    RecursionGuard() {
        if (!cpython::enter_recursive_call(thread)) fail();
    }
    ~RecursionGuard() { cpython::leave_recursive_call(thread); }
};

// Runs the body over the bound parameter values.
[[gnu::always_inline]] inline PyObject* run(FunctionObject* f, PyObject* const* values) {
    const FunctionDef& def = *f->def;
    test_arguments(def, values);
    RecursionGuard guard;
    Ref result = def.body(Frame(Scope(f->globals, f->builtins), values, f->closure));
    if (def.result != Exact::any) test_result(def, result);
    return result.release();
}

[[gnu::noinline]] PyObject* bind_and_run(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, max_params> bound{};
    Ref defaults = bind(f, args, nargs, kwnames, bound);  // keeps the default values alive meanwhile
    return run(f, bound.data());
}

// An exception leaving a function gets a traceback entry for it, as it would from Python code:
// the qualified name, and the module's C++ source file with the line of the function's table row
// (the source paths are relative to the project, see CMakeLists.txt).
[[gnu::cold, gnu::noinline]] void add_traceback_entry(const FunctionObject* f) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const char* qualname = PyUnicode_AsUTF8(f->qualname);
    if (qualname == nullptr) {
        PyErr_Clear();
        qualname = f->def->qualname;
    }
    PyErr_Restore(type, value, traceback);
    _PyTraceback_Add(qualname, f->def->where.file_name(), static_cast<int>(f->def->where.line()));
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    PyObject* result = guarded([&] {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
        // Every parameter given by position: the arguments are the values.
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(f->def->params.size())) return run(f, args);
        return bind_and_run(f, args, nargs, kwnames);
    });
    if (result == nullptr) add_traceback_entry(f);
    return result;
}

// ---------------------------------------------------------------------------------------
// Introspection

Ref make_annotations(const FunctionDef& def) {
    Ref annotations = check(PyDict_New());
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        if (const char* annotation = def.params[i].annotation) {
            check_status(PyDict_SetItem(annotations, def.names.params[i], str(annotation)));
        }
    }
    if (def.returns != nullptr) check_status(PyDict_SetItemString(annotations, "return", str(def.returns)));
    return annotations;
}

const Str dunder_file{"__file__"};
const Str replace{"replace"};
const Keywords code_keywords{"co_argcount", "co_nlocals", "co_varnames", "co_flags", "co_name", "co_qualname", "co_filename"};
const Int code_flags{CO_OPTIMIZED | CO_NEWLOCALS};

// A code object carrying the signature, so that inspect.signature() and help() show it, and the
// module's file, so that inspect.getfile() names it, whatever the bytes of its path.
Ref make_code(const FunctionObject* f) {
    const FunctionDef& def = *f->def;
    Ref filename = Ref::borrow(PyDict_GetItemWithError(f->globals, dunder_file));
    if (!filename && PyErr_Occurred()) fail();
    if (!filename || !PyUnicode_Check(filename.get())) filename = str("<zorvia>");
    Ref empty = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", def.name, 1)));
    Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(def.params.size())));
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), Py_NewRef(def.names.params[i]));
    }
    Ref count = check(PyLong_FromSize_t(def.params.size()));
    return call(getattr(empty, replace), {}, code_keywords, {count, count, varnames, code_flags, f->name, f->qualname, filename});
}

// Sets an attribute to `value` if it is of the right kind, else TypeError `message`. None, when
// `optional`, stands for no value (kept as null).
int set(PyObject** slot, PyObject* value, bool right_kind, const char* message, bool optional = false) {
    if (optional && value == Py_None) value = nullptr;
    if ((value != nullptr || !optional) && !right_kind) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_XNewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set(&as_function(self)->name, value, value != nullptr && PyUnicode_Check(value), "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set(&as_function(self)->qualname, value, value != nullptr && PyUnicode_Check(value),
               "__qualname__ must be set to a string object");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    return set(&as_function(self)->defaults, value, value != nullptr && PyTuple_Check(value), "__defaults__ must be set to a tuple object", true);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// Keeps `made` in `*slot` unless a call it re-entered while it was being made (a finalizer of the
// collection its allocation started, say) filled the slot first: one object, as for an attribute
// made once.
PyObject* keep_first(PyObject** slot, PyObject* made) {
    if (made != nullptr && *slot == nullptr) *slot = made;
    else Py_XDECREF(made);
    return Py_XNewRef(made != nullptr ? *slot : nullptr);
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations != nullptr) return Py_NewRef(f->annotations);
    PyObject* made = f->annotations_pending ? guarded([f] { return make_annotations(*f->def).release(); }) : PyDict_New();
    if (made != nullptr) f->annotations_pending = false;
    return keep_first(&f->annotations, made);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    FunctionObject* f = as_function(self);
    const int status = set(&f->annotations, value, value != nullptr && PyDict_Check(value), "__annotations__ must be set to a dict object", true);
    if (status == 0) f->annotations_pending = false;
    return status;
}

PyObject* get_code(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return f->code != nullptr ? Py_NewRef(f->code) : keep_first(&f->code, guarded([f] { return make_code(f).release(); }));
}

// What `inspect` and the tools built on it take the object for: a function (`isfunction`, and so
// `getfile` through `__code__`, whose file is the extension module's, which `getsource` then
// reports as having no source). `type()` still tells the two kinds apart.
PyObject* get_class(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type)); }

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like a Python function: the module and the qualified name.
    return Py_NewRef(as_function(self)->qualname);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    return obj == nullptr || obj == Py_None ? Py_NewRef(self) : PyMethod_New(self, obj);
}

// What a function holds; a clear keeps its name and qualified name (strings), which repr and
// messages may still need.
constexpr PyObject* FunctionObject::*cleared[] = {
    &FunctionObject::globals, &FunctionObject::builtins, &FunctionObject::module, &FunctionObject::doc, &FunctionObject::defaults,
    &FunctionObject::annotations, &FunctionObject::closure, &FunctionObject::code, &FunctionObject::dict,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    for (PyObject* FunctionObject::*member : cleared) Py_VISIT(f->*member);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    for (PyObject* FunctionObject::*member : cleared) Py_CLEAR(f->*member);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FunctionObject* f = as_function(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(self);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(FunctionObject, builtins), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type{};

}  // namespace

void ready_function_type() {
    if (PyType_HasFeature(&function_type, Py_TPFLAGS_READY)) return;
    Py_SET_REFCNT(&function_type, 1);
    function_type.tp_name = "zorvia.function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_repr = function_repr;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    function_type.tp_getset = function_getset;
    function_type.tp_members = function_members;
    function_type.tp_methods = function_methods;
    check_status(PyType_Ready(&function_type));
}

PyObject* FunctionNames::make() const {
    if (def_.params.size() > max_params) raise(PyExc_SystemError, "%s() has too many parameters", def_.name);
    Py_XSETREF(qualname, check(PyUnicode_InternFromString(def_.qualname)).release());
    tested_count = 0;
    annotated = def_.returns != nullptr;
    for (std::size_t i = 0; i < def_.params.size(); ++i) {
        Py_XSETREF(params[i], check(PyUnicode_InternFromString(def_.params[i].name)).release());
        if (def_.params[i].exact != Exact::any) {
            tested_type[tested_count] = exact_type(def_.params[i].exact);
            tested[tested_count++] = static_cast<unsigned char>(i);
        }
        annotated = annotated || def_.params[i].annotation != nullptr;
    }
    return PyUnicode_InternFromString(def_.name);
}

namespace {
const Str dunder_builtins{"__builtins__"};
const Str dunder_name{"__name__"};
}  // namespace

// The builtins of a function made now in the module of `globals`, as the interpreter gives them
// (_PyEval_BuiltinsFromGlobals): the module's `__builtins__` (a module's dict, if it is a module), or
// the running frame's builtins when it has none.
PyObject* builtins_of(PyObject* globals) {
    PyObject* builtins = PyDict_GetItemWithError(globals, dunder_builtins);
    if (builtins == nullptr) {
        if (PyErr_Occurred()) fail();
        return PyEval_GetBuiltins();
    }
    return PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins;
}

Ref make_function(const FunctionDef& def, const Scope& scope, Ref defaults, Ref closure, PyObject* qualname) {
    if (defaults && !PyTuple_Check(defaults.get())) raise(PyExc_SystemError, "defaults of %s() must be a tuple", def.name);
    PyObject* builtins = builtins_of(scope.globals());
    PyObject* module = PyDict_GetItemWithError(scope.globals(), dunder_name);
    if (module == nullptr && PyErr_Occurred()) fail();

    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (f == nullptr) fail();
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0, sizeof(FunctionObject) - sizeof(PyObject));
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->globals = Py_NewRef(scope.globals());
    f->builtins = Py_NewRef(builtins);
    f->closure = closure.release();
    f->name = Py_NewRef(def.names);
    f->qualname = Py_NewRef(qualname != nullptr ? qualname : def.names.qualname);
    f->module = Py_XNewRef(module);
    f->doc = Py_NewRef(Py_None);
    f->defaults = defaults.release();
    f->annotations_pending = def.names.annotated;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace zrt
