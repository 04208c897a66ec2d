"""What every workload of the bench shares: the build, the peers, the receiver at /dev/log,
the processes it starts and stops by PID, the stamps services send when they start, and the
supervisors' configurations."""

import ctypes
import dataclasses
import errno
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
BIN = os.path.join(BUILD, "bin")
HELPERS = os.path.join(BUILD, "bench")
HELPER_NAMES = ("stamp", "launch", "lines", "sink", "blast")

SUPERVISORS = ("kestord", "runit", "s6", "daemontools", "supervisor")
PEER_PACKAGES = {
    "runit": "runit",
    "s6": "s6",
    "daemontools": "daemontools",
    "supervisor": "supervisor",
    "entr": "entr",
    "inotifywait": "inotify-tools",
}
PEER_COMMANDS = {
    "runit": ("runsvdir", "runsv", "sv", "svlogd"),
    "s6": ("s6-svscan", "s6-supervise", "s6-svc", "s6-log"),
    "daemontools": ("svscan", "supervise", "svc", "multilog"),
    "supervisor": ("supervisord", "supervisorctl"),
    "entr": ("entr",),
    "inotifywait": ("inotifywait",),
}
# The most services a scan directory may hold, as the peers' manuals say.
PEER_LIMITS = {"runit": 1000, "daemontools": 1000}
# The processes that are a service rather than its supervisor, by executable name.
SERVICE_EXES = {"sleep", "stamp", "lines", "sh", "dash"}

LINE_BYTES = 11  # "@b 0000001\n", as the helper lines writes them
MARKER = "@b "
QLEN_PATH = "/proc/sys/net/unix/max_dgram_qlen"
QLEN_RUN = 65536

# The sizes every workload shares; each workload module adds its own.
FULL = dict(settle=1.0)
QUICK = dict(settle=0.5)


@dataclasses.dataclass
class Instance:
    """A supervisor (or watcher) started by the bench."""

    kind: str
    dir: str
    proc: subprocess.Popen
    pid: int  # the supervisor's own, once kestord has detached
    conf: str = ""
    fifo: str = ""
    last: tuple = None  # the (pid, ns) of the service's last start


@dataclasses.dataclass
class Service:
    name: str
    command: str  # run by /bin/sh as "exec COMMAND"
    log: bool = False  # give it the supervisor's own file logger


@dataclasses.dataclass
class Bench:
    sizes: dict
    scratch: str
    stamp_path: str
    stamp_sock: socket.socket
    pending: list
    have: set  # the peers that are installed
    sink: subprocess.Popen = None
    sink_path: str = ""
    wrap_syslog: bool = False  # /dev/log belongs to a syslog daemon: bind ours over it
    results: dict = dataclasses.field(default_factory=dict)
    notes: list = dataclasses.field(default_factory=list)
    errors: list = dataclasses.field(default_factory=list)
    protected: set = dataclasses.field(default_factory=set)
    started: int = 0  # supervisors started so far, to name their directories


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def say(text):
    print(text, file=sys.stderr, flush=True)


# --- Set-up -----------------------------------------------------------------------------------


