"""Workloads 6 and 7: log throughput of one writing service, alone and beside quiet services,
against util-linux logger into the same receiver, with the receiver's queue at a systemd
host's length (net.unix.max_dgram_qlen 512) and at the bench's (65536); and the processor
time that the daemon and logger each spend per million lines. Beside them runs the floor: a
bare sendmmsg loop of datagrams made in advance (the helper blast), the most that any sender
giving each line a datagram of its own gets through on the machine."""

import os
import subprocess
import time

from harness import (HELPERS, LINE_BYTES, PEER_LIMITS, QLEN_RUN, Service, drain_stamps, failed,
    fifo_write, get, now_ns, peers, record, say, sink_line, start, start_sink, stop, stop_pids,
    stop_sink, sweep, syslog_wrap, wait_services, wait_stamp, write_qlen)

# The receiver's queue lengths the pair is compared at: a systemd host's, and the bench's own.
QLENS = (512, QLEN_RUN)

FULL = dict(
    log_lines=1000000,
    growth=(1, 100, 1000),
)
QUICK = dict(
    log_lines=20000,
    growth=(10,),
)


def log_files(d):
    """The log files of a log directory, or the one file, and their size."""
    paths = [d] if d.endswith(".log") else [
        os.path.join(d, f) for f in os.listdir(d) if f == "current" or f.startswith("@")]
    size = 0
    for p in paths:
        try:
            size += os.stat(p).st_size
        except OSError:
            pass
    return paths, size


