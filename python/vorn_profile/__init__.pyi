"""Cycle profiles of a tiled accelerator, queried from Python (type stubs)."""

import enum
import os
from typing import Any, Iterable, Literal, Optional, Tuple, Union

import pandas

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class ProfileError(ValueError):
    """A profile file that cannot be read or is invalid; str(error) is the command line's message."""

    path: str
    offset: int
    location: str
    reason: str

class GroupBy(enum.Enum):
    KIND = 0
    KERNEL = 1
    OPERATION = 2
    PHASE = 3
    TILE = 4
    METADATA = 5

class SortBy(enum.Enum):
    PHASE_CYCLES = 0
    WORK_CYCLES = 1
    MAXIMUM_CYCLES = 2
    SAMPLES = 3
    NAME = 4

class StepKind(enum.Enum):
    EXCHANGE = 0
    COMPUTE = 1
    SYNCHRONIZATION = 2
    IDLE = 3

_GroupByText = Literal["kind", "kernel", "operation", "phase", "tile", "metadata"]
_SortByText = Literal["phase-cycles", "work-cycles", "maximum-cycles", "samples", "name"]
_KindText = Literal["exchange", "compute", "synchronization", "idle"]

class Report:
    """The answer to one query."""

    @property
    def groups(self) -> pandas.DataFrame: ...
    @property
    def samples(self) -> pandas.DataFrame: ...
    @property
    def clock_hz(self) -> int: ...
    @property
    def tile_count(self) -> int: ...
    @property
    def sample_count(self) -> int: ...
    @property
    def matched_sample_count(self) -> int: ...
    @property
    def profile_span_cycles(self) -> int: ...
    @property
    def profile_span_ms(self) -> float: ...
    @property
    def at_offset(self) -> Optional[int]: ...
    def to_dict(self) -> dict[str, Any]: ...

class Profile:
    """A cycle profile: every tile's timed steps. Made by read() or from_dataframe()."""

    @property
    def clock_hz(self) -> int: ...
    @property
    def tile_count(self) -> int: ...
    @property
    def sample_count(self) -> int: ...
    def query(
        self,
        *,
        group_by: Union[_GroupByText, GroupBy] = ...,
        kind: Union[_KindText, StepKind, None] = ...,
        tiles: Iterable[int] = ...,
        phases: Iterable[int] = ...,
        metadata: Iterable[Tuple[str, Optional[str]]] = ...,
        operation_contains: Optional[str] = ...,
        kernel: Optional[str] = ...,
        at_offset: Optional[int] = ...,
        metadata_key: Optional[str] = ...,
        sort_by: Union[_SortByText, SortBy] = ...,
        limit: Optional[int] = ...,
        sample_limit: int = ...,
    ) -> Report: ...
    def samples(self) -> pandas.DataFrame: ...
    def write(self, path: _Path, *, format: Literal["json", "packed"] = ...) -> None: ...

def read(path: _Path) -> Profile: ...
def from_dataframe(frame: pandas.DataFrame, *, clock_hz: Optional[int] = ...) -> Profile: ...
