"""Reports as values: fresh frames at every access, pickling, HTML in Jupyter; and the
analyses beyond query (windows, diff, supersteps, info) against the tool's own output."""

import json
import pickle
import re

import numpy as np
import pytest

import vorn_profile as vp
from conftest import assert_same, needs_tool, run_tool, small_frame


def test_groups_are_a_fresh_frame_each_time():
    report = vp.from_dataframe(small_frame(), clock_hz=7).query(group_by="tile", sample_limit=2)
    before = report.to_dict()
    groups = report.groups
    groups.loc[0, "phase_cycles"] = 0
    groups["dimensions"][0]["physicalTile"] = "changed"
    report.samples.loc[0, "duration"] = 0
    assert report.groups["phase_cycles"][0] == before["groups"][0]["phase_cycles"]
    assert report.groups["dimensions"][0] == before["groups"][0]["dimensions"]
    assert report.samples["duration"][0] == before["samples"][0]["duration"]
    assert report.to_dict() == before
    report.to_dict()["groups"].clear()
    assert report.to_dict() == before


@needs_tool
def test_reports_pickle_and_show_as_html(generate):
    profile = vp.read(generate(3, 40, 2))
    reports = [profile.query(group_by="phase", sample_limit=3, window=(100, None)),
               profile.supersteps(by="tile"), profile.supersteps(limit=4),
               vp.diff(profile, profile, group_by="kind")]
    for report in reports:
        again = pickle.loads(pickle.dumps(report))
        assert type(again) is type(report) and again == report
        assert again.to_dict() == report.to_dict()
        html = report._repr_html_()
        assert html.startswith("<p><b>vorn_profile") and "<table" in html


@needs_tool
def test_typed_key_columns_and_signed_changes(generate):
    base = vp.read(generate(3, 40, 2))
    new = vp.read(generate(3, 40, 3))
    groups = base.query(group_by="phase").groups
    assert groups["phase"].dtype == np.uint32 and groups["epoch"].dtype == np.uint32
    assert (groups["phase"].astype(str) == groups["dimensions"].map(lambda d: d["phase"])).all()
    assert base.query(group_by="tile").groups["physical_tile"].dtype == np.uint32
    changes = vp.diff(base, new, group_by="phase").groups
    assert changes["delta_phase_cycles"].dtype == np.int64
    assert changes["base_phase_cycles"].dtype == np.uint64
    assert (changes["delta_phase_cycles"] < 0).any()
    expected = changes["new_phase_cycles"].astype(np.int64) - changes["base_phase_cycles"].astype(np.int64)
    assert (changes["delta_phase_cycles"] == expected).all()


def cli_json(*args):
    return json.loads(run_tool(*args, "--format", "json").stdout)


@needs_tool
def test_windows_diff_and_supersteps_equal_the_tool(generate, tmp_path):
    base_path = generate(6, 80, 21)
    new_path = tmp_path / "new.packed"
    run_tool("generate", "--tiles", 6, "--steps-per-tile", 80, "--seed", 22, "--format",
             "packed", "--slow-kernel", "gemm", "--slow-factor", "1.5", "-o", new_path)
    base, new = vp.read(base_path), vp.read(new_path)
    cases = [  # the module's call, the tool's arguments
        (lambda: base.query(window=(20_000, 90_000), group_by="tile", sample_limit=4),
         ["query", base_path, "--from", 20_000, "--to", 90_000, "--group-by", "tile",
          "--sample-limit", 4]),
        (lambda: base.query(window=(None, 50_000), kind="compute"),
         ["query", base_path, "--to", 50_000, "--kind", "compute"]),
        (lambda: base.query(window=(0, None)), ["query", base_path, "--from", 0]),
        (lambda: vp.diff(base, new, group_by="kernel", limit=5),
         ["diff", base_path, new_path, "--group-by", "kernel", "--limit", 5]),
        (lambda: vp.diff(base, new, group_by="phase", sort_by="name", window=(1000, 60_000),
                         tiles=[0, 2]),
         ["diff", base_path, new_path, "--group-by", "phase", "--sort-by", "name", "--from",
          1000, "--to", 60_000, "--tile", "0,2"]),
        (lambda: base.supersteps(), ["supersteps", base_path]),
        (lambda: new.supersteps(by="tile", kind="compute", limit=3, window=(5000, None)),
         ["supersteps", new_path, "--by", "tile", "--kind", "compute", "--limit", 3, "--from",
          5000]),
    ]
    for call, args in cases:
        assert_same(call().to_dict(), cli_json(*args), " ".join(map(str, args)))
    rows = new.supersteps().rows
    assert rows["imbalance"].dtype == np.float64 and rows["lost_cycles"].dtype == np.uint64
    assert rows["straggler"].dtype == np.uint32
    assert len(vp.diff(base, new, group_by="kernel", limit=5).groups) == 5