def cpu_seconds(pid):
    """The processor time of a process (user and system), also of one that has ended and not
    been reaped yet; None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def log_round(bench, kind, quiet):
    """Workload 6 with quiet services beside the writer: (lines per second, lines lost,
    processor seconds per million lines of the daemon or of logger, or None)."""
    count = bench.sizes["log_lines"]
    go = os.path.join(bench.scratch, "go")
    os.mkfifo(go)
    writer = f"{HELPERS}/lines {bench.stamp_path} w {count} {go}"
    services = [Service(f"q{i}", "sleep 100000") for i in range(quiet)]
    services.append(Service("w", writer, log=True))
    drain_stamps(bench)
    counts_in_sink = kind in ("kestord", "logger", "blast")
    inst, pipeline, counted_pid = None, [], None
    if kind == "logger":
        w = subprocess.Popen(writer.split(), stdout=subprocess.PIPE, start_new_session=True)
        lg = subprocess.Popen(syslog_wrap(bench, ["logger", "-t", "w"]), stdin=w.stdout,
                              start_new_session=True)
        w.stdout.close()
        pipeline = [w, lg]
        root = w.pid
        counted_pid = lg.pid
    elif kind == "blast":
        bl = subprocess.Popen(syslog_wrap(bench, [f"{HELPERS}/blast", bench.stamp_path, "w",
                                                  str(count), go]), start_new_session=True)
        pipeline = [bl]
        root = counted_pid = bl.pid
    else:
        inst = start(bench, kind, f"log-{kind}-{quiet}", services, wrap=kind == "kestord")
        root = inst.pid
        if kind == "kestord":
            counted_pid = inst.pid
    try:
        if wait_stamp(bench, "w-ready", 120) is None or (
                quiet and not wait_services(root, quiet, 120)):
            failed(bench, kind, "the writer or the quiet services did not start")
            return None
        time.sleep(bench.sizes["settle"] / 2)
        if counts_in_sink:
            bench.sink.stdin.write(f"{count} 3000\n")
            bench.sink.stdin.flush()
            if sink_line(bench, 10) != "round":
                failed(bench, "sink", "the receiver did not open a round")
                return None
        cpu_begun = cpu_seconds(counted_pid) if counted_pid else None
        fifo_write(go, "")
        got = wait_stamp(bench, "w", 30)
        if got is None:
            failed(bench, kind, "the writer did not begin")
            return None
        begun = got[1]
        if counts_in_sink:
            line = sink_line(bench, 600)
            if line is None:
                failed(bench, "sink", "no count from the receiver")
                return None
            counted, _, last, _ = (int(v) for v in line.split())
            if counted == 0:
                failed(bench, kind, "no line reached the receiver")
                return None
            cpu = None
            cpu_ended = cpu_seconds(counted_pid)
            if cpu_begun is not None and cpu_ended is not None:
                cpu = (cpu_ended - cpu_begun) / counted * 1e6
            return counted / ((last - begun) / 1e9), count - counted, cpu
        target = os.path.join(inst.dir, "logs", "w.log" if kind == "supervisor" else "w")
        expected = count * LINE_BYTES
        size, grown, done = 0, time.monotonic(), None
        while True:
            _, now_size = log_files(target)
            if now_size != size:
                size, grown = now_size, time.monotonic()
            if size >= expected:
                done = now_ns()
                break
            if time.monotonic() - grown > 3.0:
                break
            time.sleep(0.0005)
        paths, size = log_files(target)
        lines = 0
        for p in paths:
            with open(p, "rb") as f:
                lines += f.read().count(b"\n")
        if done is None or lines == 0:
            failed(bench, kind, f"the log holds {lines} of {count} lines")
            if lines == 0:
                return None
            done = now_ns()
        return lines / ((done - begun) / 1e9), count - lines, None
    finally:
        if inst is not None:
            stop(inst)
        for p in pipeline:
            stop_pids([p.pid], 5.0)
            p.wait()
        sweep(bench)
        os.unlink(go)


def sink_qlen(bench, qlen):
    """A receiver whose queue holds qlen datagrams: the kernel gives a socket the length in
    force when it is made, so the receiver is made again."""
    write_qlen(qlen)
    stop_sink(bench)
    start_sink(bench)


def run(bench):
    if bench.sink is None:
        failed(bench, "sink", "no receiver at /dev/log")
        return
    say(f"== 6, 7. log throughput, {bench.sizes['log_lines']} lines")
    # kestord and logger, the pair the goal compares, and the floor run twice each, in turn,
    # at each queue length, and the better run of each counts; the lines lost are the worse
    # run's. The peers write files, so the queue length is nothing to them: they run once.
    lost = {}
    try:
        for qlen in QLENS:
            sink_qlen(bench, qlen)
            say(f"   net.unix.max_dgram_qlen {qlen}")
            runs = {}
            kinds = ["kestord", "logger", "blast"] * 2
            if qlen == QLEN_RUN:
                kinds += peers(bench)
            for kind in kinds:
                r = log_round(bench, kind, 0)
                if r is not None:
                    runs.setdefault(kind, []).append(r)
            for kind, rs in runs.items():
                column = "floor" if kind in ("logger", "blast") else kind
                rate, cpu = ("floorq", "floorcpuq") if kind == "blast" else ("logq", "cpuq")
                record(bench, f"{rate}{qlen}", column, max(r[0] for r in rs))
                cpus = [r[2] for r in rs if r[2] is not None]
                if cpus:
                    record(bench, f"{cpu}{qlen}", column, min(cpus))
                if kind != "blast":
                    lost[column] = max([lost.get(column, 0)] + [r[1] for r in rs])
    finally:
        sink_qlen(bench, QLEN_RUN)
    for column, n in lost.items():
        record(bench, "lost", column, n)
    for quiet in bench.sizes["growth"]:
        say(f"== 7. log throughput beside {quiet} quiet services")
        for kind in ["kestord"] + peers(bench):
            if quiet + 1 > PEER_LIMITS.get(kind, quiet + 1):
                record(bench, f"log{quiet}", kind, f"n/a: ≤ {PEER_LIMITS[kind]} services")
                continue
            begun = time.monotonic()
            r = log_round(bench, kind, quiet)
            say(f"   {kind}: {time.monotonic() - begun:.1f} s")
            if r is not None:
                record(bench, f"log{quiet}", kind, r[:2])


def rows(bench):
    """The rows of the table this workload fills: (key, label, how a cell is made from the
    result, goal text, verdict)."""
    s = bench.sizes
    out = []
    lost = get(bench, "lost", "kestord")
    for qlen in QLENS:
        ours, ref = get(bench, f"logq{qlen}", "kestord"), get(bench, f"logq{qlen}", "floor")
        floor = get(bench, f"floorq{qlen}", "floor")
        verdict = ""
        if ours is not None and ref is not None:
            verdict = "met" if ours >= 2 * ref and not lost else (
                f"missed: {ours / ref:.2f}× logger" if ours < 2 * ref else
                f"missed: {lost} lost")
            if floor is not None:
                verdict += f"; the floor {floor / ref:.2f}×"
        out.append((f"logq{qlen}", f"6. log, {s['log_lines']} lines, qlen {qlen}: M lines/s",
                    lambda v: v / 1e6, "≥ 2× logger, none lost", verdict))
        out.append((f"cpuq{qlen}", f"6. log, qlen {qlen}: CPU s per M lines", None, "", ""))
        out.append((f"floorq{qlen}", f"6. the floor, a bare sendmmsg loop, qlen {qlen}: "
                    "M lines/s", lambda v: v / 1e6, "", ""))
        out.append((f"floorcpuq{qlen}", f"6. the floor, qlen {qlen}: CPU s per M lines", None,
                    "", ""))
    out.append(("lost", "6. lines lost", None, "0", ""))
    ref = get(bench, f"logq{QLEN_RUN}", "floor")
    for quiet in s["growth"]:
        verdict, goal = "", ""
        if quiet == s["growth"][-1]:
            goal = "≥ logger"
            v = get(bench, f"log{quiet}", "kestord")
            if v is not None and ref is not None:
                verdict = "met" if v[0] >= ref and not v[1] else (
                    f"missed: {v[0] / ref:.2f}× logger" if v[0] < ref else
                    f"missed: {v[1]} lost")
        out.append((f"log{quiet}", f"7. log beside {quiet} quiet services: M lines/s",
                    lambda v: (v[0] / 1e6, v[1]), goal, verdict))
    return out
