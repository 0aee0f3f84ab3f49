"""vorn_profile.distributed: one query over a profile's shards on a Dask cluster.

    import vorn_profile as vp
    from dask.distributed import Client, LocalCluster

    client = Client(LocalCluster(n_workers=2))
    report = vp.distributed.query("run/", client=client, group_by="phase", limit=10)
    frame = vp.distributed.query_many(["a.packed", "b.packed"], client=client, group_by="kernel")

A worker makes each shard's partial report, opening the shard by its path (the files must be
reachable from the workers, e.g. on a shared file system); the partials are merged in shard
order in a tree of merges, on the workers down to about one partial a worker, then on the
client, which finishes the report. The Report is
the one vp.read(...).query(...) gives over the whole profile, doubles bit for bit.

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


# A partial travels as (bytes, first shard, last shard), so that a merge that fails names the
# shards on either side of it.


def _partial_task(path, keywords):
    import vorn_profile

    return vorn_profile.read(path).partial(**keywords).to_bytes(), path, path


def _merge_partials(parts):
    """The partial of `parts` ((bytes, first, last) each, in shard order) merged in order."""
    import vorn_profile

    data, first, last = parts[0]
    merged = vorn_profile.Partial.from_bytes(data, name=first)
    for data, next_first, next_last in parts[1:]:
        following = vorn_profile.Partial.from_bytes(data, name=next_first)
        try:
            merged = merged.merge(following)
        except ValueError as error:
            raise _profile_error(next_first, f"cannot be merged after {last}: {error}") from None
        last = next_last
    return merged, first, last


def _merge_task(*parts):
    merged, first, last = _merge_partials(parts)
    return merged.to_bytes(), first, last


def _merged(client, paths, keywords):
    """Futures of the partials of `paths`, in order, merged on the cluster into about as many
    as it has workers: one task per shard, then merges of neighbours, `fan_in` at a time, so
    that each worker merges the shards it read and the partials cross the network few times."""
    workers = max(1, len(client.scheduler_info().get("workers", {})))
    fan_in = max(2, -(-len(paths) // workers))
    level = [client.submit(_partial_task, path, keywords, pure=False) for path in paths]
    while len(level) > workers:
        level = [
            client.submit(_merge_task, *level[i:i + fan_in], pure=False)
            if len(level[i:i + fan_in]) > 1 else level[i]
            for i in range(0, len(level), fan_in)
        ]
    return level


def _finish(parts):
    """The report of the partials (in order), merged and finished on the client."""
    merged, _, _ = _merge_partials(parts)
    return merged.finish()


def query(profile_dir_or_paths, *, client=None, **query_keywords):
    """The Report of Profile.query(**query_keywords) over a profile's shards (a directory, or a
    list of shard paths in tile order), computed on the Dask cluster of `client` (by default the
    current client). A shard that cannot be read, or shards that cannot be merged (different
    clocks), raise vorn_profile.ProfileError naming the shard."""
    distributed = _distributed()
    client = client if client is not None else distributed.get_client()
    paths = shards(profile_dir_or_paths)
    return _finish(client.gather(_merged(client, paths, query_keywords)))


def query_many(paths, *, client=None, **query_keywords):
    """One query per profile (each a file or a shard directory), all on the cluster at once: the
    groups of every report in one DataFrame whose first column, `profile`, is the profile's path
    as given."""
    distributed = _distributed()
    import pandas

    client = client if client is not None else distributed.get_client()
    profiles = [os.fsdecode(path) for path in paths]
    futures = [_merged(client, shards(profile), query_keywords) for profile in profiles]
    frames = []
    for profile, parts in zip(profiles, client.gather(futures)):
        groups = _finish(parts).groups.copy()
        groups.insert(0, "profile", profile)
        frames.append(groups)
    if not frames:
        raise ValueError("no profile path given")
    return pandas.concat(frames, ignore_index=True)
