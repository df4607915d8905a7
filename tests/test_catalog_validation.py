"""Reference fields in real pydantic models: validation, serialisation and JSON schema."""

import json
from typing import Any, Literal

import pytest
from catalog_support import KINDS, UNKNOWN_ID, RecordingDB, kind_model, single_field_model, stored, subclass_copy
from pydantic import BaseModel, ValidationError, create_model
from pydantic_core import PydanticSerializationError

import zorvia.catalog_types as catalog_types
from zorvia import dmr

KindModel = kind_model(catalog_types)
IntModel = create_model("KindModel", **{kind: (int, ...) for kind in KINDS})  # type: ignore[call-overload]


# Taken before any test rebinds `other_db`.
RECORDS = {kind: stored(catalog_types, kind) for kind in KINDS}
FIRST_IDS = {kind: next(iter(RECORDS[kind])) for kind in KINDS}


def other_kind(kind: str) -> str:
    return KINDS[(KINDS.index(kind) + 1) % len(KINDS)]


class MyInt(int):
    pass


def assert_resolved(value: object, kind: str, record_id: int) -> None:
    """`value` is the record stored under `record_id`, or the plain integer when none is."""
    if record_id in RECORDS[kind]:
        assert value is RECORDS[kind][record_id]
    else:
        assert type(value) is int and value == record_id


class TestPythonInput:
    def test_known_ids_give_the_stored_records(self) -> None:
        model = KindModel(**FIRST_IDS)
        for kind, record_id in FIRST_IDS.items():
            assert getattr(model, kind) is RECORDS[kind][record_id]

    @pytest.mark.parametrize("kind", KINDS)
    def test_every_stored_record_is_reachable(self, kind: str) -> None:
        holder = single_field_model(catalog_types, kind)
        for record_id, record in RECORDS[kind].items():
            assert holder(value=record_id).value is record

    def test_unknown_ids_stay_integers(self) -> None:
        model = KindModel(**dict.fromkeys(KINDS, UNKNOWN_ID))
        assert all(type(getattr(model, kind)) is int and getattr(model, kind) == UNKNOWN_ID for kind in KINDS)

    @pytest.mark.parametrize("kind", KINDS)
    def test_records_pass_through(self, kind: str) -> None:
        record = RECORDS[kind][2]
        assert single_field_model(catalog_types, kind)(value=record).value is record

    @pytest.mark.parametrize("kind", ["Icon", "Music", "Partner"])
    def test_record_subclass_instances_pass_through(self, kind: str) -> None:
        record = subclass_copy(RECORDS[kind][1])
        assert type(record) is not getattr(dmr, kind)
        assert single_field_model(catalog_types, kind)(value=record).value is record

    @pytest.mark.parametrize("kind", KINDS)
    def test_record_of_another_kind_goes_to_integer_validation(self, kind: str) -> None:
        foreign = RECORDS[other_kind(kind)][1]
        with pytest.raises(ValidationError) as raised:
            single_field_model(catalog_types, kind)(value=foreign)
        assert [error["type"] for error in raised.value.errors()] == ["is_instance_of", "int_type"]

    @pytest.mark.parametrize(("value", "record_id"), [(True, 1), (2.0, 2), ("1", 1), (MyInt(2), 2)])
    def test_lax_integers_are_resolved(self, value: object, record_id: int) -> None:
        holder = single_field_model(catalog_types, "Title")
        assert holder(value=value).value is RECORDS["Title"][record_id]

    @pytest.mark.parametrize("value", [None, "one", 1.5, [1], {"name": {"ID": 1}}])
    def test_non_integers_are_refused(self, value: object) -> None:
        with pytest.raises(ValidationError):
            single_field_model(catalog_types, "Title")(value=value)

    def test_strict_mode_refuses_lax_integers(self) -> None:
        holder = single_field_model(catalog_types, "Ticket")
        assert holder.model_validate({"value": 1}, strict=True).value is RECORDS["Ticket"][1]
        with pytest.raises(ValidationError):
            holder.model_validate({"value": True}, strict=True)


