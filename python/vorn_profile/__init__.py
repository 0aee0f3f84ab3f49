"""Cycle profiles of a tiled accelerator, queried from Python.

    import vorn_profile as vp

    profile = vp.read("run.json")
    report = profile.query(group_by="phase", kind="compute", limit=10)
    report.groups.plot.bar(x="name", y="phase_ms")

read() opens a stored profile and Profile.query() answers one question about it; supersteps(),
info() and diff() answer the tool's other questions. Every report holds the answer as pandas
DataFrames and totals, and to_dict() gives what `vorn-profile ... --format json` prints.
Profile.samples() gives every sample as a DataFrame; from_dataframe() builds a Profile from one.

The compiled core (_vorn_profile) does the work, with the tool's own library code; this layer
gives the calls their signatures and turns the answers into DataFrames.
"""

from __future__ import annotations

import inspect
import json
import operator
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from . import distributed
from ._vorn_profile import (
    _QUERY_KEYWORDS,
    GroupBy,
    Partial,
    Profile,
    ProfileError,
    SortBy,
    StepKind,
    __version__,
    _diff,
    from_dataframe,
    read,
)

__all__ = [
    "DiffReport",
    "GroupBy",
    "Partial",
    "Profile",
    "ProfileError",
    "Report",
    "SortBy",
    "StepKind",
    "SuperstepReport",
    "diff",
    "distributed",
    "from_dataframe",
    "read",
]

_MAX64 = 2**64 - 1

# dtypes of the report fields; a field not named here (a new one) gets what numpy infers.
_UNSIGNED = {
    "uint64": (
        "sample_count", "tile_count", "phase_count", "phase_cycles", "work_cycles",
        "first_offset", "last_offset", "offset", "tiles", "start", "end", "span_cycles",
        "busy_cycles", "max_busy", "min_busy", "lost_cycles", "sync_cycles", "straggler_count",
        "lost_cycles_caused", "matched_sample_count",
    ),
    "uint32": (
        "p50_cycles", "p95_cycles", "maximum_cycles", "minimum_cycles", "physical_tile",
        "duration", "phase", "epoch", "straggler",
    ),
}
_DTYPES: Dict[str, str] = {name: dtype for dtype, names in _UNSIGNED.items() for name in names}
_GROUP_FIELDS = [
    "name", "dimensions", "sample_count", "tile_count", "phase_count", "phase_cycles", "phase_ms",
    "work_cycles", "average_active_tiles", "mean_cycles", "p50_cycles", "p95_cycles",
    "maximum_cycles", "first_offset", "last_offset", "minimum_cycles", "stddev_cycles", "share",
]
_DTYPES.update(phase_ms="float64", average_active_tiles="float64", mean_cycles="float64",
               imbalance="float64", mean_busy="float64", phase_cycles_ratio="float64",
               stddev_cycles="float64", share="float64")
# A group's dimensions that are numbers, and the typed column each becomes.
_KEY_COLUMNS = {"physicalTile": "physical_tile", "phase": "phase", "epoch": "epoch"}


def _column(name: str, values: List[Any]) -> Any:
    """One column of a report frame, with the width the C++ field has."""
    field = name
    for side in ("base_", "new_", "delta_"):
        if name.startswith(side):
            field = name[len(side):]
    dtype = _DTYPES.get(field)
    if dtype is None and field.startswith("p") and field.endswith("_cycles"):
        dtype = "uint32"  # a further percentile the query asked for: p90_cycles, p99.9_cycles
    if dtype is not None and field != name and dtype != "float64":
        # The figures of a diff are 64-bit; a change may be negative, so it is signed, where
        # new minus base on unsigned columns would wrap.
        dtype = "int64" if name.startswith("delta_") else "uint64"
    if dtype == "float64":
        values = [np.nan if v is None else v for v in values]
    if dtype is not None:
        return np.array(values, dtype=dtype)
    if values and all(isinstance(v, float) or v is None for v in values):
        return np.array([np.nan if v is None else v for v in values], dtype="float64")
    # One cell per value, set one by one: numpy would read equal-length lists as a second axis.
    column = np.empty(len(values), dtype="object")
    for i, value in enumerate(values):
        column[i] = value
    return column


