"""The package's stubs as a type checker sees them: mypy (the Debian package) accepts a
notebook's code and rejects the calls that fail at run time, with the package found through
its py.typed marker and without stubs of pandas."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vorn_profile as vp

HERE = Path(__file__).parent / "typing"
PACKAGES = Path(vp.__file__).parents[1]

pytestmark = pytest.mark.skipif(not shutil.which("mypy"), reason="mypy not installed")


def mypy(path, tmp_path):
    done = subprocess.run(
        ["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", sys.executable, str(path)],
        capture_output=True, text=True, env={"MYPYPATH": str(PACKAGES), "PATH": "/usr/bin:/bin"})
    return done.returncode, done.stdout + done.stderr


def test_a_notebooks_code_type_checks(tmp_path):
    status, output = mypy(HERE / "notebook_code.py", tmp_path)
    assert status == 0, output


def test_calls_that_fail_at_run_time_are_rejected(tmp_path):
    status, output = mypy(HERE / "mistakes.py", tmp_path)
    assert status == 1, output
    lines = (HERE / "mistakes.py").read_text().splitlines()
    for number, line in enumerate(lines, 1):
        if "# error:" in line:
            fragment = line.split("# error:")[1].strip()
            reported = [m for m in output.splitlines() if re.search(rf":{number}: error:", m)]
            assert reported and any(fragment in m for m in reported), (number, line, output)
    # And each indeed fails at run time.
    profile = vp.from_dataframe(__import__("conftest").small_frame(), clock_hz=1)
    for call in (lambda: vp.GroupBy["KIND"], lambda: profile.query(group_by="kinds"),
                 lambda: profile.query(grup_by="kind"), lambda: profile.query(window=5),
                 lambda: profile.supersteps(by="tiles"),
                 lambda: profile.write("x", format="csv"), lambda: vp.diff(profile)):
        with pytest.raises((TypeError, ValueError)):
            call()
