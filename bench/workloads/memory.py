"""Workload 1: the memory and the processes a supervisor needs for many quiet services."""

import time

from harness import (Service, best_peer, failed, get, peers, pss_kib, record, say, service_pids,
    start, stop, sweep, wait_services)

FULL = dict(
    memory=(200, 1000),
)
QUICK = dict(
    memory=(20,),
)


def run(bench):
    for count in bench.sizes["memory"]:
        say(f"== 1. memory, {count} services")
        services = [Service(f"m{i}", "sleep 100000") for i in range(count)]
        for kind in ["kestord"] + peers(bench):
            begun = time.monotonic()
            inst = start(bench, kind, f"mem-{kind}-{count}", services)
            try:
                if not wait_services(inst.pid, count, 120):
                    failed(bench, kind, f"{count} services did not all start")
                    continue
                time.sleep(bench.sizes["settle"])
                sup, _ = service_pids(inst.pid)
                record(bench, f"mem{count}", kind, sum(pss_kib(p) for p in sup) / 1024)
                record(bench, f"procs{count}", kind, len(sup))
            finally:
                stop(inst)
                sweep(bench)
                say(f"   {kind}: {time.monotonic() - begun:.1f} s")


def rows(bench):
    """The rows of the table this workload fills: (key, label, how a cell is made from the
    result, goal text, verdict)."""
    s = bench.sizes
    out = []
    big = s["memory"][-1]
    for count in s["memory"]:
        ours, best = get(bench, f"mem{count}", "kestord"), best_peer(bench, f"mem{count}")
        goal, verdict = "", ""
        if count == big:
            goal = "≤ best peer / 10"
            if ours is not None and best is not None:
                verdict = "met" if ours <= best / 10 else f"missed: {best / ours:.1f}× below"
        out.append((f"mem{count}", f"1. memory, {count} services: Pss MiB", None, goal,
                    verdict))
        out.append((f"procs{count}", f"1. processes, {count} services", None, "", ""))
    return out