def build():
    say("== building in release mode into build-bench/")
    subprocess.run(
        ["cmake", "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DKESTOR_TESTS=OFF"],
        cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    os.makedirs(HELPERS, exist_ok=True)
    cc = os.environ.get("CC", "cc")
    for name in HELPER_NAMES:
        subprocess.run([cc, "-O2", "-std=c11", "-Wall", "-Wextra", "-o",
                        os.path.join(HELPERS, name),
                        os.path.join(ROOT, "bench", name + ".c")], check=True)


def installed(peer):
    return all(shutil.which(c) for c in PEER_COMMANDS[peer])


def install_peers(skip):
    missing = [p for p in PEER_PACKAGES if not installed(p)]
    if missing and not skip and os.geteuid() == 0 and shutil.which("apt-get"):
        packages = sorted({PEER_PACKAGES[p] for p in missing})
        say("== installing " + " ".join(packages))
        # A package must not start its daemon through an init system while it installs; the
        # standard policy hook says so, and goes again if it was not there before.
        policy = "/usr/sbin/policy-rc.d"
        made_policy = not os.path.exists(policy)
        if made_policy:
            with open(policy, "w") as f:
                f.write("#!/bin/sh\nexit 101\n")
            os.chmod(policy, 0o755)
        try:
            env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
            subprocess.run(["apt-get", "update", "-qq"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)
            for pkg in packages:
                subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends",
                                pkg], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=300)
        except (OSError, subprocess.SubprocessError) as e:
            say(f"bench: installing peers failed: {e}")
        finally:
            if made_policy:
                os.unlink(policy)
    have = {p for p in PEER_PACKAGES if installed(p)}
    for p in PEER_PACKAGES:
        if p not in have:
            say(f"bench: {p} is not installed; its figures are left out")
    return have


def peer_version(peer):
    pkg = PEER_PACKAGES[peer]
    r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True,
                       text=True)
    return r.stdout.strip() if r.returncode == 0 else "not installed"


def read_qlen():
    try:
        with open(QLEN_PATH) as f:
            return f.read().strip()
    except OSError:
        return None


def write_qlen(value):
    try:
        with open(QLEN_PATH, "w") as f:
            f.write(str(value))
        return True
    except OSError:
        return False


def start_sink(bench):
    """Binds the counting receiver at /dev/log, or beside the scratch files when a syslog
    daemon already owns /dev/log (kestord and logger then see ours through a bind mount)."""
    if os.path.lexists("/dev/log"):
        if os.geteuid() != 0 or not shutil.which("unshare"):
            bench.notes.append("/dev/log belongs to a syslog daemon and cannot be covered "
                               "here: the log workloads count nothing")
            return
        bench.sink_path = os.path.join(bench.scratch, "log.sock")
        bench.wrap_syslog = True
    else:
        bench.sink_path = "/dev/log"
    bench.sink = subprocess.Popen([os.path.join(HELPERS, "sink"), bench.sink_path, MARKER],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  bufsize=1, start_new_session=True)
    bench.protected.add(bench.sink.pid)
    if sink_line(bench, 5.0) != "ready":
        raise RuntimeError("the syslog receiver did not start")


def stop_sink(bench):
    if bench.sink is None:
        return
    bench.sink.stdin.close()
    try:
        bench.sink.wait(timeout=5)
    except subprocess.TimeoutExpired:
        kill_pids([bench.sink.pid], signal.SIGKILL)
        bench.sink.wait()
    # The sink removes its socket itself; this covers a sink that was killed.
    if bench.sink_path and os.path.lexists(bench.sink_path):
        try:
            if os.stat(bench.sink_path).st_mode & 0o170000 == 0o140000:
                os.unlink(bench.sink_path)
        except OSError:
            pass
    bench.sink = None


def sink_line(bench, timeout):
    ready, _, _ = select.select([bench.sink.stdout], [], [], timeout)
    if not ready:
        return None
    return bench.sink.stdout.readline().strip()


def syslog_wrap(bench, argv):
    if not bench.wrap_syslog:
        return argv
    return ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
            'mount --bind "$0" /dev/log && exec "$@"', bench.sink_path] + argv


# --- Processes --------------------------------------------------------------------------------


