"""vorn_profile.distributed: one query over a profile's shards on a Dask cluster.

    import vorn_profile as vp
    from dask.distributed import Client, LocalCluster

    client = Client(LocalCluster(n_workers=2))
    report = vp.distributed.query("run/", client=client, group_by="phase", limit=10)
    frame = vp.distributed.query_many(["a.packed", "b.packed"], client=client, group_by="kernel")

A worker makes each shard's partial report, opening the shard by its path (the files must be
reachable from the workers, e.g. on a shared file system): one task a worker thread, each over
a run of consecutive shards whose partials it merges in memory. The runs' partials are merged
in shard order in a tree of merges on the workers, and the last merge finishes the report, so
that only the Report comes to the client: the one vp.read(...).query(...) gives over the whole
profile, doubles bit for bit.

Dask is needed only here: Debian's python3-distributed (or pip install distributed).
"""

import os

_NEEDS_DASK = (
    "vorn_profile.distributed needs Dask's distributed scheduler: install Debian's "
    "python3-distributed (or pip install distributed)"
)


def _distributed():
    try:
        import dask.distributed
    except ImportError as error:
        raise ImportError(_NEEDS_DASK) from error
    return dask.distributed


def _profile_error(path, reason):
    import vorn_profile

    error = vorn_profile.ProfileError(f"{path}: {reason}")
    error.path, error.offset, error.location, error.reason = path, 0, "", reason
    return error


def shards(profile_dir_or_paths):
    """The paths of a profile's shards, in tile order.

    A directory (str or os.PathLike) is one profile: its shards are the regular files in it whose
    names end in .packed or .json, in byte order of their names; anything else is ignored, and a
    directory without a shard raises ProfileError. A file is a profile of one shard. A list of
    paths is taken as given, in order.
    """
    if isinstance(profile_dir_or_paths, (str, bytes, os.PathLike)):
        path = os.fsdecode(profile_dir_or_paths)
        if not os.path.isdir(path):
            return [path]
        names = sorted(
            os.fsencode(entry.name)
            for entry in os.scandir(path)
            if entry.name.endswith((".packed", ".json")) and entry.is_file()
        )
        if not names:
            raise _profile_error(path, "no shard in the directory (no regular file whose name "
                                 "ends in .packed or .json)")
        return [os.path.join(path, os.fsdecode(name)) for name in names]
    paths = [os.fsdecode(path) for path in profile_dir_or_paths]
    if not paths:
        raise ValueError("no profile path given")
    return paths


_FAN_IN = 8  # partials merged by one task of the tree
_HOLD = 4  # shards whose memory a task's partial keeps at most


class _Part:
    """The partial of the consecutive shards `first` to `last`: in the memory of the worker that
    made it, or as its bytes (`data`), made by the task itself when the partial is to go to
    another worker (so that writing them overlaps the other workers' tasks). Dask moves it as
    the bytes; it is read back where it is merged. `closed`: made with Profile.partial(closed=
    True)."""

    __slots__ = ("partial", "data", "first", "last", "closed")

    def __init__(self, partial, data, first, last, closed):
        self.partial, self.data = partial, data
        self.first, self.last, self.closed = first, last, closed

    def sent(self, send):
        """This part, as bytes when it is to be sent."""
        if not send or self.data is not None:
            return self
        return _Part(None, self.partial.to_bytes(), self.first, self.last, self.closed)

    def opened(self):
        """The partial, read from the bytes if need be."""
        if self.partial is not None:
            return self.partial
        import vorn_profile

        return vorn_profile.Partial.from_bytes(self.data, name=self.first)

    def __sizeof__(self):
        # What Dask counts for it in a worker's memory: the bytes, when it holds them.
        return object.__sizeof__(self) + (len(self.data) if self.data is not None else 0)

    def __reduce__(self):
        data = self.data if self.data is not None else self.partial.to_bytes()
        return _Part, (None, data, self.first, self.last, self.closed)


class _Reopen(Exception):
    """Closed partials that cannot be merged: the query runs again with open ones, which
    merge whenever the shards can be merged at all, or say why not."""


def _merged_parts(parts):
    """The _Part of `parts` (in shard order) merged in order; each serves once."""
    merged = parts[0]
    partial = merged.opened()
    for part in parts[1:]:
        try:
            partial = partial.merge(part.opened())
        except ValueError as error:
            if merged.closed or part.closed:
                raise _Reopen() from None
            raise _profile_error(part.first, f"cannot be merged after {merged.last}: {error}") \
                from None
        merged = _Part(partial, None, merged.first, part.last, merged.closed or part.closed)
    return _Part(partial, None, merged.first, merged.last, merged.closed)