def _frame(rows: List[Dict[str, Any]], names: Sequence[str]) -> pd.DataFrame:
    """A fresh DataFrame of flat rows; `names` gives the columns when there are no rows."""
    if rows:
        names = list(rows[0])
    return pd.DataFrame({name: _column(name, [row[name] for row in rows]) for name in names})


def _window(window: Any) -> Optional[Tuple[int, int]]:
    """The (from, to) pair of a window keyword: either end may be None (the time line's end)."""
    if window is None:
        return None
    if isinstance(window, (str, bytes)) or not isinstance(window, (tuple, list)) or len(window) != 2:
        raise TypeError(f"window: expected a (from, to) pair, found {type(window).__name__}")
    ends = []
    for end, default in zip(window, (0, _MAX64)):
        if end is None:
            ends.append(default)
            continue
        if isinstance(end, bool):
            raise TypeError("window: expected ints or None, found bool")
        try:
            number = operator.index(end)
        except TypeError:
            raise TypeError(f"window: expected ints or None, found {type(end).__name__}") from None
        if not 0 <= number <= _MAX64:
            raise ValueError(f"window: {number} is out of range (0 to {_MAX64})")
        ends.append(number)
    start, stop = ends
    if start >= stop:
        raise ValueError(
            f"window: ({start}, {stop}) holds no cycle (the window is [from, to) with from < to)")
    return start, stop


class _Answer:
    """What every report has: the tool's JSON text, read as Python values when first needed,
    and an HTML table in Jupyter. It pickles as that text."""

    _TITLE = "report"

    def __init__(self, text: bytes) -> None:
        self._text = text
        self._parsed: Optional[Dict[str, Any]] = None

    @property
    def _data(self) -> Dict[str, Any]:
        # Shared by the properties, never handed out: to_dict() parses a fresh copy.
        if self._parsed is None:
            self._parsed = json.loads(self._text)
        return self._parsed

    def to_dict(self) -> Dict[str, Any]:
        """The object that the tool's `--format json` prints, as a fresh copy."""
        return json.loads(self._text)  # type: ignore[no-any-return]

    def __getstate__(self) -> bytes:
        return self._text

    def __setstate__(self, text: bytes) -> None:
        self.__init__(text)  # type: ignore[misc]

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and self._text == other._text  # type: ignore[attr-defined]

    __hash__ = None  # type: ignore[assignment]

    def _totals(self) -> Dict[str, Any]:
        return {k: v for k, v in self._data.items() if not isinstance(v, (list, dict))}

    def _table(self) -> pd.DataFrame:
        raise NotImplementedError

    def _repr_html_(self) -> str:
        totals = ", ".join(f"{k}={v}" for k, v in self._totals().items())
        return f"<p><b>vorn_profile {self._TITLE}</b>: {totals}</p>" + self._table()._repr_html_()


class Report(_Answer):
    """The answer to one query (made by Profile.query).

    groups and samples are pandas DataFrames, made afresh at each access (change them
    freely); the other attributes are the report's totals. to_dict() gives the object that
    `vorn-profile query --format json` prints.
    """

    @property
    def groups(self) -> pd.DataFrame:
        """One row per group, in report order (sorted, then limited).

        Columns: name (str), dimensions (dict of str to str), the numeric dimensions as typed
        columns (physical_tile, or phase and epoch: uint32), then every GroupSummary field:
        counts, cycles and offsets uint64, p50/p95/maximum_cycles uint32, and phase_ms,
        average_active_tiles, mean_cycles float64 holding the engine's doubles exactly.
        """
        rows = []
        for group in self._data["groups"]:
            row = {"name": group["name"], "dimensions": dict(group["dimensions"])}
            for key, column in _KEY_COLUMNS.items():
                if key in group["dimensions"]:
                    row[column] = int(group["dimensions"][key])
            row.update((k, v) for k, v in group.items() if k not in ("name", "dimensions"))
            rows.append(row)
        return _frame(rows, _GROUP_FIELDS)

    @property
    def samples(self) -> pd.DataFrame:
        """The longest matched samples (at most sample_limit rows), longest first.

        Columns: physical_tile, duration, phase, epoch (uint32), offset (uint64), kind,
        operation, kernel (str), metadata (a list of (name, value) tuples).
        """
        rows = [
            dict(sample, metadata=[(e["name"], e["value"]) for e in sample["metadata"]])
            for sample in self._data["samples"]
        ]
        return _frame(rows, ["physical_tile", "offset", "duration", "phase", "epoch", "kind",
                             "operation", "kernel", "metadata"])

    clock_hz = property(lambda self: self._data["clock_hz"], doc="Cycles per second.")
    tile_count = property(lambda self: self._data["tile_count"], doc="Tiles in the profile.")
    sample_count = property(lambda self: self._data["sample_count"], doc="Samples in the profile.")
    matched_sample_count = property(lambda self: self._data["matched_sample_count"],
                                    doc="Samples that passed every filter (and lie in the window).")
    profile_span_cycles = property(lambda self: self._data["profile_span_cycles"],
                                   doc="The longest tile time line, in cycles.")
    profile_span_ms = property(lambda self: self._data["profile_span_ms"],
                               doc="profile_span_cycles in milliseconds.")
    at_offset = property(lambda self: self._data["at_offset"], doc="The query's at_offset, or None.")

    @property
    def window(self) -> Optional[Tuple[int, int]]:
        """The (from, to) window of the query, or None."""
        return (self._data["from"], self._data["to"]) if "from" in self._data else None

    def _table(self) -> pd.DataFrame:
        return self.groups

    def __repr__(self) -> str:
        d = self._data
        return (f"<vorn_profile.Report: {len(d['groups'])} groups, {d['matched_sample_count']} of "
                f"{d['sample_count']} samples matched, {len(d['samples'])} listed>")