def proc_table():
    """Every process: pid -> (ppid, state)."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        rest = stat[stat.rfind(")") + 2:].split()
        table[int(entry)] = (int(rest[1]), rest[0])
    return table


def descendants(roots, table=None):
    table = table if table is not None else proc_table()
    children = {}
    for pid, (ppid, _) in table.items():
        children.setdefault(ppid, []).append(pid)
    found = set()
    todo = [r for r in roots if r in table]
    while todo:
        pid = todo.pop()
        if pid in found:
            continue
        found.add(pid)
        todo.extend(children.get(pid, ()))
    return found


def alive(pid, table):
    return pid in table and table[pid][1] != "Z"


def exe_name(pid):
    try:
        return os.path.basename(os.readlink(f"/proc/{pid}/exe"))
    except OSError:
        try:
            with open(f"/proc/{pid}/comm") as f:
                return f.read().strip()
        except OSError:
            return ""


def reap_orphans():
    """The bench is a child subreaper, so orphaned descendants come to it; this collects the
    ones that have ended."""
    me = os.getpid()
    for pid, (ppid, state) in proc_table().items():
        if ppid == me and state == "Z":
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass


def kill_pids(pids, sig):
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def stop_pids(pids, grace):
    """Waits until every pid in pids and everything they started is gone; past grace, sends
    SIGTERM and then SIGKILL to each by pid. Returns True when they ended by themselves."""
    known = set(pids)
    deadline = time.monotonic() + grace
    sig = None
    while True:
        reap_orphans()
        table = proc_table()
        known |= descendants([p for p in known if alive(p, table)], table)
        left = [p for p in known if alive(p, table)]
        if not left:
            return sig is None
        if time.monotonic() > deadline:
            sig = signal.SIGKILL if sig == signal.SIGTERM else signal.SIGTERM
            kill_pids(left, sig)
            deadline = time.monotonic() + 3.0
        time.sleep(0.05)


def sweep(bench):
    """Stops whatever the bench started and is still there, apart from the receiver."""
    table = proc_table()
    me = os.getpid()
    left = [p for p in descendants([me], table) if p != me and p not in bench.protected
            and alive(p, table)]
    if left:
        kill_pids(left, signal.SIGTERM)
        stop_pids(left, 2.0)
    reap_orphans()


def set_subreaper():
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


# --- Stamps -----------------------------------------------------------------------------------


def open_stamps(scratch):
    path = os.path.join(scratch, "stamp.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, 33, 32 << 20)  # SO_RCVBUFFORCE
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 20)
    sock.bind(path)
    return path, sock


def read_stamp(bench, timeout):
    bench.stamp_sock.settimeout(max(timeout, 0.0001))
    try:
        data = bench.stamp_sock.recv(512)
    except (socket.timeout, BlockingIOError):
        return None
    name, pid, ns = data.decode().split()
    return name, int(pid), int(ns)


def wait_stamp(bench, name, timeout):
    """The next stamp of that name as (pid, ns), or None; other stamps wait in pending."""
    for i, s in enumerate(bench.pending):
        if s[0] == name:
            del bench.pending[i]
            return s[1], s[2]
    deadline = time.monotonic() + timeout
    while True:
        s = read_stamp(bench, deadline - time.monotonic())
        if s is None:
            return None
        if s[0] == name:
            return s[1], s[2]
        bench.pending.append(s)


def drain_stamps(bench):
    bench.pending.clear()
    while read_stamp(bench, 0.0001) is not None:
        pass


def stamp_cmd(bench, name, once=False):
    cmd = f"{HELPERS}/stamp {bench.stamp_path} {name}"
    return cmd + " once" if once else cmd


# --- Supervisors ------------------------------------------------------------------------------


def write_file(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def prepare(kind, d, services, restart_ms=None, reset_ms=None):
    """Writes the configuration of kind for services under d; returns (argv, conf, fifo)."""
    os.makedirs(d)
    logs = os.path.join(d, "logs")
    if kind == "kestord":
        conf = os.path.join(d, "kestor.conf")
        write_file(conf, "".join(f"{s.name} {s.command}\n" for s in services))
        fifo = os.path.join(d, "kestord.pipe")
        # Detached, as in service: the copy of each log message on standard error then goes
        # to the null device, as it does for an operator.
        argv = [os.path.join(BIN, "kestord"), "-f", conf, "-c", fifo,
                "-p", os.path.join(d, "kestord.pid")]
        if restart_ms is not None:
            argv += ["-t", str(restart_ms)]
        if reset_ms is not None:
            argv += ["-r", str(reset_ms)]
        return argv, conf, fifo
    if kind == "supervisor":
        conf = os.path.join(d, "supervisord.conf")
        text = (f"[unix_http_server]\nfile={d}/supervisor.sock\n\n"
                f"[supervisord]\nlogfile={d}/supervisord.log\npidfile={d}/supervisord.pid\n"
                f"childlogdir={logs}\nnodaemon=true\nminfds=8192\nminprocs=4096\n\n"
                "[rpcinterface:supervisor]\nsupervisor.rpcinterface_factory = "
                "supervisor.rpcinterface:make_main_rpcinterface\n\n"
                f"[supervisorctl]\nserverurl=unix://{d}/supervisor.sock\n\n")
        os.makedirs(logs)
        for s in services:
            text += (f"[program:{s.name}]\ncommand=/bin/sh -c \"exec {s.command}\"\n"
                     "autorestart=true\nstartsecs=0\nstartretries=1000\n")
            if s.log:
                text += (f"stdout_logfile={logs}/{s.name}.log\nstdout_logfile_maxbytes=0\n"
                         "stdout_logfile_backups=0\n")
            text += "\n"
        write_file(conf, text)
        return ["supervisord", "-n", "-c", conf], conf, ""
    # runit, s6 and daemontools: a scan directory of service directories with a run script.
    scan = os.path.join(d, "sv")
    os.makedirs(scan)
    for s in services:
        write_file(os.path.join(scan, s.name, "run"), f"#!/bin/sh\nexec {s.command}\n", 0o755)
        if not s.log:
            continue
        logdir = os.path.join(logs, s.name)
        os.makedirs(logdir)
        if kind == "runit":
            write_file(os.path.join(logdir, "config"), "s0\n")  # never rotate
            logger = f"svlogd {logdir}"
        elif kind == "s6":
            logger = f"s6-log s1000000000 {logdir}"
        else:
            logger = f"multilog s16777215 {logdir}"
        write_file(os.path.join(scan, s.name, "log", "run"), f"#!/bin/sh\nexec {logger}\n",
                   0o755)
    if kind == "runit":
        return ["runsvdir", scan], "", ""
    if kind == "s6":
        return ["s6-svscan", "-c", "4096", scan], "", ""
    return ["svscan", scan], "", ""


def start(bench, kind, name, services, restart_ms=None, reset_ms=None, wrap=False):
    bench.started += 1
    d = os.path.join(bench.scratch, f"{bench.started:03}-{name}")
    argv, conf, fifo = prepare(kind, d, services, restart_ms, reset_ms)
    if wrap:
        argv = syslog_wrap(bench, argv)
    proc = subprocess.Popen(argv, cwd=d, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    pid = proc.pid
    if kind == "kestord":
        pid = detached_pid(proc, os.path.join(d, "kestord.pid"))
    return Instance(kind, d, proc, pid, conf, fifo)


def detached_pid(proc, path, timeout=10.0):
    """The pid kestord writes into its pid file once it has detached. Its first process ends
    there, and the daemon, orphaned, comes to the bench."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(path) as f:
                text = f.read()
            if text:
                return int(text)
        except OSError:
            pass
        if proc.poll() not in (None, 0):
            break
        time.sleep(0.001)
    raise RuntimeError(f"kestord did not start (status {proc.poll()})")


