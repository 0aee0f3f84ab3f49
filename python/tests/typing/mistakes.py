"""Calls that fail at run time; mypy must reject each line marked with the error it gives."""

import vorn_profile as vp

profile = vp.read("run.json")
vp.GroupBy["KIND"]  # error: GroupBy
profile.query(group_by="kinds")  # error: group_by
profile.query(grup_by="kind")  # error: grup_by
profile.query(window=5)  # error: window
profile.supersteps(by="tiles")  # error: by
profile.write("x", format="csv")  # error: format
vp.diff(profile)  # error: new