class DiffReport(_Answer):
    """Two runs compared group by group (made by diff()).

    groups has one row per group name in either run: name, status ("both", "added",
    "removed"), base_* and new_* figures (counts and cycles uint64), delta_* changes (new minus
    base: int64 for integers, float64 for doubles) and phase_cycles_ratio (NaN without a base).
    base, new and delta hold the totals of each side and their change.
    """

    _TITLE = "diff"

    @property
    def groups(self) -> pd.DataFrame:
        rows = []
        for row in self._data["rows"]:
            flat: Dict[str, Any] = {}
            for key, value in row.items():
                if isinstance(value, dict):
                    flat.update((f"{key}_{k}", v) for k, v in value.items())
                else:
                    flat[key] = value
            rows.append(flat)
        return _frame(rows, ["name", "status", "phase_cycles_ratio"])

    base = property(lambda self: dict(self._data["base"]), doc="Totals of the base run.")
    new = property(lambda self: dict(self._data["new"]), doc="Totals of the new run.")
    delta = property(lambda self: dict(self._data["delta"]), doc="New minus base totals.")

    def _table(self) -> pd.DataFrame:
        return self.groups

    def __repr__(self) -> str:
        return f"<vorn_profile.DiffReport: {len(self._data['rows'])} groups>"


class SuperstepReport(_Answer):
    """Per phase occurrence (or per tile), how unevenly the tiles were loaded (made by
    Profile.supersteps()).

    rows is the DataFrame of what was asked for: occurrences (epoch, phase, tiles, span,
    busy cycles, imbalance, straggler, lost cycles...) or, with by="tile", tiles.
    """

    _TITLE = "supersteps"

    @property
    def by(self) -> str:
        """Whose rows the report holds: "occurrence" or "tile"."""
        return "tile" if "tiles" in self._data and isinstance(self._data["tiles"], list) else "occurrence"

    @property
    def rows(self) -> pd.DataFrame:
        key = "tiles" if self.by == "tile" else "occurrences"
        names = ["physical_tile"] if key == "tiles" else ["epoch", "phase"]
        return _frame(list(self._data[key]), names)

    def _table(self) -> pd.DataFrame:
        return self.rows

    def __repr__(self) -> str:
        key = "tiles" if self.by == "tile" else "occurrences"
        return f"<vorn_profile.SuperstepReport: {len(self._data[key])} {key}>"


class _Default:
    """The shown default of a keyword that is left out: the Query's own."""

    def __repr__(self) -> str:
        return "<default>"


_SHOWN_DEFAULTS: Dict[str, Any] = {
    "group_by": "kernel", "sort_by": "phase-cycles", "kind": None, "kernel": None,
    "operation_contains": None, "at_offset": None, "metadata_key": None, "limit": None,
    "sample_limit": 0, "tiles": None, "phases": None, "metadata": None,
    "epochs": (), "kernel_matches": None, "operation_matches": None, "exclude_kinds": (),
    "exclude_kernels": (), "percentiles": (),
}
# Filters that take None for "no filter" here, as the other keywords do.
_NONE_MEANS_ALL = ("tiles", "phases", "metadata")


