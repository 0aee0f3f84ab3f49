"""The query over a profile's shards on a Dask cluster of two worker processes gives the report
of the local query over the whole profile; shards that cannot be read or merged raise
ProfileError naming the shard; without Dask, the module imports and vp.distributed says what to
install."""

import os
import subprocess
import sys

import pandas as pd
import pytest

import vorn_profile as vp
from conftest import assert_same, needs_tool

distributed = pytest.importorskip("dask.distributed")

QUERIES = [
    {},
    {"group_by": "phase", "sample_limit": 7},
    {"group_by": "tile", "limit": 3, "sort_by": "name", "sample_limit": 100_000},
    {"kind": "compute", "group_by": "operation", "at_offset": 40_000},
]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


def write_shards(profile_path, directory, cuts, clock_hz=None):
    """The profile's tiles cut at `cuts` into shards part-N (packed and JSON by turns)."""
    samples = vp.read(profile_path).samples()
    tiles = list(dict.fromkeys(samples["physical_tile"]))
    clock = clock_hz if clock_hz is not None else samples.attrs["clock_hz"]
    directory.mkdir(exist_ok=True)
    paths = []
    for n, (first, last) in enumerate(zip(cuts, cuts[1:])):
        part = samples[samples["physical_tile"].isin(tiles[first:last])].reset_index(drop=True)
        path = directory / f"part-{n:05}.{'packed' if n % 2 == 0 else 'json'}"
        vp.from_dataframe(part, clock_hz=clock).write(path, format="packed" if n % 2 == 0 else "json")
        paths.append(path)
    return paths


@pytest.fixture(scope="module")
def sharded(tmp_path_factory, generate):
    whole = generate(10, 150, 11)
    directory = tmp_path_factory.mktemp("shards") / "run"
    paths = write_shards(whole, directory, [0, 3, 4, 8, 10])
    # Anything else in the directory is not a shard.
    (directory / "notes.txt").write_text("not a shard")
    (directory / "nested.json").mkdir()
    return whole, directory, paths


@needs_tool
def test_directory_and_paths_give_the_whole_profiles_report(client, sharded):
    whole, directory, paths = sharded
    profile = vp.read(whole)
    for keywords in QUERIES:
        want = profile.query(**keywords)
        for shards in (directory, paths):
            got = vp.distributed.query(shards, client=client, **keywords)
            assert_same(got.to_dict(), want.to_dict(), str(keywords))
            pd.testing.assert_frame_equal(got.groups, want.groups)
            pd.testing.assert_frame_equal(got.samples, want.samples)


@needs_tool
@pytest.mark.parametrize("plan", ["tree", "one task"])
def test_other_plans_give_the_local_report(client, sharded, monkeypatch, plan):
    """tree: more runs of shards than one merge takes, on alternate workers, merged two at a
    time, so that partials cross between workers at every level. one task: every shard in one
    task, which writes its partial as bytes after each shard so as to let the shards go."""
    whole, directory, paths = sharded
    if plan == "tree":
        workers = sorted(client.scheduler_info()["workers"])
        monkeypatch.setattr(vp.distributed, "_threads", lambda _: workers * len(paths))
        monkeypatch.setattr(vp.distributed, "_FAN_IN", 2)
    else:
        monkeypatch.setattr(vp.distributed, "_threads", lambda _: [None])
        monkeypatch.setattr(vp.distributed, "_HOLD", 1)
    for keywords in QUERIES:
        want = vp.read(whole).query(**keywords)
        got = vp.distributed.query(directory, client=client, **keywords)
        assert_same(got.to_dict(), want.to_dict(), str(keywords))


