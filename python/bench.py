#!/usr/bin/python3
"""Times the Python module against the vorn-profile tool on one profile file.

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench.py /tmp/large.json \
        --tool build/release/tools/vorn-profile/vorn-profile

For each query: the tool's `vorn-profile query FILE ARGS` (a fresh process: read, query, print)
against `read` + `query` + `report.groups` in this process, runs interleaved, best of N; then
`Profile.samples()` of every sample. Not a test: machines are noisy, so read the ratio.
"""

import argparse
import gc
import subprocess
import time

import vorn_profile as vp

QUERIES = [
    ({}, []),
    ({"group_by": "phase", "kind": "compute"}, ["--group-by", "phase", "--kind", "compute"]),
    ({"group_by": "tile", "sample_limit": 10}, ["--group-by", "tile", "--sample-limit", "10"]),
]


def seconds(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("profile")
    parser.add_argument("--tool", required=True, help="the vorn-profile executable")
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()

    def tool_run(args):
        subprocess.run([options.tool, "query", options.profile, *args], check=True,
                       stdout=subprocess.DEVNULL)

    def module_run(keywords):
        profile = vp.read(options.profile)
        profile.query(**keywords).groups

    print(f"{'query':40} {'tool s':>8} {'module s':>9} {'ratio':>6}")
    for keywords, args in QUERIES:
        tool, module = [], []
        for _ in range(options.runs):
            tool.append(seconds(lambda: tool_run(args)))
            module.append(seconds(lambda: module_run(keywords)))
            gc.collect()
        label = " ".join(args) or "(defaults)"
        print(f"{label:40} {min(tool):8.3f} {min(module):9.3f} {min(module) / min(tool):6.2f}")

    profile = vp.read(options.profile)
    read = min(seconds(lambda: vp.read(options.profile)) for _ in range(options.runs))
    query = min(seconds(lambda: profile.query()) for _ in range(options.runs))
    print(f"\nof which: read {read:.3f} s, query (defaults) {query:.3f} s")
    frames = []
    for _ in range(options.runs):
        frames.append(seconds(profile.samples))
        gc.collect()
    print(f"samples() of {profile.sample_count} samples: {min(frames):.3f} s (best of {options.runs})")


if __name__ == "__main__":
    main()
