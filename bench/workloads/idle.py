"""Workload 2: context switches of idle supervisors and watchers, all measured together."""

import os
import time

from harness import (SUPERVISORS, Service, descendants, drain_stamps, failed, get, peers, record,
    say, service_pids, start, stop, stop_pids, sweep, switches, wait_services, write_file)
from workloads.change import change_ready, change_tool_start, change_tools

FULL = dict(
    idle_services=50,
    idle_seconds=60.0,
)
QUICK = dict(
    idle_services=5,
    idle_seconds=2.0,
)


def run(bench):
    count = bench.sizes["idle_services"]
    seconds = bench.sizes["idle_seconds"]
    say(f"== 2. idle: {count} quiet services each, {seconds:.0f} s, all measured together")
    services = [Service(f"i{i}", "sleep 100000") for i in range(count)]
    insts, watchers = [], []
    try:
        for kind in ["kestord"] + peers(bench):
            insts.append(start(bench, kind, f"idle-{kind}", services))
        for inst in insts:
            if not wait_services(inst.pid, count, 60):
                failed(bench, inst.kind, "idle services did not all start")
        for tool in change_tools(bench):
            path = os.path.join(bench.scratch, f"idle-{tool}.txt")
            write_file(path, "")
            proc = change_tool_start(bench, tool, path, f"idle-{tool}")
            if not change_ready(bench, path, f"idle-{tool}"):
                failed(bench, tool, "did not run its command on a change")
            watchers.append((tool, proc))
        time.sleep(bench.sizes["settle"])
        drain_stamps(bench)
        before = {}
        for inst in insts:
            sup, _ = service_pids(inst.pid)
            before[inst.kind] = {p: switches(p) for p in sup}
        for tool, proc in watchers:
            before[tool] = {p: switches(p) for p in descendants([proc.pid])}
        time.sleep(seconds)
        scale = 60.0 / seconds
        for kind, procs in before.items():
            total = sum(switches(p) - n for p, n in procs.items())
            row = "idle" if kind in SUPERVISORS else "change-idle"
            column = "kestord" if kind == "onchange" else kind
            record(bench, row, column, total * scale)
    finally:
        for inst in insts:
            stop(inst)
        for _, proc in watchers:
            stop_pids([proc.pid], 0.0)
        sweep(bench)


def rows(bench):
    """The rows of the table this workload fills: (key, label, how a cell is made from the
    result, goal text, verdict)."""
    s = bench.sizes
    out = []
    ours = get(bench, "idle", "kestord")
    out.append(("idle", f"2. idle, {s['idle_services']} services: context switches/min",
                None, "0", "" if ours is None else "met" if ours == 0 else "missed"))
    return out
