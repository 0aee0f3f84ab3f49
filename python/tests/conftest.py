"""Shared helpers of the module's tests: the vorn-profile tool of the same build tree, profiles
it generates, and comparison of report values bit for bit."""

import json
import os
import struct
import subprocess
from pathlib import Path

import pandas as pd
import pytest

TOOL = os.environ.get("VORN_PROFILE_EXE")
BAD_PROFILES = Path(os.environ.get("VORN_BAD_PROFILES_DIR", Path(__file__).parents[2] / "tests/data/bad"))

needs_tool = pytest.mark.skipif(not TOOL, reason="VORN_PROFILE_EXE (the vorn-profile tool) not set")


def run_tool(*args, check=True):
    """Runs vorn-profile; returns the completed process (stdout and stderr as bytes)."""
    done = subprocess.run([TOOL, *map(str, args)], capture_output=True)
    if check and done.returncode != 0:
        raise AssertionError(f"vorn-profile {args} failed: {done.stderr.decode()}")
    return done


@pytest.fixture(scope="session")
def generate(tmp_path_factory):
    """generate(tiles, steps, seed, clock_hz) -> path of a profile made by `vorn-profile generate`."""
    directory = tmp_path_factory.mktemp("profiles")
    made = {}

    def make(tiles, steps, seed, clock_hz=1_330_000_000):
        key = (tiles, steps, seed, clock_hz)
        if key not in made:
            path = directory / f"t{tiles}_s{steps}_seed{seed}_c{clock_hz}.json"
            run_tool("generate", "--tiles", tiles, "--steps-per-tile", steps, "--seed", seed,
                     "--clock-hz", clock_hz, "-o", path)
            made[key] = path
        return made[key]

    return make


def cli_report(path, args):
    """The report of `vorn-profile query PATH ARGS --format json`, as Python values."""
    return json.loads(run_tool("query", path, *args, "--format", "json").stdout)


def float_bits(value):
    return struct.pack("<d", value)


def assert_same(actual, expected, where="report"):
    """Equal values of equal types, recursively; floats bit for bit, dict members in order."""
    assert type(actual) is type(expected), f"{where}: {type(actual)} vs {type(expected)}"
    if isinstance(expected, float):
        assert float_bits(actual) == float_bits(expected), f"{where}: {actual!r} vs {expected!r}"
    elif isinstance(expected, dict):
        assert list(actual) == list(expected), f"{where}: members {list(actual)} vs {list(expected)}"
        for key in expected:
            assert_same(actual[key], expected[key], f"{where}.{key}")
    elif isinstance(expected, (list, tuple)):
        assert len(actual) == len(expected), f"{where}: {len(actual)} vs {len(expected)} items"
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_same(a, e, f"{where}[{i}]")
    else:
        assert actual == expected, f"{where}: {actual!r} vs {expected!r}"


def small_frame():
    """Two tiles, rows interleaved; tile 9's counter wraps past 2**32-1."""
    return pd.DataFrame({
        "physical_tile": [9, 2, 9, 2],
        "start_cycle": [2**32 - 10, 100, 5, 150],
        "end_cycle": [3, 150, 40, 400],
        "kind": ["compute", "exchange", "idle", "synchronization"],
        "phase": [1, 1, 2, 2],
        "epoch": [0, 0, 0, 1],
        "local_index": [0, 0, 1, 1],
        "operation": ["matmul.0", "send", "", "barrier"],
        "kernel": ["gemm", "", "", "sync"],
        "metadata": [[("layer", "encoder.0")], [], [("a", "1"), ("a", "2")], []],
    })