@needs_tool
def test_info_holds_the_tools_figures(generate):
    path = generate(5, 60, 8)
    info = vp.read(path).info()
    text = run_tool("info", path).stdout.decode()
    assert f"{info['clock_hz']} Hz" in text
    assert f"{info['profile_span_cycles']} cycles ({info['profile_span_ms']:.6f} ms)" in text
    assert info["sample_count"] == 300 and info["tile_count"] == 5
    lines = [re.split(r"\s{2,}", line.strip()) for line in text.splitlines()]
    table = {row[0]: row[1:] for row in lines if len(row) >= 2}
    for kernel, samples in info["kernels"].items():
        assert table[kernel or "(no kernel)"][0] == str(samples)
    for name, counts in info["metadata"].items():
        assert table[name] == [str(counts["entries"]), str(counts["steps"]), str(counts["values"])]
    assert sum(info["kinds"].values()) == sum(info["phases"].values()) == 300
    assert f"phases ({len(info['phases'])})" in text


def test_analyses_refuse_what_the_tool_refuses():
    profile = vp.from_dataframe(small_frame(), clock_hz=7)
    with pytest.raises(TypeError, match="sample_limit.*lists no steps"):
        vp.diff(profile, profile, sample_limit=3)
    with pytest.raises(TypeError, match="group_by"):
        profile.supersteps(group_by="kind")
    with pytest.raises(ValueError, match="by: unknown value 'tiles'"):
        profile.supersteps(by="tiles")
    with pytest.raises(TypeError, match="new: expected a vorn_profile.Profile"):
        vp.diff(profile, small_frame())


@needs_tool
def test_exports_and_report_pages_are_the_tools_bytes(generate, tmp_path):
    path = generate(4, 50, 9)
    profile = vp.read(path)
    cases = [  # the module's call, the tool's arguments
        (lambda out: profile.export(out), ["export", path]),
        (lambda out: profile.export(out, format="chrome-json", kind="compute",
                                    window=(0, 40_000)),
         ["export", path, "--format", "chrome-json", "--kind", "compute", "--from", 0, "--to",
          40_000]),
        (lambda out: profile.report(out), ["report", path]),
        (lambda out: profile.report(out, window=(10_000, None), tiles=[1, 3]),
         ["report", path, "--from", 10_000, "--tile", "1,3"]),
    ]
    for number, (call, args) in enumerate(cases):
        mine, theirs = tmp_path / f"module{number}", tmp_path / f"tool{number}"
        call(mine)
        run_tool(*args, "-o", theirs)
        assert mine.read_bytes() == theirs.read_bytes(), args
    with pytest.raises(vp.ProfileError, match="is the profile being read"):
        profile.report(path)
    with pytest.raises(ValueError, match="format: unknown value 'svg'"):
        profile.export(tmp_path / "x", format="svg")
    with pytest.raises(TypeError, match="group_by"):
        profile.report(tmp_path / "x", group_by="kind")
    # Built from a frame, a profile names the source it is given.
    again = vp.from_dataframe(profile.samples())
    again.report(tmp_path / "again.html", source=str(path))
    assert (tmp_path / "again.html").read_bytes() == (tmp_path / "tool2").read_bytes()
