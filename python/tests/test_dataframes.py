"""Profiles as DataFrames: samples() in stored order and widths, columns viewing the profile's
memory, from_dataframe -> write -> read giving the same frame (and the same file), and bad
frames refused with the column and row of the fault."""

import gc

import numpy as np
import pandas as pd
import pytest

import vorn_profile as vp
from conftest import needs_tool, small_frame

SAMPLE_COLUMNS = ["physical_tile", "start_cycle", "end_cycle", "offset", "duration", "kind",
                  "phase", "epoch", "local_index", "operation", "kernel", "metadata"]


def test_small_frame_builds_the_profile_it_describes():
    profile = vp.from_dataframe(small_frame(), clock_hz=1_000_000)
    assert (profile.clock_hz, profile.tile_count, profile.sample_count) == (1_000_000, 2, 4)
    samples = profile.samples()
    assert list(samples.columns) == SAMPLE_COLUMNS
    # Tiles in order of their first row, each tile's rows in row order.
    assert samples["physical_tile"].tolist() == [9, 9, 2, 2]
    assert samples["offset"].tolist() == [0, 15, 0, 50]
    assert samples["duration"].tolist() == [13, 35, 50, 250]
    assert samples["metadata"].tolist() == [[("layer", "encoder.0")], [("a", "1"), ("a", "2")], [], []]
    assert samples["kind"].tolist() == ["compute", "idle", "exchange", "synchronization"]
    for column in ("physical_tile", "start_cycle", "end_cycle", "duration", "phase", "epoch",
                   "local_index"):
        assert samples[column].dtype == np.uint32, column
    assert samples["offset"].dtype == np.uint64
    report = profile.query(group_by="tile", sort_by="name")
    assert report.groups["name"].tolist() == ["tile 2", "tile 9"]
    assert report.groups["work_cycles"].tolist() == [300, 48]


def test_other_integer_and_text_dtypes_are_accepted():
    frame = small_frame()
    expected = vp.from_dataframe(frame, clock_hz=5).samples()
    frame["phase"] = frame["phase"].astype("uint8")
    frame["epoch"] = frame["epoch"].astype(object)
    frame["local_index"] = frame["local_index"].astype("UInt32")
    frame["kind"] = frame["kind"].astype("category")
    frame["metadata"] = [tuple(entries) for entries in frame["metadata"]]
    pd.testing.assert_frame_equal(vp.from_dataframe(frame, clock_hz=5).samples(), expected)


def test_sample_columns_view_the_profile_without_a_copy():
    profile = vp.from_dataframe(small_frame(), clock_hz=1)
    first, second = profile.samples(), profile.samples()
    for column in ("start_cycle", "end_cycle", "phase", "epoch", "local_index"):
        view = first[column].to_numpy()
        assert np.shares_memory(view, second[column].to_numpy()), column
        assert not view.flags.writeable, column
    starts = first["start_cycle"].to_numpy()
    # The view keeps the profile's memory alive after the profile is gone.
    del profile, second
    gc.collect()
    assert starts.tolist() == [2**32 - 10, 5, 100, 150]


@needs_tool
@pytest.mark.parametrize("shape", [(1, 1, 4), (6, 150, 21), (33, 40, 8)])
def test_frame_write_read_round_trip(generate, tmp_path, shape):
    original = generate(*shape)
    samples = vp.read(original).samples()
    written = tmp_path / "copy.json"
    vp.from_dataframe(samples).write(written)
    pd.testing.assert_frame_equal(vp.read(str(written)).samples(), samples)
    # The writer is the tool's, so the file comes back byte for byte.
    assert written.read_bytes() == original.read_bytes()
    packed = tmp_path / "copy.packed"
    vp.read(written).write(packed, format="packed")
    assert packed.read_bytes()[:1] != b"{"
    pd.testing.assert_frame_equal(vp.read(packed).samples(), samples)


def with_value(column, row, value, dtype=None):
    frame = small_frame()
    values = frame[column].tolist()
    values[row] = value
    frame[column] = pd.Series(values, dtype=dtype)
    return frame


BAD_FRAMES = [  # (frame, the message's fragments)
    (small_frame().drop(columns="epoch"), ["missing column 'epoch'"]),
    (small_frame().astype({"phase": "float64"}), ["column 'phase'", "float64"]),
    (with_value("start_cycle", 3, -1, "int64"), ["column 'start_cycle', row 3", "-1 is negative"]),
    (with_value("start_cycle", 1, 2**32), ["column 'start_cycle', row 1", "4294967296", "range"]),
    (with_value("end_cycle", 2, 2**64 - 1, "uint64"), ["column 'end_cycle', row 2", "range"]),
    (with_value("physical_tile", 0, 2**70, object), ["column 'physical_tile', row 0", "range"]),
    (with_value("local_index", 2, -(2**70), object), ["column 'local_index', row 2", "negative"]),
    (with_value("epoch", 1, True, object), ["column 'epoch', row 1", "expected an int"]),
    (with_value("kind", 2, "gemm"), ["column 'kind', row 2", "unknown kind 'gemm'"]),
    (with_value("kind", 0, 3), ["column 'kind', row 0", "expected a str"]),
    (with_value("kernel", 3, None), ["column 'kernel', row 3", "expected a str"]),
    (with_value("operation", 1, "bad \udc80"), ["column 'operation', row 1", "UTF-8"]),
    (with_value("metadata", 1, "layer"), ["column 'metadata', row 1", "list of (name, value)"]),
    (with_value("metadata", 0, [("layer",)]), ["column 'metadata', row 0", "pairs"]),
    (with_value("metadata", 3, [("layer", 7)]), ["column 'metadata', row 3", "expected a str"]),
]


