"""Cycle profiles of a tiled accelerator, queried from Python (type stubs).

DataFrames are typed as Any here, so that checking code that uses the module needs no stubs of
pandas (Debian ships none); the enums are the compiled module's own classes, not enum.Enum:
members by attribute (GroupBy.KIND), by value (GroupBy(0)) or through __members__.
"""

import os
from typing import Any, ClassVar, Dict, Iterable, Literal, Optional, Sequence, Tuple, Union

from . import distributed as distributed

__version__: str

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_DataFrame = Any
_Window = Optional[Tuple[Optional[int], Optional[int]]]

class ProfileError(ValueError):
    """A profile file that cannot be read or is invalid; str(error) is the command line's message."""

    path: str
    offset: int
    location: str
    reason: str

class _CompiledEnum:
    def __init__(self, value: int) -> None: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class GroupBy(_CompiledEnum):
    KIND: ClassVar[GroupBy]
    KERNEL: ClassVar[GroupBy]
    OPERATION: ClassVar[GroupBy]
    PHASE: ClassVar[GroupBy]
    TILE: ClassVar[GroupBy]
    METADATA: ClassVar[GroupBy]
    __members__: ClassVar[Dict[str, GroupBy]]

class SortBy(_CompiledEnum):
    PHASE_CYCLES: ClassVar[SortBy]
    WORK_CYCLES: ClassVar[SortBy]
    MAXIMUM_CYCLES: ClassVar[SortBy]
    SAMPLES: ClassVar[SortBy]
    NAME: ClassVar[SortBy]
    __members__: ClassVar[Dict[str, SortBy]]

class StepKind(_CompiledEnum):
    EXCHANGE: ClassVar[StepKind]
    COMPUTE: ClassVar[StepKind]
    SYNCHRONIZATION: ClassVar[StepKind]
    IDLE: ClassVar[StepKind]
    __members__: ClassVar[Dict[str, StepKind]]

_GroupByText = Literal["kind", "kernel", "operation", "phase", "tile", "metadata"]
_SortByText = Literal["phase-cycles", "work-cycles", "maximum-cycles", "samples", "name"]
_KindText = Literal["exchange", "compute", "synchronization", "idle"]

class _Answer:
    def to_dict(self) -> Dict[str, Any]: ...
    def _repr_html_(self) -> str: ...

class Report(_Answer):
    """The answer to one query."""

    @property
    def groups(self) -> _DataFrame: ...
    @property
    def samples(self) -> _DataFrame: ...
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
    @property
    def window(self) -> Optional[Tuple[int, int]]: ...

class DiffReport(_Answer):
    """Two runs compared group by group."""

    @property
    def groups(self) -> _DataFrame: ...
    @property
    def base(self) -> Dict[str, Any]: ...
    @property
    def new(self) -> Dict[str, Any]: ...
    @property
    def delta(self) -> Dict[str, Any]: ...

