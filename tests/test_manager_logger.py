"""`setup_logger`: the two sinks it installs on the shared logger, their filters and settings."""

import io
from pathlib import Path
from types import ModuleType, SimpleNamespace
from typing import Any

import pytest
from loguru import logger as loguru_logger
from manager_support import Recorder, event, run_child_process

pytest_plugins = ["manager_fixtures"]

FILE_OPTIONS = {
    "level": "DEBUG",
    "backtrace": True,
    "diagnose": True,
    "rotation": "5 MB",
    "retention": "30 days",
    "encoding": "utf-8",
}


class RecordingLogger:
    """Stands in for the module's `logger`: logs `remove`, `add` and `level` calls and passes them on to
    `target`, or answers `level` itself with `debug_no` when there is no target."""

    def __init__(self, recorder: Recorder, target: Any = None, debug_no: Any = 10) -> None:
        self.recorder = recorder
        self.target = target
        self.debug_no = debug_no

    def remove(self, *args: Any, **kwargs: Any) -> Any:
        self.recorder.log("remove", *args, **kwargs)
        return self.target.remove(*args, **kwargs) if self.target else None

    def add(self, *args: Any, **kwargs: Any) -> Any:
        self.recorder.log("add", *args, **kwargs)
        return self.target.add(*args, **kwargs) if self.target else 1

    def level(self, *args: Any, **kwargs: Any) -> Any:
        self.recorder.log("level", *args, **kwargs)
        return self.target.level(*args, **kwargs) if self.target else SimpleNamespace(no=self.debug_no)

    def filters(self) -> list[Any]:
        return [dict(kwargs)["filter"] for name, _, kwargs in self.recorder.events if name == "add"]


class AnyCallable:
    def __eq__(self, other: object) -> bool:
        return callable(other)


def handler_count() -> int:
    return len(loguru_logger._core.handlers)


def level_record(no: Any) -> dict[str, Any]:
    return {"level": SimpleNamespace(no=no)}


@pytest.fixture
def console(zm: ModuleType, monkeypatch: pytest.MonkeyPatch, tmp_path: Path, restore_logger: None) -> io.StringIO:
    """Runs the test in an empty working directory with the module's `stdout` bound to a string buffer."""
    monkeypatch.chdir(tmp_path)
    stream = io.StringIO()
    monkeypatch.setattr(zm, "stdout", stream)
    return stream


@pytest.fixture
def fake_logger(zm: ModuleType, recorder: Recorder, monkeypatch: pytest.MonkeyPatch) -> RecordingLogger:
    fake = RecordingLogger(recorder)
    monkeypatch.setattr(zm, "logger", fake)
    return fake


