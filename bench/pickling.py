"""Workload 8: copying and pickling what a script builds, one PackageOutline
per package of a Debian index, kelto against the plain Python peer
(bench/peers/plain.py, whose objects pickle the default way, field by field)."""

from __future__ import annotations

import copy
import pickle

from harness import Group, Workload

import debian_input

KELTO_PICKLE = "kelto pickle round trip"
PLAIN_PICKLE = "plain pickle round trip"
KELTO_DEEPCOPY = "kelto copy.deepcopy"
PLAIN_DEEPCOPY = "plain copy.deepcopy"


def pickle_group(packages: list[dict[str, str]], source: str) -> Group:
    # One builder for each side: a builder gathers the index's facts first,
    # so making one per package would take time quadratic in the index.
    kelto_build = debian_input.outline_builder(debian_input.kelto_classes(), packages)
    kelto_outlines = [kelto_build(p) for p in packages]
    plain_build = debian_input.outline_builder(debian_input.plain_classes(), packages)
    plain_outlines = [plain_build(p) for p in packages]

    def round_trip(outlines):
        return lambda: pickle.loads(pickle.dumps(outlines, protocol=pickle.HIGHEST_PROTOCOL))

    def deep_copy(outlines):
        return lambda: copy.deepcopy(outlines)

    n = len(packages)
    kelto_bytes = len(pickle.dumps(kelto_outlines, protocol=pickle.HIGHEST_PROTOCOL))
    plain_bytes = len(pickle.dumps(plain_outlines, protocol=pickle.HIGHEST_PROTOCOL))
    return Group("pickle", "pickle.loads(pickle.dumps(outlines)) and copy.deepcopy(outlines)", "package",
                 KELTO_PICKLE, [
                     Workload(KELTO_PICKLE, round_trip(kelto_outlines), n, side="kelto"),
                     Workload(PLAIN_PICKLE, round_trip(plain_outlines), n, side="plain"),
                     Workload(KELTO_DEEPCOPY, deep_copy(kelto_outlines), n, side="kelto"),
                     Workload(PLAIN_DEEPCOPY, deep_copy(plain_outlines), n, side="plain"),
                 ], [f"{source}: {n} outlines built before timing; no floor: ratios are to kelto's round trip",
                     f"pickled size: kelto {kelto_bytes / n:.0f} bytes a package, plain {plain_bytes / n:.0f}"])
