"""Code as a notebook writes it; mypy --strict must accept it against the package's stubs."""

import vorn_profile as vp


def longest_kernels(path: str) -> list[str]:
    profile = vp.read(path)
    report = profile.query(group_by=vp.GroupBy.KERNEL, kind="compute", tiles=range(4), limit=5,
                           window=(None, 1_000_000))
    names: list[str] = report.groups["name"].tolist()
    total: int = report.matched_sample_count + profile.sample_count
    print(total, report.at_offset, report.window, report.to_dict()["groups"])
    return names


def compare(base_path: str, new_path: str) -> float:
    base, new = vp.read(base_path), vp.read(new_path)
    changes = vp.diff(base, new, group_by="phase", sort_by=vp.SortBy.NAME, limit=3)
    steps = new.supersteps(by="tile", kind=vp.StepKind.COMPUTE, window=(0, None))
    info = new.info()
    frame = new.samples(metadata_columns=True)
    again = vp.from_dataframe(frame, clock_hz=new.clock_hz)
    again.write("copy.packed", format="packed")
    try:
        vp.read("missing.json")
    except vp.ProfileError as error:
        print(error.path, error.offset, error.reason)
    merged = vp.Partial.from_bytes(new.partial(group_by="kind").to_bytes(), name="new")
    shards: list[str] = vp.distributed.shards([base_path, new_path])
    print(vp.__version__, steps.rows, info["kernels"], vp.GroupBy.PHASE.name, changes.new,
          merged.finish().groups, shards)
    return float(changes.groups["delta_phase_ms"].sum())