class SuperstepReport(_Answer):
    """Per phase occurrence or per tile: imbalance and stragglers."""

    @property
    def by(self) -> Literal["occurrence", "tile"]: ...
    @property
    def rows(self) -> _DataFrame: ...

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
        group_by: Union[_GroupByText, GroupBy, Sequence[Union[_GroupByText, GroupBy]]] = ...,
        kind: Union[_KindText, StepKind, None] = ...,
        tiles: Optional[Iterable[int]] = ...,
        phases: Optional[Iterable[int]] = ...,
        metadata: Optional[Iterable[Tuple[str, Optional[str]]]] = ...,
        operation_contains: Optional[str] = ...,
        kernel: Optional[str] = ...,
        epochs: Optional[Iterable[int]] = ...,
        kernel_matches: Optional[str] = ...,
        operation_matches: Optional[str] = ...,
        exclude_kinds: Iterable[Union[_KindText, StepKind]] = ...,
        exclude_kernels: Iterable[str] = ...,
        at_offset: Optional[int] = ...,
        metadata_key: Optional[str] = ...,
        sort_by: Union[_SortByText, SortBy] = ...,
        limit: Optional[int] = ...,
        sample_limit: int = ...,
        percentiles: Iterable[float] = ...,
        window: _Window = ...,
    ) -> Report: ...
    def supersteps(
        self,
        *,
        by: Literal["occurrence", "tile"] = ...,
        kind: Union[_KindText, StepKind, None] = ...,
        tiles: Optional[Iterable[int]] = ...,
        phases: Optional[Iterable[int]] = ...,
        metadata: Optional[Iterable[Tuple[str, Optional[str]]]] = ...,
        operation_contains: Optional[str] = ...,
        kernel: Optional[str] = ...,
        epochs: Optional[Iterable[int]] = ...,
        kernel_matches: Optional[str] = ...,
        operation_matches: Optional[str] = ...,
        exclude_kinds: Iterable[Union[_KindText, StepKind]] = ...,
        exclude_kernels: Iterable[str] = ...,
        at_offset: Optional[int] = ...,
        limit: Optional[int] = ...,
        window: _Window = ...,
    ) -> SuperstepReport: ...
    def info(self) -> Dict[str, Any]: ...
    def partial(
        self,
        *,
        closed: bool = ...,
        group_by: Union[_GroupByText, GroupBy, Sequence[Union[_GroupByText, GroupBy]]] = ...,
        kind: Union[_KindText, StepKind, None] = ...,
        tiles: Iterable[int] = ...,
        phases: Iterable[int] = ...,
        metadata: Iterable[Tuple[str, Optional[str]]] = ...,
        operation_contains: Optional[str] = ...,
        kernel: Optional[str] = ...,
        epochs: Optional[Iterable[int]] = ...,
        kernel_matches: Optional[str] = ...,
        operation_matches: Optional[str] = ...,
        exclude_kinds: Iterable[Union[_KindText, StepKind]] = ...,
        exclude_kernels: Iterable[str] = ...,
        at_offset: Optional[int] = ...,
        metadata_key: Optional[str] = ...,
        sort_by: Union[_SortByText, SortBy] = ...,
        limit: Optional[int] = ...,
        sample_limit: int = ...,
        percentiles: Iterable[float] = ...,
    ) -> Partial: ...
    def export(
        self,
        path: _Path,
        *,
        kind: Union[_KindText, StepKind, None] = ...,
        tiles: Optional[Iterable[int]] = ...,
        phases: Optional[Iterable[int]] = ...,
        metadata: Optional[Iterable[Tuple[str, Optional[str]]]] = ...,
        operation_contains: Optional[str] = ...,
        kernel: Optional[str] = ...,
        epochs: Optional[Iterable[int]] = ...,
        kernel_matches: Optional[str] = ...,
        operation_matches: Optional[str] = ...,
        exclude_kinds: Iterable[Union[_KindText, StepKind]] = ...,
        exclude_kernels: Iterable[str] = ...,
        at_offset: Optional[int] = ...,
        format: Literal["perfetto", "chrome-json"] = ...,
        window: _Window = ...,
        source: Optional[str] = ...,
    ) -> None: ...
    def report(
        self,
        path: _Path,
        *,
        kind: Union[_KindText, StepKind, None] = ...,
        tiles: Optional[Iterable[int]] = ...,
        phases: Optional[Iterable[int]] = ...,
        metadata: Optional[Iterable[Tuple[str, Optional[str]]]] = ...,
        operation_contains: Optional[str] = ...,
        kernel: Optional[str] = ...,
        epochs: Optional[Iterable[int]] = ...,
        kernel_matches: Optional[str] = ...,
        operation_matches: Optional[str] = ...,
        exclude_kinds: Iterable[Union[_KindText, StepKind]] = ...,
        exclude_kernels: Iterable[str] = ...,
        at_offset: Optional[int] = ...,
        window: _Window = ...,
        source: Optional[str] = ...,
    ) -> None: ...
    def samples(self, *, metadata_columns: bool = ...) -> _DataFrame: ...
    def write(self, path: _Path, *, format: Literal["json", "packed"] = ...) -> None: ...

class Partial:
    """A query's exact, mergeable state over part of a profile; merge() and finish() use it up."""

    @staticmethod
    def from_bytes(data: bytes, *, name: str = ...) -> Partial: ...
    def to_bytes(self) -> bytes: ...
    def merge(self, next: Partial) -> Partial: ...
    def finish(self) -> Report: ...
    @property
    def clock_hz(self) -> int: ...

def read(path: _Path) -> Profile: ...
def from_dataframe(
    frame: _DataFrame, *, clock_hz: Optional[int] = ..., any_order: bool = ...
) -> Profile: ...
def diff(
    base: Profile,
    new: Profile,
    *,
    group_by: Union[_GroupByText, GroupBy, Sequence[Union[_GroupByText, GroupBy]]] = ...,
    kind: Union[_KindText, StepKind, None] = ...,
    tiles: Optional[Iterable[int]] = ...,
    phases: Optional[Iterable[int]] = ...,
    metadata: Optional[Iterable[Tuple[str, Optional[str]]]] = ...,
    operation_contains: Optional[str] = ...,
    kernel: Optional[str] = ...,
    at_offset: Optional[int] = ...,
    metadata_key: Optional[str] = ...,
    sort_by: Union[_SortByText, SortBy] = ...,
    limit: Optional[int] = ...,
    window: _Window = ...,
    **more: Any,
) -> DiffReport: ...