def _given(keywords: Dict[str, Any]) -> Dict[str, Any]:
    return {k: v for k, v in keywords.items() if not (k in _NONE_MEANS_ALL and v is None)}


def _refuse(keywords: Dict[str, Any], refused: Dict[str, str], call: str) -> None:
    for name, reason in refused.items():
        if name in keywords:
            raise TypeError(f"{call}() got an unexpected keyword argument '{name}' ({reason})")


def _signature(function: Callable[..., Any], first: Sequence[inspect.Parameter],
               skip: Sequence[str] = (), extra: Sequence[inspect.Parameter] = ()) -> None:
    parameters = list(first)
    for name in _QUERY_KEYWORDS:
        if name not in skip:
            default = _SHOWN_DEFAULTS.get(name, _Default())
            parameters.append(inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY,
                                                default=default))
    parameters.extend(extra)
    function.__signature__ = inspect.Signature(parameters)  # type: ignore[attr-defined]


_SELF = inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)
_WINDOW = inspect.Parameter("window", inspect.Parameter.KEYWORD_ONLY, default=None)


def _query(self: Profile, *, window: Any = None, **keywords: Any) -> Report:
    """Filters, groups and summarises the samples; a Report.

    Every keyword is optional; one left out keeps the default of the command line (group by
    kernel, sort by phase cycles, no filter, no listing).

        group_by            "kind", "kernel", "operation", "phase", "tile", "metadata" or GroupBy,
                            or a list of two or three of them: one group per combination
        metadata_key        str: the entry name grouped by with group_by="metadata"
        sort_by             "phase-cycles", "work-cycles", "maximum-cycles", "samples", "name"
                            or SortBy
        kind                "exchange", "compute", "synchronization", "idle", StepKind or None
        kernel              str (exact; "" keeps steps without a kernel) or None
        operation_contains  str (case-sensitive substring) or None
        tiles               iterable of physical tile numbers, or None for all
        phases              iterable of phase numbers (any epoch), or None for all
        metadata            iterable of (name, value) pairs; value None asks only that the entry
                            exists
        at_offset           int: keep samples running at this cycle of their tile's time line
        limit               int: groups kept after ordering, or None for all
        sample_limit        int: also list this many of the longest matched samples
        epochs              iterable of epoch numbers (any phase)
        kernel_matches      str: RE2 pattern the kernel must contain a match of, or None
        operation_matches   str: RE2 pattern the operation must contain a match of, or None
        exclude_kinds       iterable of kinds left out
        exclude_kernels     iterable of kernels left out ("" leaves out steps without a kernel)
        percentiles         iterable of numbers 0 to 100 (at most three decimals): one
                            pN_cycles column each
        window              (from, to): count only the part of each step in cycles [from, to)
                            of its tile's time line (either end None for open); the tool's
                            --from/--to

    A keyword that is unknown or of the wrong type raises TypeError, a bad text or number
    raises ValueError; both name the keyword. The interpreter lock is released while the query
    runs, so queries on other threads run at the same time.

        report = profile.query(group_by="phase", kind="compute", tiles=[0, 5, 7],
                               phases=range(3, 9), metadata=[("layer", "encoder.0")],
                               sort_by="name", sample_limit=5, window=(0, 1_000_000))
    """
    return Report(self._query(_window(window), **_given(keywords)))


def _supersteps(self: Profile, *, by: str = "occurrence", window: Any = None,
                **keywords: Any) -> SuperstepReport:
    """Per phase occurrence (epoch, phase), how busy its tiles were with exchange and compute,
    how unevenly, and which tile the others waited for; a SuperstepReport. by="tile" adds it
    up per tile instead. Takes the filters of query(), limit (rows kept) and window; the
    tool's `supersteps`.
    """
    _refuse(keywords, {
        "group_by": "supersteps are grouped by phase occurrence, or by tile with by=",
        "metadata_key": "supersteps are grouped by phase occurrence or by tile",
        "sort_by": "supersteps are ordered by lost cycles",
        "sample_limit": "supersteps list no steps",
    }, "supersteps")
    if not isinstance(by, str):
        raise TypeError(f"by: expected a str, found {type(by).__name__}")
    if by not in ("occurrence", "tile"):
        raise ValueError(f"by: unknown value {by!r} (expected one of occurrence, tile)")
    return SuperstepReport(self._supersteps(by == "tile", _window(window), **_given(keywords)))