@needs_tool
def test_a_tile_met_in_two_shards_gives_the_local_report(client, generate, tmp_path):
    """Grouped by tile, the shards' partials keep each tile's phase occurrences summed up; a
    tile met again in a later shard cannot be merged so, and the query is made anew with the
    occurrences listed."""
    first, second = write_shards(generate(6, 80, 4), tmp_path / "run", [0, 3, 6])
    samples = vp.read(second).samples().copy()
    samples["physical_tile"] = samples["physical_tile"].replace(
        samples["physical_tile"].iloc[0], vp.read(first).samples()["physical_tile"].iloc[0])
    vp.from_dataframe(samples, clock_hz=samples.attrs["clock_hz"]).write(second)

    closed = [vp.read(path).partial(closed=True, group_by="tile") for path in (first, second)]
    with pytest.raises(ValueError, match="is met in both, and one keeps its phase occurrences"):
        closed[0].merge(closed[1])
    for keywords in ({"group_by": "tile", "sample_limit": 5}, {"group_by": "kernel"}):
        want = vp.read(tmp_path / "run").query(**keywords)
        got = vp.distributed.query(tmp_path / "run", client=client, **keywords)
        assert_same(got.to_dict(), want.to_dict(), str(keywords))


@needs_tool
def test_query_many_puts_every_profiles_groups_in_one_frame(client, sharded, generate):
    whole, directory, _ = sharded
    other = generate(4, 60, 2)
    frame = vp.distributed.query_many([directory, other], client=client, group_by="kind")
    assert list(frame.columns)[0] == "profile"
    for path, profile in ((directory, whole), (other, other)):
        want = vp.read(profile).query(group_by="kind").groups
        got = frame[frame["profile"] == os.fsdecode(path)].drop(columns="profile")
        pd.testing.assert_frame_equal(got.reset_index(drop=True), want)


@needs_tool
def test_bad_shards_raise_profile_error_naming_the_shard(client, sharded, tmp_path, generate):
    whole, _, paths = sharded
    damaged = tmp_path / "damaged.json"
    damaged.write_text('{"clock_hz": 1, "tiles": [')
    with pytest.raises(vp.ProfileError, match=str(damaged)):
        vp.distributed.query([paths[0], damaged], client=client)

    other_clock = write_shards(whole, tmp_path / "other", [0, 1], clock_hz=1000)[0]
    with pytest.raises(vp.ProfileError) as raised:
        vp.distributed.query([paths[0], other_clock], client=client)
    assert str(raised.value) == (f"{other_clock}: cannot be merged after {paths[0]}: different "
                                 f"clocks: 1330000000 Hz and 1000 Hz")
    assert raised.value.path == str(other_clock)

    with pytest.raises(ValueError, match="several keys"):
        vp.distributed.query(paths, client=client, group_by=["kernel", "tile"])
    with pytest.raises(TypeError, match="closed: expected a bool"):
        vp.read(whole).partial(closed="yes")

    (tmp_path / "empty").mkdir()
    with pytest.raises(vp.ProfileError, match="no shard in the directory"):
        vp.distributed.query(tmp_path / "empty", client=client)


def test_partials_merge_and_finish_locally(generate, tmp_path):
    whole = generate(6, 80, 4)
    first, second = write_shards(whole, tmp_path / "local", [0, 2, 6])
    merged = vp.read(first).partial(group_by="phase", sample_limit=3)
    following = vp.Partial.from_bytes(vp.read(second).partial(group_by="phase", sample_limit=3)
                                      .to_bytes())
    report = merged.merge(following).finish()
    assert_same(report.to_dict(), vp.read(whole).query(group_by="phase", sample_limit=3).to_dict())
    with pytest.raises(ValueError, match="used by merge"):
        merged.finish()
    with pytest.raises(vp.ProfileError, match="^part.bin: at byte 0 "):
        vp.Partial.from_bytes(b"not a partial", name="part.bin")
    with pytest.raises(ValueError, match="different queries: their group_by differ"):
        vp.read(first).partial().merge(vp.read(second).partial(group_by="tile"))


def test_without_dask_the_module_imports_and_distributed_says_what_to_install():
    script = (
        "import sys\n"
        "sys.modules['dask'] = None\n"
        "sys.modules['dask.distributed'] = None\n"
        "import vorn_profile as vp\n"
        "try:\n"
        "    vp.distributed.query(['run.packed'])\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=True)
    assert "install Debian's python3-distributed" in done.stdout