class TestJsonInput:
    def test_ids_resolve(self) -> None:
        model = KindModel.model_validate_json(json.dumps(FIRST_IDS))
        for kind, record_id in FIRST_IDS.items():
            assert getattr(model, kind) is RECORDS[kind][record_id]

    @pytest.mark.parametrize(
        "text", ["1", "2", str(UNKNOWN_ID), '"1"', "1.0", "1.5", "true", "null", "[1]", '{"name": {"ID": 1}}']
    )
    def test_only_pydantic_integer_validation(self, text: str) -> None:
        """JSON goes through the integer schema only: what an int field accepts, resolved; nothing else."""
        data = "{" + ", ".join(f'"{kind}": {text}' for kind in KINDS) + "}"
        try:
            integers = IntModel.model_validate_json(data)
        except ValidationError as int_error:
            with pytest.raises(ValidationError) as raised:
                KindModel.model_validate_json(data)
            assert raised.value.errors() == int_error.errors()
            return
        model = KindModel.model_validate_json(data)
        for kind in KINDS:
            assert_resolved(getattr(model, kind), kind, getattr(integers, kind))


class TestSerialisation:
    @pytest.mark.parametrize("mode", ["python", "json"])
    def test_records_dump_to_their_ids(self, mode: str) -> None:
        assert KindModel(**FIRST_IDS).model_dump(mode=mode) == FIRST_IDS

    def test_json_dump_and_round_trip(self) -> None:
        model = KindModel(**FIRST_IDS)
        text = model.model_dump_json()
        assert json.loads(text) == FIRST_IDS
        again = KindModel.model_validate_json(text)
        assert all(getattr(again, kind) is getattr(model, kind) for kind in KINDS)

    @pytest.mark.parametrize("value", [UNKNOWN_ID, True, False, MyInt(5)])
    def test_integers_and_bools_unchanged(self, value: int) -> None:
        model = KindModel.model_construct(**dict.fromkeys(KINDS, value))
        dumped = model.model_dump()
        assert all(dumped[kind] is value for kind in KINDS)
        assert json.loads(model.model_dump_json()) == dict.fromkeys(KINDS, value)
        assert model.model_dump(mode="json") == dict.fromkeys(KINDS, value)

    def test_value_without_name_id(self) -> None:
        model = single_field_model(catalog_types, "Map").model_construct(value="not a record")
        with pytest.raises(PydanticSerializationError, match="AttributeError"):
            model.model_dump()


class TestJsonSchema:
    @pytest.mark.parametrize("mode", ["validation", "serialization"])
    def test_every_kind_is_a_plain_integer(self, mode: Literal["validation", "serialization"]) -> None:
        schema = KindModel.model_json_schema(mode=mode)
        assert schema == IntModel.model_json_schema(mode=mode)
        for kind in KINDS:
            assert schema["properties"][kind].items() - {("title", kind.capitalize())} == {("type", "integer")}

    def test_nested_and_optional_fields(self) -> None:
        class Outer(BaseModel):
            icons: list[catalog_types.PydanticIcon]
            plate: catalog_types.PydanticPlate | None = None

        class OuterInts(BaseModel):
            icons: list[int]
            plate: int | None = None

        assert Outer.model_json_schema()["properties"] == OuterInts.model_json_schema()["properties"]
        outer = Outer(icons=[1, UNKNOWN_ID])
        assert outer.icons[0] is RECORDS["Icon"][1]
        assert outer.model_dump() == {"icons": [1, UNKNOWN_ID], "plate": None}


class TestDatabaseConsultation:
    @pytest.fixture
    def recording_db(self, monkeypatch: pytest.MonkeyPatch) -> RecordingDB:
        fake = RecordingDB({f"{kind}_dict": dict(RECORDS[kind]) for kind in KINDS})
        monkeypatch.setattr(catalog_types, "other_db", fake)
        return fake

    def test_get_dict_on_every_integer_validation(self, recording_db: RecordingDB) -> None:
        KindModel(**FIRST_IDS)
        KindModel.model_validate_json(json.dumps(FIRST_IDS))
        assert recording_db.requests == [f"{kind}_dict" for kind in KINDS] * 2

    def test_records_do_not_consult_the_database(self, recording_db: RecordingDB) -> None:
        KindModel(**{kind: RECORDS[kind][1] for kind in KINDS})
        assert recording_db.requests == []

    def test_changed_contents_show_at_next_validation(self, recording_db: RecordingDB) -> None:
        holder = single_field_model(catalog_types, "Course")
        assert holder(value=UNKNOWN_ID).value == UNKNOWN_ID
        replacement: Any = RECORDS["Course"][1]
        recording_db.dicts["Course_dict"][UNKNOWN_ID] = replacement
        assert holder(value=UNKNOWN_ID).value is replacement
        del recording_db.dicts["Course_dict"][1]
        assert holder(value=1).value == 1

    def test_database_errors_propagate(self, recording_db: RecordingDB) -> None:
        recording_db.dicts.clear()
        with pytest.raises(KeyError, match="Course_dict"):
            single_field_model(catalog_types, "Course")(value=1)
