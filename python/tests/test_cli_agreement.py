"""The module's reports equal the tool's JSON reports of the same files, field by field and
doubles bit for bit, and the DataFrames hold exactly the report's values in their C++ widths."""

import numpy as np
import pytest

import vorn_profile as vp
from conftest import assert_same, cli_report, float_bits, needs_tool, run_tool

pytestmark = needs_tool

PROFILES = [  # tiles, steps per tile, seed, clock
    (1, 1, 1, 1_330_000_000),
    (3, 40, 2, 1_330_000_000),
    (16, 100, 7, 1_000),
    (5, 300, 11, 3),
    (40, 60, 5, 0),
]

QUERIES = [
    {},
    {"group_by": "phase", "kind": "compute", "tiles": [0, 5, 7], "phases": range(3, 9),
     "sort_by": "name", "limit": 10, "sample_limit": 5},
    {"group_by": vp.GroupBy.KIND, "sort_by": vp.SortBy.SAMPLES, "sample_limit": 20},
    {"group_by": "operation", "operation_contains": "matmul", "sort_by": "work-cycles"},
    {"group_by": "tile", "kind": vp.StepKind.EXCHANGE, "sort_by": "maximum-cycles", "limit": 0},
    {"group_by": "metadata", "metadata_key": "layer", "metadata": [("block", None)]},
    {"group_by": "metadata", "metadata_key": ""},
    {"kernel": "", "sample_limit": 3},
    {"metadata": [("layer", "encoder.0"), ("block", None)], "group_by": "phase"},
    {"at_offset": 100_000, "sample_limit": 10, "group_by": "tile"},
    {"at_offset": 2**64 - 1},
    {"tiles": {2, 1}, "phases": [0], "group_by": "kernel", "sort_by": "samples"},
    {"group_by": ["kernel", vp.GroupBy.TILE], "epochs": [0, 1], "percentiles": [90, 99.9, 0.125]},
    {"group_by": ["phase", "kind", "metadata"], "metadata_key": "layer",
     "kernel_matches": "^ge|^add", "exclude_kinds": ["idle", vp.StepKind.EXCHANGE]},
    {"operation_matches": "matmul$", "exclude_kernels": ["", "gemm"], "percentiles": [100, 0]},
]


def cli_args(keywords):
    """The command line that asks the same as these keywords."""
    text = {vp.GroupBy: lambda v: v.name.lower(), vp.StepKind: lambda v: v.name.lower(),
            vp.SortBy: lambda v: v.name.lower().replace("_", "-")}
    args = []
    for name, value in keywords.items():
        option = "--" + name.replace("_", "-")
        if name in ("tiles", "phases", "epochs"):
            numbers = ",".join(str(n) for n in value)
            args += [option[:-1], numbers] if numbers else []
        elif name == "group_by" and isinstance(value, list):
            args += [option, ",".join(text.get(type(v), str)(v) for v in value)]
        elif name in ("exclude_kinds", "exclude_kernels"):
            for item in value:
                args += [option[:-1], text.get(type(item), str)(item)]
        elif name == "percentiles":
            args += [option, ",".join(str(p) for p in value)]
        elif name == "metadata":
            for key, wanted in value:
                args += ["--metadata", key if wanted is None else f"{key}={wanted}"]
        else:
            args += [option, text.get(type(value), str)(value)]
    return args


KEY_COLUMNS = {"physicalTile": "physical_tile", "phase": "phase", "epoch": "epoch"}


def check_frame(frame, rows, dtypes):
    """The frame's columns, their dtypes and every cell against the report's plain values; the
    numeric dimensions of groups also as typed columns after `dimensions`."""
    keys = [column for key, column in KEY_COLUMNS.items()
            if rows and "dimensions" in rows[0] and key in rows[0]["dimensions"]]
    names = list(dtypes)
    assert list(frame.columns) == names[:2] + keys + names[2:] if keys else names
    for key, column in KEY_COLUMNS.items():
        if column in keys:
            assert frame[column].dtype == np.uint32
            assert frame[column].tolist() == [int(row["dimensions"][key]) for row in rows]
    assert len(frame) == len(rows)
    for column, dtype in dtypes.items():
        assert frame[column].dtype == np.dtype(dtype), column
        for row, cell in zip(rows, frame[column]):
            expected = row[column]
            if column == "metadata":
                expected = [(entry["name"], entry["value"]) for entry in expected]
            actual = cell.item() if isinstance(cell, np.generic) else cell
            assert_same(actual, expected, column)


GROUP_DTYPES = {
    "name": object, "dimensions": object, "sample_count": np.uint64, "tile_count": np.uint64,
    "phase_count": np.uint64, "phase_cycles": np.uint64, "phase_ms": np.float64,
    "work_cycles": np.uint64, "average_active_tiles": np.float64, "mean_cycles": np.float64,
    "p50_cycles": np.uint32, "p95_cycles": np.uint32, "maximum_cycles": np.uint32,
    "first_offset": np.uint64, "last_offset": np.uint64, "minimum_cycles": np.uint32,
    "stddev_cycles": np.float64, "share": np.float64,
}
SAMPLE_DTYPES = {
    "physical_tile": np.uint32, "offset": np.uint64, "duration": np.uint32, "phase": np.uint32,
    "epoch": np.uint32, "kind": object, "operation": object, "kernel": object, "metadata": object,
}


@pytest.mark.parametrize("shape", PROFILES, ids=lambda s: "x".join(map(str, s)))
def test_reports_equal_the_tool(generate, shape):
    path = generate(*shape)
    profile = vp.read(path)
    for keywords in QUERIES:
        expected = cli_report(path, cli_args(keywords))
        report = profile.query(**keywords)
        assert_same(report.to_dict(), expected, f"{keywords}")
        for name in ("clock_hz", "tile_count", "sample_count", "matched_sample_count",
                     "profile_span_cycles", "profile_span_ms", "at_offset"):
            assert_same(getattr(report, name), expected[name], name)
        # Further percentiles and keys are columns of the groups there are (none: no columns).
        asked = keywords.get("percentiles", []) if expected["groups"] else []
        percentiles = {f"p{p:g}_cycles": np.uint32 for p in asked}
        several = isinstance(keywords.get("group_by"), list) and expected["groups"]
        keys = {"keys": object} if several else {}
        check_frame(report.groups, expected["groups"], {**GROUP_DTYPES, **percentiles, **keys})
        check_frame(report.samples, expected["samples"], SAMPLE_DTYPES)
    assert (profile.clock_hz, profile.tile_count) == (shape[3], shape[0])
    assert profile.sample_count == shape[0] * shape[1]


def test_doubles_survive_the_frame(generate):
    # Awkward clocks make ms values with long fractions; the frame must not round them.
    profile = vp.read(generate(7, 90, 13, 999_999_937))
    report = profile.query(group_by="phase")
    for group, ms in zip(report.to_dict()["groups"], report.groups["phase_ms"]):
        assert float_bits(group["phase_ms"]) == float_bits(float(ms))


def test_packed_files_give_the_same_reports(generate, tmp_path):
    packed = tmp_path / "run.packed"
    run_tool("generate", "--tiles", 9, "--steps-per-tile", 70, "--seed", 4, "--format", "packed",
             "-o", packed)
    profile = vp.read(packed)
    for keywords in QUERIES:
        assert_same(profile.query(**keywords).to_dict(), cli_report(packed, cli_args(keywords)))
