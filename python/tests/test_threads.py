"""Queries on two threads at once over one profile give the reports they give one after the
other: the profile is only read, and each query owns its working state."""

import threading

import vorn_profile as vp
from conftest import needs_tool, run_tool

QUERIES = [
    {"group_by": "phase", "sample_limit": 5},
    {"group_by": "kernel", "kind": "compute", "sort_by": "work-cycles"},
    {"group_by": "metadata", "metadata_key": "layer", "at_offset": 50_000},
    {"group_by": "tile", "operation_contains": "a", "sample_limit": 3},
]


@needs_tool
def test_two_threads_get_the_sequential_reports(generate):
    profile = vp.read(generate(48, 300, 3))
    sequential = [profile.query(**q).to_dict() for q in QUERIES]
    results = {}
    start = threading.Barrier(2)

    def work(name, order):
        start.wait()
        results[name] = [(i, profile.query(**QUERIES[i]).to_dict()) for i in order for _ in range(3)]

    threads = [threading.Thread(target=work, args=("a", range(len(QUERIES)))),
               threading.Thread(target=work, args=("b", reversed(range(len(QUERIES)))))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for name in ("a", "b"):
        assert len(results[name]) == 3 * len(QUERIES)
        for i, report in results[name]:
            assert report == sequential[i], (name, QUERIES[i])


@needs_tool
def test_a_directory_of_shards_reads_as_the_whole_profile(generate, tmp_path):
    whole = generate(9, 200, 4)
    shards = tmp_path / "shards"
    run_tool("pack", str(whole), "-o", str(shards), "--shard-tiles", "2")
    assert len(list(shards.glob("part-*.packed"))) == 5
    for query in QUERIES:
        assert vp.read(shards).query(**query).to_dict() == vp.read(whole).query(**query).to_dict()
