"""Errors a notebook user meets: bad profile files raise ProfileError with the tool's message,
bad keyword arguments raise TypeError or ValueError naming the keyword."""

import inspect
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vorn_profile as vp
from conftest import BAD_PROFILES, TOOL, needs_tool, run_tool, small_frame

BAD_FILES = sorted(BAD_PROFILES.glob("*.json"))


def expected_errors():
    """expected.txt: file | offset | JSON path | message fragment."""
    table = {}
    for line in (BAD_PROFILES / "expected.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, offset, path, fragment = (field.strip() for field in line.split("|", 3))
            table[name] = (int(offset), path, fragment)
    return table


@pytest.mark.parametrize("path", BAD_FILES, ids=lambda p: p.name)
def test_bad_files_raise_the_tools_message(path):
    with pytest.raises(vp.ProfileError) as error:
        vp.read(path)
    assert isinstance(error.value, ValueError)
    offset, location, fragment = expected_errors()[path.name]
    assert error.value.offset == offset
    assert error.value.path == str(path)
    assert fragment in error.value.reason
    if location.endswith("..."):
        assert error.value.location.startswith(location[:-3])
    else:
        assert error.value.location == location
    if TOOL:
        done = run_tool("query", path, check=False)
        assert done.returncode == 1
        assert "error: " + str(error.value) + "\n" == done.stderr.decode()


def test_missing_file_and_path_forms(tmp_path):
    missing = tmp_path / "missing.json"
    with pytest.raises(vp.ProfileError, match="^" + str(missing) + ": at byte 0") as error:
        vp.read(missing)
    if TOOL:
        assert run_tool("info", missing, check=False).stderr.decode() == f"error: {error.value}\n"
    with pytest.raises(vp.ProfileError, match="^" + str(missing)):
        vp.read(os.fsencode(missing))
    with pytest.raises(TypeError):
        vp.read(5)


def test_standard_input_is_read_for_a_dash(tmp_path):
    path = tmp_path / "in.json"
    vp.from_dataframe(small_frame(), clock_hz=7).write(path)
    script = "import vorn_profile as vp; p = vp.read('-'); print(p.sample_count, p.clock_hz)"
    with open(path, "rb") as stdin:
        done = subprocess.run([sys.executable, "-c", script], stdin=stdin, capture_output=True,
                              check=True)
    assert done.stdout == b"4 7\n"


def test_unwritable_path_raises_os_error(tmp_path):
    profile = vp.from_dataframe(small_frame(), clock_hz=7)
    with pytest.raises(OSError) as error:
        profile.write(tmp_path / "no" / "such" / "dir.json")
    assert error.value.filename == str(tmp_path / "no" / "such" / "dir.json")
    with pytest.raises(ValueError, match="format.*'csv'"):
        profile.write(tmp_path / "x", format="csv")


def test_paths_with_an_embedded_nul_are_refused(tmp_path):
    # The system would stop at the NUL and read or overwrite another file than the one named.
    victim = tmp_path / "victim.json"
    profile = vp.from_dataframe(small_frame(), clock_hz=7)
    profile.write(victim)
    before = victim.read_bytes()
    for path in (str(victim) + "\0anything", os.fsencode(victim) + b"\0x"):
        with pytest.raises(ValueError, match="embedded null byte"):
            vp.read(path)
    with pytest.raises(ValueError, match="embedded null byte"):
        profile.write(str(victim) + "\0.packed", format="packed")
    assert victim.read_bytes() == before


def test_a_mapped_profile_survives_its_file_being_replaced(tmp_path):
    path = tmp_path / "m.packed"
    vp.from_dataframe(small_frame(), clock_hz=7).write(path, format="packed")
    mapped = vp.read(path)
    before = mapped.query().to_dict()
    for source, stored in ((mapped, "packed"), (vp.from_dataframe(small_frame(), clock_hz=7), "json")):
        with pytest.raises(vp.ProfileError, match="is mapped by a profile being read"):
            source.write(path, format=stored)
    if TOOL:
        # Another program replaces the file: the mapped profile reads on from the old one.
        run_tool("generate", "--tiles", "3", "--format", "packed", "-o", path)
        assert mapped.query().to_dict() == before
        assert vp.read(path).query().to_dict() != before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["m.packed"]


BAD_KEYWORDS = [  # keywords, error type, fragments of the message
    ({"grup_by": "phase"}, TypeError, ["grup_by", "group_by"]),
    ({"group_by": "phases"}, ValueError, ["group_by", "'phases'", "kind, kernel"]),
    ({"group_by": 3}, TypeError, ["group_by", "GroupBy", "int"]),
    ({"group_by": vp.SortBy.NAME}, TypeError, ["group_by"]),
    ({"sort_by": "phase_cycles"}, ValueError, ["sort_by", "phase-cycles"]),
    ({"kind": "Compute"}, ValueError, ["kind", "'Compute'"]),
    ({"kind": vp.GroupBy.KIND}, TypeError, ["kind", "StepKind"]),
    ({"tiles": 5}, TypeError, ["tiles", "iterable"]),
    ({"tiles": "0,5"}, TypeError, ["tiles"]),
    ({"tiles": [1, -1]}, ValueError, ["tiles", "-1", "out of range"]),
    ({"phases": [2**32]}, ValueError, ["phases", "4294967296"]),
    ({"phases": [1.0]}, TypeError, ["phases", "float"]),
    ({"phases": range(2_000_000)}, ValueError, ["phases", "1048576"]),
    ({"metadata": [("layer",)]}, ValueError, ["metadata"]),
    ({"metadata": ["layer"]}, TypeError, ["metadata"]),
    ({"metadata": [("layer", 3)]}, TypeError, ["metadata value"]),
    ({"kernel": b"gemm"}, TypeError, ["kernel", "bytes"]),
    ({"operation_contains": "\ud800"}, ValueError, ["operation_contains", "UTF-8"]),
    ({"at_offset": -5}, ValueError, ["at_offset", "-5"]),
    ({"at_offset": 2**64}, ValueError, ["at_offset", "18446744073709551616"]),
    ({"limit": "10"}, TypeError, ["limit", "str"]),
    ({"sample_limit": True}, TypeError, ["sample_limit", "bool"]),
    ({"sample_limit": None}, TypeError, ["sample_limit"]),
]


@pytest.mark.parametrize("keywords,kind,fragments", BAD_KEYWORDS)
def test_bad_keywords_name_themselves(keywords, kind, fragments):
    profile = vp.from_dataframe(small_frame(), clock_hz=7)
    with pytest.raises(kind) as error:
        profile.query(**keywords)
    for fragment in fragments:
        assert fragment in str(error.value)


def test_enum_members_and_texts_ask_the_same():
    profile = vp.from_dataframe(small_frame(), clock_hz=7)
    by_text = profile.query(group_by="kind", sort_by="name", kind="compute", at_offset=np.uint64(0))
    by_enum = profile.query(group_by=vp.GroupBy.KIND, sort_by=vp.SortBy.NAME,
                            kind=vp.StepKind.COMPUTE, at_offset=0)
    assert by_text.to_dict() == by_enum.to_dict()
    assert by_text.groups["name"].tolist() == ["compute"]


@needs_tool
def test_new_keywords_refuse_bad_values(generate):
    profile = vp.read(generate(2, 10, 1))
    for keywords, error, words in [
        ({"kernel_matches": "("}, ValueError, "kernel_matches"),
        ({"percentiles": [100.5]}, ValueError, "percentiles"),
        ({"percentiles": [99.9999]}, ValueError, "percentiles"),
        ({"percentiles": ["99"]}, TypeError, "percentiles"),
        ({"group_by": ["tile", "tile"]}, ValueError, "twice"),
        ({"group_by": ["tile", "kind", "phase", "kernel"]}, ValueError, "three"),
        ({"group_by": []}, ValueError, "group_by"),
        ({"exclude_kinds": "idle"}, TypeError, "exclude_kinds"),
        ({"exclude_kinds": ["gpu"]}, ValueError, "gpu"),
    ]:
        with pytest.raises(error, match=words):
            profile.query(**keywords)


def test_writing_over_the_source_is_refused_and_the_profile_stays_usable(tmp_path):
    source = tmp_path / "run.json"
    vp.from_dataframe(small_frame(), clock_hz=7).write(source)
    alias = tmp_path / "alias.json"
    os.link(source, alias)
    before = source.read_bytes()
    profile = vp.read(source)
    for destination in (source, alias, str(source)):
        with pytest.raises(vp.ProfileError, match="is the profile being read") as error:
            profile.write(destination, format="packed")
        assert error.value.path == os.fspath(destination)
    assert source.read_bytes() == before
    # Still readable, and writable elsewhere.
    assert profile.query().to_dict() == vp.read(source).query().to_dict()
    profile.write(tmp_path / "copy.json")
    assert (tmp_path / "copy.json").read_bytes() == before


def test_a_mapped_copy_written_over_itself_raises(tmp_path):
    vp.from_dataframe(small_frame(), clock_hz=7).write(tmp_path / "run.packed", format="packed")
    copy = tmp_path / "m.packed"
    copy.write_bytes((tmp_path / "run.packed").read_bytes())
    profile = vp.read(copy)
    with pytest.raises(vp.ProfileError):
        profile.write(copy, format="packed")
    assert profile.sample_count == 4 and profile.query().sample_count == 4


def test_the_query_signature_is_readable():
    signature = inspect.signature(vp.Profile.query)
    names = list(signature.parameters)
    assert names[0] == "self"
    for name in ("group_by", "kind", "tiles", "sort_by", "limit", "sample_limit", "window"):
        assert signature.parameters[name].kind is inspect.Parameter.KEYWORD_ONLY
    assert signature.parameters["group_by"].default == "kernel"
    assert "window" in inspect.signature(vp.Profile.supersteps).parameters
    assert "sample_limit" not in inspect.signature(vp.diff).parameters
    # The shown defaults are what leaving a keyword out gives.
    profile = vp.from_dataframe(small_frame(), clock_hz=7)
    shown = {name: p.default for name, p in signature.parameters.items()
             if name in ("group_by", "sort_by", "tiles", "phases", "metadata", "kind", "limit")}
    assert profile.query(**shown).to_dict() == profile.query().to_dict()


@pytest.mark.parametrize("window,kind,fragment", [
    ((5,), TypeError, "pair"),
    (5, TypeError, "pair"),
    ((1.5, None), TypeError, "float"),
    ((-1, None), ValueError, "-1"),
    ((10, 10), ValueError, "holds no cycle"),
    ((None, 2**64), ValueError, "out of range"),
])
def test_bad_windows_name_themselves(window, kind, fragment):
    profile = vp.from_dataframe(small_frame(), clock_hz=7)
    with pytest.raises(kind, match="window") as error:
        profile.query(window=window)
    assert fragment in str(error.value)