@pytest.mark.parametrize("frame,fragments", BAD_FRAMES)
def test_bad_frames_name_column_and_row(frame, fragments):
    with pytest.raises(ValueError) as error:
        vp.from_dataframe(frame, clock_hz=1)
    for fragment in fragments:
        assert fragment in str(error.value)


def test_clock_must_be_given_and_in_range():
    with pytest.raises(TypeError, match="clock_hz"):
        vp.from_dataframe(small_frame())
    with pytest.raises(ValueError, match="clock_hz"):
        vp.from_dataframe(small_frame(), clock_hz=-1)
    with pytest.raises(TypeError, match="DataFrame"):
        vp.from_dataframe({"start_cycle": [1]}, clock_hz=1)


def test_errors_name_the_index_label():
    frame = small_frame()
    frame.index = [2000, 2001, 2002, 2003]
    frame.loc[2003, "kernel"] = None
    with pytest.raises(ValueError, match=r"column 'kernel', row 2003 \(position 3\)"):
        vp.from_dataframe(frame, clock_hz=1)
    named = small_frame().set_index(pd.Index(list("abcd")))
    named.loc["b", "phase"] = -1
    with pytest.raises(ValueError, match=r"column 'phase', row b \(position 1\): -1 is negative"):
        vp.from_dataframe(named, clock_hz=1)


def test_a_repeated_column_is_refused():
    frame = small_frame()
    doubled = pd.concat([frame, frame[["phase"]]], axis=1)
    with pytest.raises(ValueError, match="column 'phase' appears 2 times"):
        vp.from_dataframe(doubled, clock_hz=1)


@needs_tool
def test_rows_out_of_time_order_are_refused(generate):
    samples = vp.read(generate(3, 40, 2)).samples()
    with pytest.raises(ValueError, match="start_cycle.*before the start of the previous row"):
        vp.from_dataframe(samples.sort_values("duration"))
    # Sorted back (by tile and offset, or by the index), the profile is the same again.
    again = vp.from_dataframe(samples.sort_values("duration").sort_index())
    assert again.query().to_dict() == vp.from_dataframe(samples).query().to_dict()
    by_time = vp.from_dataframe(samples.sort_values(["physical_tile", "offset"], kind="stable"))
    assert by_time.query().profile_span_cycles == vp.read(generate(3, 40, 2)).query().profile_span_cycles
    # Taken as stored on request: a tile whose first row is not its earliest wraps its counter.
    shuffled = vp.from_dataframe(samples.sort_values("duration"), any_order=True)
    assert shuffled.query().profile_span_cycles > 2**31


def test_a_counter_wrap_is_time_order():
    # small_frame's tile 9 wraps from 2**32 - 10 to 5: forward in time, accepted.
    assert vp.from_dataframe(small_frame(), clock_hz=1).query().profile_span_cycles < 2**31


def test_text_columns_are_categoricals_over_the_profiles_texts():
    profile = vp.from_dataframe(small_frame(), clock_hz=1)
    samples = profile.samples()
    for column in ("kind", "operation", "kernel"):
        assert isinstance(samples[column].dtype, pd.CategoricalDtype), column
    assert samples["kernel"].tolist() == ["gemm", "", "", "sync"]
    assert sorted(samples["kernel"].cat.categories) == ["", "gemm", "sync"]
    assert list(samples["kind"].cat.categories) == ["exchange", "compute", "synchronization", "idle"]
    # Each category is one str object, made once: rows share it.
    assert samples["kernel"].groupby(samples["kernel"], observed=True).size().to_dict() == {
        "gemm": 1, "": 2, "sync": 1}
    # A categorical frame goes back in as it came out.
    assert vp.from_dataframe(samples).samples().equals(samples)


def test_metadata_as_columns():
    frame = small_frame()
    frame.at[1, "metadata"] = [("kind", "x"), ("layer", "decoder.1")]
    samples = vp.from_dataframe(frame, clock_hz=1).samples(metadata_columns=True)

    def cells(column):
        return [None if pd.isna(v) else v for v in samples[column].tolist()]

    # Stored order: tile 9's rows (0, 2) then tile 2's (1, 3).
    assert cells("layer") == ["encoder.0", None, "decoder.1", None]
    assert isinstance(samples["layer"].dtype, pd.CategoricalDtype)
    # A name repeated on one step: its first value. A name that is also a column: prefixed.
    assert cells("a") == [None, "1", None, None]
    assert cells("metadata:kind") == [None, None, "x", None]
    assert samples["kind"].tolist() == ["compute", "idle", "exchange", "synchronization"]
    assert list(samples.columns)[:len(SAMPLE_COLUMNS)] == SAMPLE_COLUMNS
    assert samples.drop(columns="metadata").drop_duplicates().shape[0] == 4
    assert list(vp.from_dataframe(frame, clock_hz=1).samples().columns) == SAMPLE_COLUMNS
