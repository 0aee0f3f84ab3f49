"""One query over a profile's shards on a Dask cluster (type stubs)."""

import os
from typing import Any, List, Sequence, Union

from . import Report

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

def shards(profile_dir_or_paths: Union[_Path, Sequence[_Path]]) -> List[str]: ...
def query(
    profile_dir_or_paths: Union[_Path, Sequence[_Path]], *, client: Any = ..., **query_keywords: Any
) -> Report: ...
def query_many(paths: Sequence[_Path], *, client: Any = ..., **query_keywords: Any) -> Any: ...
