"""The examples run as they stand, against the local service they start."""

import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def test_profile_from_qrcode(tmp_path: Path) -> None:
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / "profile_from_qrcode.py")],
        cwd=tmp_path, capture_output=True, text=True, timeout=60, check=True,
    )
    assert "Runtime type is 'Icon'" in run.stderr  # reveal_type at run time: the field holds the record
    lines = run.stdout.splitlines()
    assert lines[1] == "icon: Icon Meadow (Special)"
    assert lines[-2] == "music: unknown ID 999999"
    assert lines[-1].startswith("{'icon': 108, 'favourites': [") and lines[-1].endswith(", 999999]}")