def _shards_task(paths, keywords, closed, send, hold):
    """The partial of consecutive shards, each read and walked here, merged in memory; as
    bytes when `send`. A partial views the texts of the shards it was made from, so that it
    keeps them in memory: after every `hold` shards it is written as bytes, which it reads from
    when it is merged next, and the shards before are let go."""
    import vorn_profile

    merged = None
    for count, path in enumerate(paths, start=1):
        part = _Part(vorn_profile.read(path).partial(closed=closed, **keywords), None, path, path,
                     closed)
        merged = part if merged is None else _merged_parts([merged, part])
        if count % hold == 0 and count < len(paths):
            merged = merged.sent(True)
    return merged.sent(send)


def _merge_task(send, *parts):
    return _merged_parts(parts).sent(send)


def _finish_task(*parts):
    return _merged_parts(parts).partial.finish()


def _threads(client):
    """One worker address per thread of the cluster, workers in order of their addresses, or
    [None] while the cluster has no worker (the scheduler then places the tasks)."""
    workers = client.scheduler_info().get("workers", {})
    return [address for address, worker in sorted(workers.items())
            for _ in range(max(1, worker.get("nthreads", 1)))] or [None]


def _on(worker):
    """Task placement on `worker`, or on another one when it is gone."""
    return {} if worker is None else {"workers": [worker], "allow_other_workers": True}


def _report(client, paths, keywords, closed=True):
    """The future of the Report of `paths` (in tile order): the shards cut into as many runs of
    consecutive shards as the cluster has threads, one task a run that reads, walks and merges
    its shards in memory; their partials merged in order, `_FAN_IN` at a time, each merge on the
    worker of its last part; the last merge also finishes, so that only the Report comes back.
    A partial crosses the network only to the worker of the merge that takes it, as bytes that
    the task which made it wrote. The partials are closed (`closed`): grouped by tile, a tile's
    phase occurrences travel summed up, unless a tile is met in two shards; then the future
    raises _Reopen."""
    threads = _threads(client)
    count = min(len(paths), len(threads))
    # Each level: (worker, submit(send) -> future) per part, in shard order.
    level = []
    for run in range(count):
        shard_run = paths[len(paths) * run // count:len(paths) * (run + 1) // count]
        worker = threads[len(threads) * run // count]
        level.append((worker, lambda send, shard_run=shard_run, worker=worker: client.submit(
            _shards_task, shard_run, keywords, closed, send, _HOLD, pure=False, **_on(worker))))
    while True:
        groups = [level[i:i + _FAN_IN] for i in range(0, len(level), _FAN_IN)]
        submitted = [(group[-1][0], [submit(worker != group[-1][0]) for worker, submit in group])
                     for group in groups]
        if len(submitted) == 1:
            worker, parts = submitted[0]
            return client.submit(_finish_task, *parts, pure=False, **_on(worker))
        level = [(worker, lambda send, parts=parts, worker=worker: client.submit(
            _merge_task, send, *parts, pure=False, **_on(worker))) for worker, parts in submitted]


def _result(client, future, paths, keywords):
    """The Report of `future` (of _report), made again from open partials if need be."""
    try:
        return future.result()
    except _Reopen:
        return _report(client, paths, keywords, closed=False).result()


def _check_keywords(keywords):
    group_by = keywords.get("group_by")
    if isinstance(group_by, (list, tuple)) and len(group_by) > 1:
        raise ValueError("group_by: a query grouped by several keys names its groups by the "
                         "profile's own steps and cannot be spread over a cluster; group by one "
                         "key")


def query(profile_dir_or_paths, *, client=None, **query_keywords):
    """The Report of Profile.query(**query_keywords) over a profile's shards (a directory, or a
    list of shard paths in tile order), computed on the Dask cluster of `client` (by default the
    current client). A shard that cannot be read, or shards that cannot be merged (different
    clocks), raise vorn_profile.ProfileError naming the shard."""
    distributed = _distributed()
    _check_keywords(query_keywords)
    client = client if client is not None else distributed.get_client()
    paths = shards(profile_dir_or_paths)
    return _result(client, _report(client, paths, query_keywords), paths, query_keywords)


def query_many(paths, *, client=None, **query_keywords):
    """One query per profile (each a file or a shard directory), all on the cluster at once: the
    groups of every report in one DataFrame whose first column, `profile`, is the profile's path
    as given."""
    distributed = _distributed()
    import pandas

    _check_keywords(query_keywords)
    client = client if client is not None else distributed.get_client()
    profiles = [os.fsdecode(path) for path in paths]
    if not profiles:
        raise ValueError("no profile path given")
    paths = [shards(profile) for profile in profiles]
    futures = [_report(client, profile_paths, query_keywords) for profile_paths in paths]
    frames = []
    for profile, profile_paths, future in zip(profiles, paths, futures):
        groups = _result(client, future, profile_paths, query_keywords).groups.copy()
        groups.insert(0, "profile", profile)
        frames.append(groups)
    return pandas.concat(frames, ignore_index=True)
