"""The table the bench prints, and the lines that say on what machine it ran."""

import datetime
import os
import platform
import subprocess

from harness import PEER_PACKAGES, QLEN_RUN, ROOT, peer_version

COLUMNS = ("kestord", "floor", "runit", "s6", "daemontools", "supervisor", "entr",
           "inotifywait")
HEADINGS = ("ours", "floor/ref", "runit", "s6", "daemontools", "supervisord", "entr",
            "inotifywait")


def fmt(value, digits=2):
    if value is None:
        return "–"
    if isinstance(value, tuple):
        rate, lost = value
        return fmt(rate) + (f" ({lost} lost)" if lost else "")
    if isinstance(value, float):
        return f"{value:.{digits}f}"
    return str(value)



def table(bench, rows):
    lines = ["| workload | " + " | ".join(HEADINGS) + " | goal | verdict |",
             "|---|" + "---:|" * len(HEADINGS) + "---|---|"]
    for key, label, make, goal, verdict in rows:
        cells = []
        for col in COLUMNS:
            v = bench.results.get((key, col))
            if v is not None and make is not None and not isinstance(v, str):
                v = make(v)
            digits = 0 if key.startswith(("procs", "idle", "change-idle", "lost")) else 2
            cells.append(fmt(v, digits))
        if all(c == "–" for c in cells):
            continue
        lines.append(f"| {label} | " + " | ".join(cells) + f" | {goal} | {verdict} |")
    return "\n".join(lines)


def machine(bench, qlen):
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    debian = "?"
    try:
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip() or "?"
    changed = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "kestord",
                              "onchange", "compat", "CMakeLists.txt"],
                             capture_output=True, text=True).stdout.strip()
    if changed:
        commit += " with uncommitted changes"
    out = [f"date: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC",
           f"machine: {os.cpu_count()} × {cpu}, {mem:.0f} GiB, Linux {platform.release()}, "
           f"Debian {debian}",
           f"load average at the start: {os.getloadavg()[0]:.2f}",
           f"kestor: {commit} (release build)",
           "peers: " + ", ".join(f"{p} {peer_version(p)}" for p in PEER_PACKAGES
                                 if p in bench.have),
           f"logger: util-linux {peer_version_pkg('bsdutils')}",
           f"net.unix.max_dgram_qlen: {qlen} (raised to {QLEN_RUN} for the run)"]
    return out


def peer_version_pkg(pkg):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True,
                       text=True)
    return r.stdout.strip() if r.returncode == 0 else "?"


# --- Main -------------------------------------------------------------------------------------

WORKLOADS = ("memory", "idle", "restart", "startup", "log", "change")

