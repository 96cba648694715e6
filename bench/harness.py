"""Side-by-side timing of list-building workloads in one process.

Every workload is a callable that builds one list over the same input. The
harness runs them in rounds, each workload once per round, so that a burst of
noise on a shared machine hits all of them alike; the order inside a round
rotates from round to round so that no workload always runs right after the
same neighbour (caches, allocator state). Verdicts are ratios between
workloads measured in the same run, never absolute times.
"""

from __future__ import annotations

import gc
import statistics
import subprocess
import threading
import time
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Workload:
    name: str
    run: Callable[[], object]
    # How many items one call handles, to report time per item.
    items: int
    samples_ns: list[int] = field(default_factory=list)
    # Who it stands for: "kelto", "floor", "plain", "packaging", "python".
    side: str = ""
    # Whether dropping what the call built is timed too: objects a program
    # makes, keeps and then lets go of cost their teardown as well.
    charge_drop: bool = False

    @property
    def median_per_item(self) -> float:
        return statistics.median(self.samples_ns) / self.items

    @property
    def min_per_item(self) -> float:
        return min(self.samples_ns) / self.items


def _released() -> object:
    raise RuntimeError("this workload was measured and its input let go")


class WorkloadError(Exception):
    """A workload raised; the original exception is chained."""

    def __init__(self, workload: str):
        super().__init__(f"workload {workload!r} raised")
        self.workload = workload


def _time_once(workload: Workload) -> int:
    """One timed call. The result is dropped after the clock stops, unless
    the workload is charged for its drop."""
    clock = time.perf_counter_ns
    try:
        start = clock()
        result = workload.run()
        if workload.charge_drop:
            del result
            return clock() - start
        elapsed = clock() - start
    except Exception as error:
        raise WorkloadError(workload.name) from error
    del result
    return elapsed


def run_rounds(workloads: list[Workload], repeat: int, warmup: int) -> None:
    """Warm up, then time every workload `repeat` times, interleaved.

    The cyclic collector is off while timing (and collected between rounds)
    so that a collection triggered by one workload's allocations is not
    charged to whichever workload happens to run next.
    """
    if repeat < 1:
        raise ValueError("repeat must be at least 1")
    gc_was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for _ in range(warmup):
            for workload in workloads:
                _time_once(workload)
        count = len(workloads)
        for round_index in range(repeat):
            shift = round_index % count
            for workload in workloads[shift:] + workloads[:shift]:
                workload.samples_ns.append(_time_once(workload))
            gc.collect()
    finally:
        if gc_was_enabled:
            gc.enable()


def paired_ratio(numerator: Workload, denominator: Workload) -> float:
    """Median of the per-round ratios: each round's pair ran back to back
    under the same machine conditions, so this is steadier than a ratio of
    medians when the load drifts during the run."""
    pairs = zip(numerator.samples_ns, denominator.samples_ns, strict=True)
    return statistics.median(
        (n / numerator.items) / (d / denominator.items) for n, d in pairs
    )


@dataclass
class Group:
    """Workloads over the same input, timed against each other. `floor` names
    the workload every row's ratio is taken against; `unit` is what one item
    is (a version, an object, a node, a package)."""

    key: str
    title: str
    unit: str
    floor: str
    workloads: list[Workload]
    notes: list[str] = field(default_factory=list)

    def release(self) -> None:
        """Lets go of what the workloads run over, keeping their samples:
        the inputs of a group already measured (every outline of an index,
        say) must not stay alive while the next group is timed."""
        for workload in self.workloads:
            workload.run = _released

    def by_name(self, name: str) -> Workload:
        for workload in self.workloads:
            if workload.name == name:
                return workload
        raise KeyError(name)

    def rows(self) -> list[dict]:
        floor = self.by_name(self.floor)
        return [{
            "name": w.name,
            "side": w.side,
            "items": w.items,
            "median_ns_per_item": w.median_per_item,
            "min_ns_per_item": w.min_per_item,
            "median_over_floor": w.median_per_item / floor.median_per_item,
            "paired_over_floor": paired_ratio(w, floor),
            "samples_ns": w.samples_ns,
        } for w in self.workloads]


def high_water(pid: int) -> int | None:
    """A live process's peak resident bytes so far (its own: the resource
    usage of a child counts the pages of the parent it was forked from)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def measured_command(command: list[str], env: dict[str, str] | None = None) -> tuple[str, float, int, int]:
    """A command's standard output, wall seconds, peak resident bytes
    (sampled every 20 ms until it ends) and exit status."""
    started = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    peak = 0
    done = threading.Event()

    def watch() -> None:
        nonlocal peak
        while not done.wait(0.02):
            peak = max(peak, high_water(child.pid) or 0)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    out, _ = child.communicate()
    seconds = time.perf_counter() - started
    done.set()
    watcher.join()
    return out, seconds, peak, child.returncode
