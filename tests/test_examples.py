"""The examples run as they stand, against the local service they start or are pointed at."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

from zorvia.sim import SimService, sample_users

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"


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


def test_the_readme_road_is_the_example_and_survives_a_used_code_and_an_unknown_icon(tmp_path: Path) -> None:
    road = EXAMPLES / "road_from_qrcode.py"
    assert textwrap.indent(road.read_text(encoding="utf-8"), "    ") in (ROOT / "README.md").read_text(encoding="utf-8")

    user = sample_users()[0]
    user["data"]["iconId"] = 999999  # an icon the catalog lacks arrives as a bare int
    with SimService.start(users=[user]) as service:
        code = service.issue_qrcode()
        runs = [
            subprocess.run(
                [sys.executable, str(road), code],
                cwd=tmp_path, env=os.environ | service.environ(), capture_output=True, text=True, timeout=60,
            )
            for _ in range(2)  # the second time, the code has served its login
        ]
    assert (runs[0].returncode, runs[0].stderr) == (0, "")
    assert runs[0].stdout == "AOI #999999 (not in the catalog) ['Chara Meadow', 'Chara Dawn']\n"
    assert (runs[1].returncode, runs[1].stderr) == (1, "the login service knows nobody for this QR code\n")