def stop(inst):
    """Stops a supervisor the way its operator would, then makes sure by PID: svscan leaves
    its supervise processes running when it ends, and supervisord stops a few services a
    second, so theirs get SIGTERM each, as every process left over does after a grace."""
    pids = descendants([inst.pid])
    sig = signal.SIGHUP if inst.kind == "runit" else signal.SIGTERM
    kill_pids([inst.pid], sig)
    grace = 10.0 if inst.kind == "kestord" else 5.0
    if inst.kind in ("daemontools", "supervisor"):
        time.sleep(0.2)
        table = proc_table()
        kill_pids([p for p in descendants(pids, table) if alive(p, table)], signal.SIGTERM)
        grace = 2.0
    stop_pids(pids, grace)
    try:
        inst.proc.wait(timeout=1)
    except subprocess.TimeoutExpired:
        pass


def service_pids(root):
    """(supervisor processes, service processes) of the tree under root."""
    table = proc_table()
    sup, svc = [], []
    for pid in descendants([root], table):
        if not alive(pid, table):
            continue
        (svc if exe_name(pid) in SERVICE_EXES and pid != root else sup).append(pid)
    return sup, svc


def wait_services(root, count, timeout, exe="sleep"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        table = proc_table()
        n = sum(1 for p in descendants([root], table) if alive(p, table) and exe_name(p) == exe)
        if n >= count:
            return True
        time.sleep(0.05)
    return False


def pss_kib(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def switches(pid):
    """Context switches of every thread of pid so far."""
    total = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def restart_command(inst, name):
    if inst.kind == "runit":
        return ["sv", "restart", os.path.join(inst.dir, "sv", name)]
    if inst.kind == "s6":
        return ["s6-svc", "-r", os.path.join(inst.dir, "sv", name)]
    if inst.kind == "daemontools":
        return ["svc", "-t", os.path.join(inst.dir, "sv", name)]
    return ["supervisorctl", "-c", inst.conf, "restart", name]


def fifo_write(path, text, timeout=5.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError as e:
            if e.errno not in (errno.ENXIO, errno.ENOENT) or time.monotonic() > deadline:
                raise
            time.sleep(0.001)
    try:
        if text:
            os.write(fd, text.encode())
    finally:
        os.close(fd)


def peers(bench):
    return [k for k in SUPERVISORS[1:] if k in bench.have]


def failed(bench, kind, what):
    message = f"{kind}: {what}"
    say("bench: " + message)
    if kind in ("kestord", "onchange", "floor", "logger", "sink"):
        bench.errors.append(message)
    else:
        bench.notes.append(message)


# --- Launch floors ----------------------------------------------------------------------------


def launch(argv, count, vfork=False, options=()):
    """Runs the bare launcher, with its options: its start time and the first child's pid, or
    with several children the list of their pids. Its output goes through a file, since a pipe
    would stay open in the children it leaves running."""
    with tempfile.TemporaryFile(mode="w+") as out:
        subprocess.run([os.path.join(HELPERS, "launch")] + (["-v"] if vfork else []) +
                       list(options) + [str(count)] + argv, stdout=out, check=True)
        out.seek(0)
        values = [int(v) for v in out.read().split()]
    return values[0], values[1] if count == 1 else values[1:]


def floor_sample(bench, shell=True, vfork=False):
    """One run of the bare launcher: the time from its fork to the service's first instant,
    with the service run by /bin/sh as "exec stamp ..." or, without shell, exec'd directly."""
    name = ("floor" if shell else "floor-exec") + ("-v" if vfork else "")
    stamp = stamp_cmd(bench, name, once=not shell)
    argv = ["/bin/sh", "-c", "exec " + stamp] if shell else stamp.split()
    t0, pid = launch(argv, 1, vfork)
    got = wait_stamp(bench, name, 5.0)
    if shell:
        kill_pids([pid], signal.SIGKILL)
    reap_orphans()
    if got is None:
        failed(bench, "floor", "the bare launcher's service did not start")
        return None
    return (got[1] - t0) / 1e6



# --- Results ----------------------------------------------------------------------------------


def record(bench, row, column, value):
    bench.results[(row, column)] = value


def get(bench, row, column):
    return bench.results.get((row, column))


def best_peer(bench, row, pick=min, fn=lambda v: v):
    """The best figure among the peers for a row, or None."""
    vals = [fn(get(bench, row, k)) for k in SUPERVISORS[1:]
            if get(bench, row, k) is not None and not isinstance(get(bench, row, k), str)]
    vals = [v for v in vals if v is not None]
    return pick(vals) if vals else None


def median(v):
    return statistics.median(v) if v else None
