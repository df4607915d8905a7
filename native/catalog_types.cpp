// zorvia.catalog_types: pydantic field types that reference catalog records by integer ID.
//
// For each catalog kind the module binds a plain annotation class `_<Kind>PydanticAnnotation`
// carrying pydantic's two schema hooks, and the alias
// `Pydantic<Kind> = Annotated[int | <Kind>, _<Kind>PydanticAnnotation]`. The kinds differ only
// in their names, so one table drives one class factory.
#include "module_api.hpp"

#include <iterator>

namespace {

using namespace zrt;

// The catalog kinds, in the order the module binds them. For kind K the record class is `K`
// (from dmr), the annotation class `_KPydanticAnnotation`, the alias `PydanticK` and the
// dictionary name "K_dict".
constexpr const char* kinds[] = {
    "Challenge", "Chara",     "CharaGenre",    "Class",     "CollectionGenre", "Course",       "Event",
    "Frame",     "Icon",      "LoginBonus",    "Map",       "MapBonusMusic",   "MapColor",     "MapTreasure",
    "Music",     "MusicGroup", "MusicVersion", "Title",     "Ticket",          "Plate",        "Partner",
};

// Module-level names (the builtins the module uses among them) and attribute names.
namespace n {
const Name core_schema{"core_schema"};
const Name other_db{"other_db"};
const Name DBManager{"DBManager"};
const Name db{"db"};
const Name Annotated{"Annotated"};
const Name all{"__all__"};
const Name classmethod{"classmethod"};
const Name issubclass{"issubclass"};
const Name type{"type"};
const Name int_{"int"};

const Name get_pydantic_core_schema{"__get_pydantic_core_schema__"};
const Name get_pydantic_json_schema{"__get_pydantic_json_schema__"};
const Name get_dict{"get_dict"};
const Name get{"get"};
const Name name{"name"};
const Name ID{"ID"};
const Name db_module{"db_module"};
const Name int_schema{"int_schema"};
const Name chain_schema{"chain_schema"};
const Name no_info_plain_validator_function{"no_info_plain_validator_function"};
const Name is_instance_schema{"is_instance_schema"};
const Name union_schema{"union_schema"};
const Name plain_serializer_function_ser_schema{"plain_serializer_function_ser_schema"};
const Name json_or_python_schema{"json_or_python_schema"};
}  // namespace n

// What the core-schema hook of one kind captures: names fixed when the class is made, and what
// its validators capture (the dictionary name and the kind's number), shared by all of them.
enum KindCell { record_name, validator_cells, validator_qualname, serializer_qualname };
enum ValidatorCell { dictionary_name, kind_number };

// Where each kind's dictionary sat in the catalog's dict of kinds when a validator of that kind last
// found it. The package's catalog hands out that dict's bound `__getitem__` as `get_dict`, and every
// integer validated looks its kind up there: with the entry to check first, `call_method_lookup`
// finds it without the call machinery or the hash lookup, which is most of what the validator itself
// costs. A guess that no longer holds costs the lookup.
Py_ssize_t kind_entries[std::size(kinds)] = {};

// core_schema.<builder>, core_schema looked up at this use. As in Python, a builder is fetched
// before its arguments are evaluated.
Ref builder(const Frame& f, const Name& name) { return getattr(f.global(n::core_schema), name); }

// def validate_from_int(value: int):
//     return other_db.get_dict("<Kind>_dict").get(value, value)
Ref validate_from_int(const Frame& f) {
    PyObject* value = f[0];
    Py_ssize_t& entry = kind_entries[PyLong_AsSize_t(f.cell(kind_number))];
    Ref mapping = call_method_lookup(f.global(n::other_db), n::get_dict, f.cell(dictionary_name), entry);
    return call_method(mapping, n::get, value, value);
}
constexpr Param validate_from_int_params[] = {{.name = "value", .annotation = "int", .exact = Exact::int_}};
const FunctionDef validate_from_int_def{
    .name = "validate_from_int",
    .qualname = "validate_from_int",
    .params = validate_from_int_params,
    .body = validate_from_int,
};

// lambda instance: instance if issubclass(type(instance), int) else instance.name.ID
Ref serialize(const Frame& f) {
    PyObject* instance = f[0];
    Ref issubclass = f.global(n::issubclass);  // each name looked up in the order Python does
    Ref cls = call(f.global(n::type), {instance});
    if (truthy(call(issubclass, {cls, f.global(n::int_)}))) return Ref::borrow(instance);
    return getattr(getattr(instance, n::name), n::ID);
}
constexpr Param serialize_params[] = {{.name = "instance"}};
const FunctionDef serialize_def{
    .name = "<lambda>",
    .qualname = "<lambda>",
    .params = serialize_params,
    .body = serialize,
};

const Keywords json_or_python_keywords{"json_schema", "python_schema", "serialization"};

// @classmethod
// def __get_pydantic_core_schema__(cls, _source_type: Any, _handler: GetCoreSchemaHandler) -> core_schema.CoreSchema:
Ref get_pydantic_core_schema(const Frame& f) {
    Ref validator = make_function(validate_from_int_def, f, {}, Ref::borrow(f.cell(validator_cells)), f.cell(validator_qualname));
    Ref serializer = make_function(serialize_def, f, {}, {}, f.cell(serializer_qualname));

    Ref chain_schema = builder(f, n::chain_schema);
    Ref integer_schema = call(builder(f, n::int_schema));
    Ref plain_validator = call(builder(f, n::no_info_plain_validator_function), {validator});
    Ref from_int_schema = call(chain_schema, {list({integer_schema, plain_validator})});

    Ref union_schema = builder(f, n::union_schema);
    Ref is_instance_schema = builder(f, n::is_instance_schema);
    Ref instance_schema = call(is_instance_schema, {f.global(f.cell(record_name))});
    Ref python_schema = call(union_schema, {list({instance_schema, from_int_schema})});

    Ref serialization = call(builder(f, n::plain_serializer_function_ser_schema), {serializer});

    Ref json_or_python_schema = builder(f, n::json_or_python_schema);
    return call(json_or_python_schema, {}, json_or_python_keywords, {from_int_schema, python_schema, serialization});
}
constexpr Param core_schema_params[] = {
    {.name = "cls"},
    {.name = "_source_type", .annotation = "Any"},
    {.name = "_handler", .annotation = "GetCoreSchemaHandler"},
};
const FunctionDef core_schema_def{
    .name = "__get_pydantic_core_schema__",
    .qualname = "__get_pydantic_core_schema__",
    .params = core_schema_params,
    .returns = "core_schema.CoreSchema",
    .body = get_pydantic_core_schema,
};

// @classmethod
// def __get_pydantic_json_schema__(cls, _core_schema: core_schema.CoreSchema, handler: GetJsonSchemaHandler) -> JsonSchemaValue:
//     return handler(core_schema.int_schema())
Ref get_pydantic_json_schema(const Frame& f) {
    PyObject* handler = f[2];
    return call(handler, {call(builder(f, n::int_schema))});
}
constexpr Param json_schema_params[] = {
    {.name = "cls"},
    {.name = "_core_schema", .annotation = "core_schema.CoreSchema"},
    {.name = "handler", .annotation = "GetJsonSchemaHandler"},
};
const FunctionDef json_schema_def{
    .name = "__get_pydantic_json_schema__",
    .qualname = "__get_pydantic_json_schema__",
    .params = json_schema_params,
    .returns = "JsonSchemaValue",
    .body = get_pydantic_json_schema,
};

// The parts of the names of a kind's objects.
namespace part {
const Str annotation_prefix{"_"};
const Str annotation_suffix{"PydanticAnnotation"};
const Str alias_prefix{"Pydantic"};
const Str dict_suffix{"_dict"};
const Str core_hook{".__get_pydantic_core_schema__"};
const Str json_hook{".__get_pydantic_json_schema__"};
const Str validator{".<locals>.validate_from_int"};
const Str serializer{".<locals>.<lambda>"};
}  // namespace part

// class _<Kind>PydanticAnnotation: the two hooks as class methods.
Ref annotation_class(const Scope& m, PyObject* kind, std::size_t number, PyObject* class_name) {
    Ref core_qualname = concat(class_name, part::core_hook);
    Ref json_qualname = concat(class_name, part::json_hook);
    // The dictionary name is interned, as a literal of the Python source would be: the catalog's
    // keys are usually the same string object then, which makes its lookup an identity test.
    PyObject* dictionary = concat(kind, part::dict_suffix).release();
    PyUnicode_InternInPlace(&dictionary);
    Ref dict_name = Ref::steal(dictionary);
    Ref captured = tuple({
        kind,
        tuple({dict_name, check(PyLong_FromSize_t(number))}),
        concat(core_qualname, part::validator),
        concat(core_qualname, part::serializer),
    });
    Ref core_hook = make_function(core_schema_def, m, {}, std::move(captured), core_qualname);
    Ref json_hook = make_function(json_schema_def, m, {}, {}, json_qualname);

    return make_class(m, class_name,
                      {
                          {n::get_pydantic_core_schema, call(m.global(n::classmethod), {core_hook})},
                          {n::get_pydantic_json_schema, call(m.global(n::classmethod), {json_hook})},
                      });
}

void body(const Scope& m) {
    m.from_import("typing", {"Any", "Annotated"});
    m.from_import("pydantic", {"GetCoreSchemaHandler", "GetJsonSchemaHandler"});
    m.from_import("pydantic.json_schema", {"JsonSchemaValue"});
    m.from_import("pydantic_core", {"core_schema"});
    m.from_import("zorvia", {"db"});
    m.import_star("dmr", 1);

    m.set(n::other_db, call(m.global(n::DBManager)));
    {
        Ref db = m.global(n::db);
        setattr(m.global(n::other_db), n::db_module, db);
    }

    Ref all = check(PyList_New(0));
    for (std::size_t number = 0; number < std::size(kinds); ++number) {
        Ref kind = check(PyUnicode_InternFromString(kinds[number]));
        Ref class_name = concat(concat(part::annotation_prefix, kind), part::annotation_suffix);
        Ref alias_name = concat(part::alias_prefix, kind);
        m.set(class_name, annotation_class(m, kind, number, class_name));

        // Pydantic<Kind> = Annotated[int | <Kind>, _<Kind>PydanticAnnotation]
        Ref annotated = m.global(n::Annotated);
        Ref int_ = m.global(n::int_);
        Ref record_or_id = check(PyNumber_Or(int_, m.global(kind)));
        Ref metadata = m.global(class_name);
        m.set(alias_name, getitem(annotated, tuple({record_or_id, metadata})));
        check_status(PyList_Append(all, alias_name));
    }
    m.set(n::all, all);
}

Module module{"catalog_types", "zorvia.catalog_types", body};

}  // namespace

PyMODINIT_FUNC PyInit_catalog_types() { return module.init(); }