class TestSinks:
    def test_calls_on_the_logger_in_order(
        self, zm: ModuleType, console: io.StringIO, recorder: Recorder, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setattr(zm, "logger", RecordingLogger(recorder, loguru_logger))
        assert zm.setup_logger() is None
        assert recorder.events == [
            event("remove"),
            event("add", console, filter=AnyCallable()),
            event("add", "./log/debug.log", **FILE_OPTIONS, filter=AnyCallable()),
        ]

    def test_exactly_two_sinks_after_one_or_several_calls(self, zm: ModuleType, console: io.StringIO) -> None:
        loguru_logger.add(io.StringIO())
        zm.setup_logger()
        assert handler_count() == 2
        zm.setup_logger()
        zm.setup_logger()
        assert handler_count() == 2

    def test_debug_and_above_reach_both_sinks_and_trace_neither(
        self, zm: ModuleType, console: io.StringIO, tmp_path: Path
    ) -> None:
        zm.setup_logger()
        loguru_logger.trace("trace-line")
        loguru_logger.debug("debug-line")
        loguru_logger.info("info-line")
        log_file = tmp_path / "log" / "debug.log"
        for text in (console.getvalue(), log_file.read_text(encoding="utf-8")):
            assert "debug-line" in text and "info-line" in text
            assert "trace-line" not in text

    def test_the_console_sink_is_the_module_stdout_not_sys_stdout(
        self, zm: ModuleType, console: io.StringIO, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        other = io.StringIO()
        monkeypatch.setattr("sys.stdout", other)
        zm.setup_logger()
        loguru_logger.debug("where-am-i")
        assert "where-am-i" in console.getvalue()
        assert other.getvalue() == ""

    def test_the_file_sink_writes_utf8_with_extended_tracebacks(
        self, zm: ModuleType, console: io.StringIO, tmp_path: Path
    ) -> None:
        zm.setup_logger()
        secret_local = "\u00e9t\u00e9-\u4e2d"
        try:
            raise ValueError(secret_local)
        except ValueError:
            loguru_logger.exception("caught")
        text = (tmp_path / "log" / "debug.log").read_bytes().decode("utf-8")
        assert "caught" in text and "ValueError" in text
        assert f"\u2514 '{secret_local}'" in text  # diagnose shows the values of the variables

    def test_a_failure_opening_the_file_leaves_the_console_sink_alone(
        self, zm: ModuleType, console: io.StringIO, tmp_path: Path
    ) -> None:
        (tmp_path / "log").write_text("a file where the folder should be")
        with pytest.raises(OSError):
            zm.setup_logger()
        assert handler_count() == 1

    @pytest.mark.parametrize(
        ("args", "kwargs"),
        [((1,), {}), ((1, 2), {}), ((), {"x": 1}), ((1,), {"x": 1})],
    )
    def test_any_argument_is_refused_and_the_sinks_stay(
        self,
        zm: ModuleType,
        recorder: Recorder,
        monkeypatch: pytest.MonkeyPatch,
        restore_logger: None,
        args: tuple,
        kwargs: dict,
    ) -> None:
        monkeypatch.setattr(zm, "logger", RecordingLogger(recorder, loguru_logger))
        before = dict(loguru_logger._core.handlers)
        with pytest.raises(TypeError):
            zm.setup_logger(*args, **kwargs)
        assert recorder.events == []
        assert loguru_logger._core.handlers == before


class TestFilters:
    def test_each_sink_gets_its_own_fresh_filter(self, zm: ModuleType, fake_logger: RecordingLogger) -> None:
        zm.setup_logger()
        zm.setup_logger()
        filters = fake_logger.filters()
        assert len(filters) == 4 and len({id(f) for f in filters}) == 4
        for function in filters:
            assert function.__name__ == "<lambda>"
            assert function.__qualname__ == "setup_logger.<locals>.<lambda>"

    @pytest.mark.parametrize(("no", "passes"), [(0, False), (5, False), (9, False), (10, True), (20, True), (50, True)])
    def test_records_from_debug_up_pass(
        self, zm: ModuleType, fake_logger: RecordingLogger, recorder: Recorder, no: int, passes: bool
    ) -> None:
        zm.setup_logger()
        filters = fake_logger.filters()
        recorder.take()
        for function in filters:
            assert function(level_record(no)) is passes
            assert function(record=level_record(no)) is passes
        assert recorder.events == [event("level", "DEBUG")] * 4

    def test_the_debug_number_is_asked_for_every_record(self, zm: ModuleType, fake_logger: RecordingLogger) -> None:
        zm.setup_logger()
        console_filter, file_filter = fake_logger.filters()
        fake_logger.debug_no = 30
        assert console_filter(level_record(20)) is False
        assert file_filter(level_record(30)) is True

    def test_the_comparison_result_is_returned_unchanged(self, zm: ModuleType, fake_logger: RecordingLogger) -> None:
        verdict = object()
        seen = []

        class Number:
            def __ge__(self, other: object) -> object:
                seen.append(other)
                return verdict

        zm.setup_logger()
        fake_logger.debug_no = threshold = object()
        for function in fake_logger.filters():
            assert function(level_record(Number())) is verdict
        assert seen == [threshold, threshold]

    def test_the_module_logger_is_looked_up_when_the_filter_runs(
        self, zm: ModuleType, fake_logger: RecordingLogger, recorder: Recorder, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        zm.setup_logger()
        filters = fake_logger.filters()
        monkeypatch.setattr(zm, "logger", RecordingLogger(recorder, debug_no=40))
        assert [function(level_record(30)) for function in filters] == [False, False]


def test_a_fresh_process_logs_debug_to_its_own_stdout_and_the_file(tmp_path: Path) -> None:
    completed = run_child_process(
        """
        from loguru import logger
        from zorvia.zorvmanager import setup_logger
        setup_logger()
        logger.trace("trace-line")
        logger.debug("debug-line")
        """,
        cwd=tmp_path,
    )
    file_text = (tmp_path / "log" / "debug.log").read_text(encoding="utf-8")
    for text in (completed.stdout, file_text):
        assert "debug-line" in text and "trace-line" not in text
    assert "debug-line" not in completed.stderr
