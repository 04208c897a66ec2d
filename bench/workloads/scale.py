"""Workload 9: kestord with a large table. The launch cost as the table grows, beside the bare
launcher holding as many descriptors (four a service, as kestord holds), with fork and with a
child that shares the launcher's descriptor table and leaves it before the exec; then memory,
start-up and log throughput at the largest size."""

import signal
import time

from harness import (QLEN_RUN, Service, drain_stamps, failed, get, kill_pids, launch, now_ns,
    pss_kib, record, say, service_pids, stamp_cmd, start, stop, stop_pids, sweep)
from workloads.log import log_round
from workloads.startup import wait_stamps

FULL = dict(
    scale=(250, 1000, 4000),
)
QUICK = dict(
    scale=(20, 80),
)

# The launcher's rows, by the suffix of their key: with fork, and sharing its table.
FLOORS = (("", ()), ("-shared", ("-s",)))


def floor_launch(bench, count, options):
    """The bare launcher holding four descriptors a service: ms a service until count have
    started, or None."""
    drain_stamps(bench)
    t0, pids = launch(["/bin/sh", "-c", "exec " + stamp_cmd(bench, "l")], count,
                      options=("-d", str(4 * count)) + options)
    last = wait_stamps(bench, count, 300)
    kill_pids(pids, signal.SIGKILL)
    stop_pids(pids, 5.0)
    drain_stamps(bench)
    if last is None:
        failed(bench, "floor", f"the launcher's {count} services did not all start")
        return None
    return (last - t0) / 1e6 / count


def run(bench):
    sizes = bench.sizes["scale"]
    for count in sizes:
        say(f"== 9. launch cost with {count} services")
        services = [Service(f"s{i}", stamp_cmd(bench, "s")) for i in range(count)]
        drain_stamps(bench)
        t0 = now_ns()
        inst = start(bench, "kestord", f"scale-{count}", services)
        try:
            last = wait_stamps(bench, count, 300)
            if last is None:
                failed(bench, "kestord", f"{count} services did not all start")
                continue
            record(bench, f"launch{count}", "kestord", (last - t0) / 1e6 / count)
            if count == sizes[-1]:
                record(bench, f"scale-startup{count}", "kestord", (last - t0) / 1e9)
                time.sleep(bench.sizes["settle"])
                sup, _ = service_pids(inst.pid)
                record(bench, f"scale-mem{count}", "kestord",
                       sum(pss_kib(p) for p in sup) / 1024)
        finally:
            stop(inst)
            sweep(bench)
            drain_stamps(bench)
        for suffix, options in FLOORS:
            ms = floor_launch(bench, count, options)
            if ms is not None:
                record(bench, f"launch{count}{suffix}", "floor", ms)
    quiet = sizes[-1]
    say(f"== 9. log throughput beside {quiet} quiet services")
    r = log_round(bench, "kestord", quiet)
    if r is not None:
        record(bench, f"scale-log{quiet}", "kestord", r[:2])


def rows(bench):
    """The rows of the table this workload fills: (key, label, how a cell is made from the
    result, goal text, verdict)."""
    sizes = bench.sizes["scale"]
    out = []
    for count in sizes:
        out.append((f"launch{count}", f"9. launch cost, {count} services: ms a service", None,
                    "", ""))
    for count in sizes:
        out.append((f"launch{count}-shared", f"9. the floor sharing its descriptor table, "
                    f"{count} services: ms a service", None, "", ""))
    big = sizes[-1]
    out.append((f"scale-mem{big}", f"9. memory, {big} services: Pss MiB", None, "", ""))
    out.append((f"scale-startup{big}", f"9. start-up, {big} services: s", None, "", ""))
    ref = get(bench, f"logq{QLEN_RUN}", "floor")
    v = get(bench, f"scale-log{big}", "kestord")
    verdict = ""
    if v is not None and ref is not None:
        verdict = f"{v[0] / ref:.2f}× logger" + (f", {v[1]} lost" if v[1] else "")
    out.append((f"scale-log{big}", f"9. log beside {big} quiet services: M lines/s",
                lambda v: (v[0] / 1e6, v[1]), "", verdict))
    return out
