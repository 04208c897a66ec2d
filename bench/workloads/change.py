"""Workload 8: the time from a write to a watched file to the start of the command, for
onchange and the watchers an operator would pick instead, beside the launch floors."""

import os
import subprocess
import time

from harness import (BIN, drain_stamps, failed, floor_sample, get, median, now_ns, record, say,
    stamp_cmd, stop_pids, sweep, wait_stamp, write_file)

FULL = dict(
    change_writes=100,
    change_gap=0.2,
)
QUICK = dict(
    change_writes=5,
    change_gap=0.2,
)


def change_tool_start(bench, tool, path, name):
    stamp = stamp_cmd(bench, name, once=True).split()
    if tool == "onchange":
        argv = [os.path.join(BIN, "onchange"), "-f", path] + stamp
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
    if tool == "entr":
        # -p: no run at start; -n: no terminal to read keys from.
        proc = subprocess.Popen(["entr", "-n", "-p"] + stamp, stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        proc.stdin.write((path + "\n").encode())
        proc.stdin.close()
        return proc
    loop = 'inotifywait -m -q -e modify "$1" | while read -r _; do "$2" "$3" "$4" once; done'
    return subprocess.Popen(["/bin/sh", "-c", loop, "sh", path] + stamp[:3],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def change_tools(bench):
    tools = []
    if os.path.exists(os.path.join(BIN, "onchange")):
        tools.append("onchange")
    else:
        failed(bench, "onchange", "not built")
    return tools + [t for t in ("entr", "inotifywait") if t in bench.have]


def append(path):
    """One write as a shell's >> makes it: open, write, close. Some watchers act on the close."""
    fd = os.open(path, os.O_WRONLY | os.O_APPEND)
    try:
        os.write(fd, b"x\n")
    finally:
        os.close(fd)


def change_ready(bench, path, name, timeout=10.0):
    """Writes until the watcher answers: its watch is then in place."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        append(path)
        if wait_stamp(bench, name, 1.0) is not None:
            time.sleep(0.3)
            drain_stamps(bench)
            return True
    return False



def run(bench):
    """Each tool watches a file of its own; each round writes to each file in turn, waiting for
    the command's start before the next write, then takes a floor sample."""
    writes = bench.sizes["change_writes"]
    gap = bench.sizes["change_gap"] * 1e9
    say(f"== 8. change to command: {writes} writes {gap / 1e6:.0f} ms apart")
    floor, floor_vfork = [], []
    record(bench, "change", "floor", floor)
    record(bench, "change-vfork", "floor", floor_vfork)
    procs, paths = {}, {}
    try:
        for tool in change_tools(bench):
            paths[tool] = os.path.join(bench.scratch, f"change-{tool}.txt")
            write_file(paths[tool], "")
            procs[tool] = change_tool_start(bench, tool, paths[tool], tool)
        for tool in list(procs):
            if not change_ready(bench, paths[tool], tool):
                failed(bench, tool, "did not run its command on a change")
                del paths[tool]
        samples = {tool: [] for tool in paths}
        for i in range(writes):
            begun = now_ns()
            for tool in list(paths):
                t0 = now_ns()
                append(paths[tool])
                got = wait_stamp(bench, tool, 5.0)
                if got is None:
                    failed(bench, tool, "no run after a write")
                    del paths[tool]
                    continue
                samples[tool].append((got[1] - t0) / 1e6)
            for values, vfork in ((floor, False), (floor_vfork, True)):
                sample = floor_sample(bench, shell=False, vfork=vfork)
                if sample is not None:
                    values.append(sample)
            time.sleep(max(0.0, (begun + gap - now_ns()) / 1e9))
        for tool, values in samples.items():
            if values:
                record(bench, "change", "kestord" if tool == "onchange" else tool, values)
    finally:
        for proc in procs.values():
            stop_pids([proc.pid], 0.0)
        sweep(bench)
        drain_stamps(bench)


# --- The table --------------------------------------------------------------------------------

COLUMNS = ("kestord", "floor", "runit", "s6", "daemontools", "supervisor", "entr",
           "inotifywait")
HEADINGS = ("ours", "floor/ref", "runit", "s6", "daemontools", "supervisord", "entr",
            "inotifywait")


def rows(bench):
    """The rows of the table this workload fills: (key, label, how a cell is made from the
    result, goal text, verdict)."""
    out = []
    ours, floor = median(get(bench, "change", "kestord")), median(get(bench, "change", "floor"))
    iw = median(get(bench, "change", "inotifywait"))
    verdict = ""
    if ours is not None and floor is not None:
        misses = []
        if iw is not None and ours > iw:
            misses.append("slower than inotifywait")
        if ours > floor + 1.0:
            misses.append(f"floor +{ours - floor:.2f} ms")
        verdict = "met" if not misses else "missed: " + ", ".join(misses)
    out.append(("change", "8. onchange, write to command: min ms",
                lambda v: min(v) if v else None, "", ""))
    out.append(("change", "8. onchange, write to command: median ms", median,
                "≤ inotifywait, ≤ floor + 1", verdict))
    out.append(("change", "8. onchange, write to command: max ms",
                lambda v: max(v) if v else None, "", ""))
    out.append(("change-vfork", "8. the floor with vfork instead of fork: median ms", median,
                "", ""))
    ours = get(bench, "change-idle", "kestord")
    out.append(("change-idle", "8. onchange idle: context switches/min", None, "0",
                "" if ours is None else "met" if ours == 0 else "missed"))
    return out
