"""bench/builds.py: two builds imported side by side in one process."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("scipy")  # the benchmark's own dependency (absent under PyPy)
import velmar

BENCH = Path(__file__).resolve().parent.parent / "bench" / "builds.py"


def test_a_build_against_itself_gives_the_same_bits():
    # In a child: the benchmark swaps the velmar modules of its process.
    here = Path(velmar.__file__).resolve().parent.parent
    args = ["--baseline", here, "--candidate", here, "--n", "40,300", "--degree", "4"]
    run = subprocess.run(
        [sys.executable, BENCH, *args, "--dim", "8", "--calls", "1"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    rows = [line for line in run.stdout.splitlines() if line.startswith("| 40 |")]
    assert len(rows) == 1 and rows[0].endswith("| yes |")


def test_a_directory_without_the_package_is_refused(tmp_path):
    run = subprocess.run(
        [sys.executable, BENCH, "--baseline", tmp_path, "--candidate", tmp_path],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode != 0 and "holds no velmar package" in run.stderr
