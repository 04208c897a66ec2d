"""Workload 5: the time until every one of many services has started, beside the bare
launcher's."""

import signal
import time

from harness import (Service, best_peer, drain_stamps, failed, get, kill_pids, launch, now_ns,
    peers, read_stamp, record, say, stamp_cmd, start, stop, stop_pids, sweep)

FULL = dict(
    startup=1000,
)
QUICK = dict(
    startup=50,
)


def wait_stamps(bench, count, timeout):
    """The latest time among count stamps, or None."""
    pids, last = set(), 0
    deadline = time.monotonic() + timeout
    while len(pids) < count:
        s = read_stamp(bench, deadline - time.monotonic())
        if s is None:
            return None
        pids.add(s[1])
        last = max(last, s[2])
    return last


def bare_startup(bench, count):
    """The bare launcher's time from its start until count services have started."""
    drain_stamps(bench)
    t0 = now_ns()
    _, pids = launch(["/bin/sh", "-c", "exec " + stamp_cmd(bench, "s")], count)
    last = wait_stamps(bench, count, 120)
    kill_pids(pids, signal.SIGKILL)
    stop_pids(pids, 5.0)
    drain_stamps(bench)
    if last is None:
        failed(bench, "floor", "the bare launcher's services did not all start")
        return None
    return (last - t0) / 1e9


def run(bench):
    count = bench.sizes["startup"]
    say(f"== 5. start-up of {count} services")
    # The launcher runs before and after the supervisors, and the quicker run counts.
    bare = [bare_startup(bench, count)]
    services = [Service(f"s{i}", stamp_cmd(bench, "s")) for i in range(count)]
    for kind in ["kestord"] + peers(bench):
        t0 = now_ns()
        inst = start(bench, kind, f"startup-{kind}", services)
        try:
            last = wait_stamps(bench, count, 120)
            if last is None:
                failed(bench, kind, f"{count} services did not all start")
                continue
            record(bench, "startup", kind, (last - t0) / 1e9)
        finally:
            stop(inst)
            sweep(bench)
            drain_stamps(bench)
            say(f"   {kind}: {(now_ns() - t0) / 1e9:.1f} s")
    bare.append(bare_startup(bench, count))
    bare = [b for b in bare if b is not None]
    if bare:
        record(bench, "startup", "floor", min(bare))


def rows(bench):
    """The rows of the table this workload fills: (key, label, how a cell is made from the
    result, goal text, verdict)."""
    s = bench.sizes
    out = []
    ours, floor = get(bench, "startup", "kestord"), get(bench, "startup", "floor")
    best = best_peer(bench, "startup")
    verdict = ""
    if ours is not None and floor is not None:
        misses = []
        if ours > 1.25 * floor:
            misses.append(f"{ours / floor:.2f}× the launcher")
        if best is not None and ours * 3 > best:
            misses.append(f"{best / ours:.1f}× quicker than the best peer")
        verdict = "met" if not misses else "missed: " + ", ".join(misses)
    out.append(("startup", f"5. start-up, {s['startup']} services: s", None,
                "≤ 1.25 × launcher, ≥ 3× quicker than best peer", verdict))
    return out