_PICTURE_REFUSED = {
    "group_by": "the pictures show every step that passes the filters",
    "metadata_key": "the pictures show every step that passes the filters",
    "sort_by": "the pictures show steps in time order",
    "limit": "the pictures show every step that passes the filters",
    "sample_limit": "the pictures list no steps",
}


def _export(self: Profile, path: Any, *, format: str = "perfetto", window: Any = None,
            source: Optional[str] = None, **filters: Any) -> None:
    """Writes a timeline of the steps that pass the filters (those of query()) for the trace
    viewers: format="perfetto" (protobuf, ui.perfetto.dev) or "chrome-json" (Trace Event
    Format, chrome://tracing), over the window (from, to) if given. The file is the tool's
    `vorn-profile export` output byte for byte; source (default: the path the profile was read
    from) is the name written into it. Raises ProfileError for the profile's own file, OSError
    when the file cannot be written.
    """
    _refuse(filters, _PICTURE_REFUSED, "export")
    if not isinstance(format, str):
        raise TypeError(f"format: expected a str, found {type(format).__name__}")
    self._export(path, format, _window(window), source, **_given(filters))


def _report(self: Profile, path: Any, *, window: Any = None, source: Optional[str] = None,
            **filters: Any) -> None:
    """Writes the tool's HTML report page (`vorn-profile report`) of the steps that pass the
    filters (those of query()), over the window (from, to) if given; the same bytes as the
    tool's. source (default: the path the profile was read from) is shown in its title.
    """
    _refuse(filters, _PICTURE_REFUSED, "report")
    self._report(path, _window(window), source, **_given(filters))


def _info(self: Profile) -> Dict[str, Any]:
    """What `vorn-profile info` shows: clock_hz, tile_count, sample_count, profile_span_cycles,
    profile_span_ms, and samples per kind, kernel ("" for none), phase and epoch (dicts in the
    tool's order), and per metadata name its entries, steps and distinct values."""
    return self._info()  # type: ignore[no-any-return]


def diff(base: Profile, new: Profile, *, window: Any = None, **keywords: Any) -> DiffReport:
    """Two runs compared group by group: the same query (filters, grouping, window) on both,
    one row per group name found in either, ordered by the size of the change of the sort_by
    field and cut to limit; a DiffReport. The tool's `diff`."""
    _refuse(keywords, {"sample_limit": "diff compares groups, it lists no steps"}, "diff")
    for name, value in (("base", base), ("new", new)):
        if not isinstance(value, Profile):
            raise TypeError(f"{name}: expected a vorn_profile.Profile, found {type(value).__name__}")
    return DiffReport(_diff(base, new, _window(window), **_given(keywords)))


_signature(_query, [_SELF], extra=[_WINDOW])
_signature(_supersteps, [_SELF], skip=("group_by", "metadata_key", "sort_by", "sample_limit"),
           extra=[inspect.Parameter("by", inspect.Parameter.KEYWORD_ONLY, default="occurrence"),
                  _WINDOW])
_signature(diff, [inspect.Parameter("base", inspect.Parameter.POSITIONAL_OR_KEYWORD),
                  inspect.Parameter("new", inspect.Parameter.POSITIONAL_OR_KEYWORD)],
           skip=("sample_limit",), extra=[_WINDOW])

_PATH = inspect.Parameter("path", inspect.Parameter.POSITIONAL_OR_KEYWORD)
_SOURCE = inspect.Parameter("source", inspect.Parameter.KEYWORD_ONLY, default=None)
_signature(_export, [_SELF, _PATH], skip=tuple(_PICTURE_REFUSED),
           extra=[inspect.Parameter("format", inspect.Parameter.KEYWORD_ONLY, default="perfetto"),
                  _WINDOW, _SOURCE])
_signature(_report, [_SELF, _PATH], skip=tuple(_PICTURE_REFUSED), extra=[_WINDOW, _SOURCE])

for _name, _function in (("query", _query), ("supersteps", _supersteps), ("info", _info),
                         ("export", _export), ("report", _report)):
    _function.__name__ = _name
    _function.__qualname__ = f"Profile.{_name}"
    setattr(Profile, _name, _function)
del _name, _function
