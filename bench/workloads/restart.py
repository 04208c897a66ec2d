"""Workloads 3 and 4: the time from a crash, or from a restart command, to the service's
next start, beside the bare launcher's floor."""

import signal
import subprocess
import time

from harness import (Service, best_peer, drain_stamps, failed, fifo_write, floor_sample, get,
    kill_pids, median, now_ns, peers, record, restart_command, say, stamp_cmd, start, stop, sweep,
    wait_stamp)

FULL = dict(
    restart_samples=15,
    restart_gap=1.2,
)
QUICK = dict(
    restart_samples=1,
    restart_gap=1.1,
)


def act(bench, inst, action, label):
    """Kills the service of inst, or asks its supervisor to restart it, and waits for its next
    start: (the milliseconds from the act to that start, the new (pid, ns)), or None."""
    pid, _ = inst.last
    tool = None
    t0 = now_ns()
    if action == "crash":
        kill_pids([pid], signal.SIGKILL)
    elif inst.kind == "kestord":
        fifo_write(inst.fifo, "restart x\n")
    else:
        tool = subprocess.Popen(restart_command(inst, "x"), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    got = wait_stamp(bench, label, 10.0)
    if tool is not None:
        try:
            tool.wait(timeout=15)
        except subprocess.TimeoutExpired:
            kill_pids([tool.pid], signal.SIGKILL)
            tool.wait()
    if got is None:
        return None
    return (got[1] - t0) / 1e6, got


def run(bench):
    """Every supervisor runs one service at once, and each round kills (or restarts) the
    service of each in turn, waiting for its next start before the next one, with a floor
    sample in between: all of them see the machine as it is in those same seconds."""
    say("== 3, 4. restart after a crash and on command")
    n = bench.sizes["restart_samples"]
    gap = bench.sizes["restart_gap"] * 1e9
    configs = [("kestord-t0", "kestord", 0, None), ("kestord-default", "kestord", None, 1000)]
    configs += [(k, k, None, None) for k in peers(bench)]
    insts = {}
    floor, floor_vfork = [], []
    record(bench, "crash", "floor", floor)
    record(bench, "command", "floor", floor)
    record(bench, "floor-vfork", "floor", floor_vfork)
    try:
        for label, kind, restart_ms, reset_ms in configs:
            insts[label] = start(bench, kind, f"restart-{label}", [Service("x", stamp_cmd(
                bench, label))], restart_ms, reset_ms)
        for label, inst in list(insts.items()):
            inst.last = wait_stamp(bench, label, 10.0)
            if inst.last is None:
                failed(bench, inst.kind, "the service did not start")
                del insts[label]
        samples = {(label, action): [] for label in insts for action in ("crash", "command")}
        for action in ("crash", "command"):
            for i in range(n):
                for values, vfork in ((floor, False), (floor_vfork, True)):
                    sample = floor_sample(bench, vfork=vfork)
                    if sample is not None:
                        values.append(sample)
                for label, inst in list(insts.items()):
                    if action == "command" and label == "kestord-default":
                        continue
                    # Every peer waits longer before it restarts a service that ran for less
                    # than a second, so each act comes gap seconds after the last start.
                    time.sleep(max(0.0, (inst.last[1] + gap - now_ns()) / 1e9))
                    r = act(bench, inst, action, label)
                    if r is None:
                        failed(bench, inst.kind, f"no restart after a {action}")
                        del insts[label]
                        continue
                    samples[(label, action)].append(r[0])
                    inst.last = r[1]
        for (label, action), values in samples.items():
            if not values:
                continue
            if label == "kestord-default":
                record(bench, "crash-default", "kestord", values)
            else:
                record(bench, action, "kestord" if label == "kestord-t0" else label, values)
    finally:
        for inst in insts.values():
            stop(inst)
        sweep(bench)
        drain_stamps(bench)


def rows(bench):
    """The rows of the table this workload fills: (key, label, how a cell is made from the
    result, goal text, verdict)."""
    out = []
    for row, label in (("crash", "3. crash restart (-t 0)"), ("command", "4. restart on command")):
        ours, floor = median(get(bench, row, "kestord")), median(get(bench, row, "floor"))
        best = best_peer(bench, row, fn=median)
        verdict = ""
        if ours is not None and floor is not None:
            within = ours <= floor + 0.5
            quicker = best is None or ours < best
            verdict = "met" if within and quicker else (
                f"missed: floor +{ours - floor:.2f} ms" if not within else "missed: a peer is quicker")
        out.append((row, f"{label}: median ms", median, "≤ floor + 0.5, < every peer", verdict))
        out.append((row, f"{label}: max ms", lambda v: max(v) if v else None, "", ""))
    out.append(("crash-default", "3. crash restart, default delay (1 s): median ms", median, "",
                ""))
    out.append(("floor-vfork", "3, 4. the floor with vfork instead of fork: median ms", median,
                "", ""))
    return out
