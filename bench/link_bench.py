#!/usr/bin/env python3
"""Zavik's link benchmark: two zavik-headless on this machine, linked over
loopback, each with a silent console; run for two builds of the program (the
"before" and "after" revisions) in the same run, on the same machine.

1. Idle: the link connected, both consoles silent. Processor time of each
   process (utime + stime of /proc/<pid>/stat) over --seconds, as a percentage
   of one core.
2. Burst: side A's console (a pseudo-terminal this script writes to) sends
   bursts of 8-byte packets; side B's console is silent, so B writes them to it
   paced by the frame rule (20 ms after the last write, on the program's 1 ms
   clock). B notes each console write (ZAVIK_WRITE_TIMES; only in the
   benchmark's build, zavik-headless-timed): the time it began
   and the lastWriteTime it was paced from. Lateness of a paced write = its
   start minus the moment the rule first allowed it (the millisecond clock
   reaching lastWriteTime + 20); below 0 would be a write before the rule.
3. Relay: side A's console sends single 8-byte packets, 50 ms apart; the time
   from its write to the moment the last byte reaches B's console, both
   consoles pseudo-terminals, with loss recovery on and with it switched off
   (--no-recovery on both sides), in four alternating rounds of the same run.

Each with side B's console (and A's in the idle case) a pseudo-terminal and the
simulated console (sim:hello=0,transfers=0,frame=20: one greeting at open, then silent).

    bench/link_bench.py [--before REV] [--after REV] [--seconds S]
    bench/link_bench.py --binary build/native/bin/zavik-headless-timed --smoke

Each revision is checked out with `git worktree add` under --work (default
/tmp/zavik-bench) and zavik-headless (zavik-headless-timed where it exists)
built there (RelWithDebInfo, without the GTK window); the worktrees are
removed at the end, the builds kept for the next run. --before defaults to the commit that added the write times (the first that
both builds can measure), --after to HEAD. --smoke runs one short round of each
measurement against --binary and checks only that they give figures.
"""
import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import harness  # noqa: E402

FRAME_MS = 20
SIM_SILENT = "sim:hello=0,transfers=0,frame=20"
TICKS = os.sysconf("SC_CLK_TCK")


def git(*args, cwd=ROOT):
    return subprocess.check_output(["git"] + list(args), cwd=cwd, text=True).strip()


def build(rev, work):
    """zavik-headless of rev, built under work; its path. Where the record of
    write times is the benchmark's own (bench/write_times.cpp), the program
    that links it, zavik-headless-timed."""
    sha = git("rev-parse", "--short=12", rev + "^{commit}")
    src = os.path.join(work, "src-" + sha)
    out = os.path.join(work, "build-" + sha)
    timed = subprocess.call(["git", "cat-file", "-e", sha + ":bench/write_times.cpp"],
                            cwd=ROOT, stderr=subprocess.DEVNULL) == 0
    target = "zavik-headless-timed" if timed else "zavik-headless"
    binary = os.path.join(out, "bin", target)
    if os.path.exists(binary):
        return sha, binary
    if os.path.exists(src):
        git("worktree", "remove", "--force", src)
    git("worktree", "add", "--detach", src, sha)
    try:
        subprocess.check_call(["nice", "cmake", "-S", src, "-B", out, "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DZAVIK_GTK=OFF"],
                              stdout=subprocess.DEVNULL)
        subprocess.check_call(["nice", "cmake", "--build", out, "-j2", "--target",
                               target], stdout=subprocess.DEVNULL)
    finally:
        git("worktree", "remove", "--force", src)
    return sha, binary


class Pty:
    """A pseudo-terminal console: the program opens its slave; this end writes
    what the console sends and takes (and drops) what the program writes."""

    def __init__(self):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)
        self.done = False
        self.got = 0  # bytes the program wrote, and when the count last grew
        self.got_at = 0
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        while not self.done:
            try:
                data = os.read(self.master, 4096)
                if not data:
                    return
                with self.cond:
                    self.got += len(data)
                    self.got_at = time.monotonic_ns()
                    self.cond.notify_all()
            except OSError:
                time.sleep(0.01)  # no slave open yet, or already closed

    def write(self, data):
        os.write(self.master, data)

    def wait_for(self, count, timeout=5.0):
        """When the program had written count bytes in all (monotonic ns)."""
        with self.cond:
            if not self.cond.wait_for(lambda: self.got >= count, timeout):
                raise AssertionError("%d of %d bytes reached the console" % (self.got, count))
            return self.got_at

    def close(self):
        self.done = True
        os.close(self.master)


def console(kind):
    """(the Settings serial field, the pseudo-terminal or None)."""
    if kind == "sim":
        return SIM_SILENT, None
    pty = Pty()
    return pty.path, pty


def link(binary, line_a, line_b, env_b=None, args=()):
    """Two linked programs: A listens, B connects. (a, b)."""
    port_a, port_b = harness.free_udp_port(), harness.free_udp_port()
    a = harness.Headless("A", binary, args=args)
    saved = dict(os.environ)
    try:
        os.environ.update(env_b or {})
        b = harness.Headless("B", binary, args=args)
    finally:
        os.environ.clear()
        os.environ.update(saved)
    a.send("settings 127.0.0.1 %d %s" % (port_a, line_a))
    b.send("settings 127.0.0.1 %d %s" % (port_b, line_b))
    a.wait_log(harness.STARTED)
    b.wait_log(harness.STARTED)
    a.send("click 1012")
    a.wait_log("Listening for connection ...")
    b.send("connect 127.0.0.1 %d" % port_a)
    b.wait_log("connected!\r\n")
    a.wait_log("connected!\r\n")
    return a, b


def cpu_seconds(pid):
    """(utime + stime of /proc/<pid>/stat, in clock ticks; the run time of all
    its threads from their schedstat, in nanoseconds), both in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ns = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                ns += int(f.read().split()[0])
        except OSError:
            pass  # a thread that has just ended
    return (int(fields[11]) + int(fields[12])) / TICKS, ns / 1e9


@contextlib.contextmanager
def linked(binary, line_a, line_b, ptys, env_b=None, args=()):
    """The two linked programs (a, b) for the with block, which they must
    leave by exiting with 0; killed, and the pseudo-terminals closed, however
    it ends."""
    a = b = None
    try:
        a, b = link(binary, line_a, line_b, env_b, args)
        yield a, b
        for p in (a, b):
            if p.close() != 0:
                raise AssertionError("%s did not exit with 0" % p.name)
    finally:
        for p in (a, b):
            if p is not None:
                p.kill()
        for pty in ptys:
            if pty is not None:
                pty.close()


def idle_cpu(binary, kind, seconds):
    """Percent of one core used by A and by B, connected, consoles silent."""
    line_a, pty_a = console(kind)
    line_b, pty_b = console(kind)
    with linked(binary, line_a, line_b, (pty_a, pty_b)) as (a, b):
        time.sleep(1.0)  # the greetings and the first refreshes
        start = [cpu_seconds(p.proc.pid) for p in (a, b)]
        t0 = time.monotonic()
        time.sleep(seconds)
        wall = time.monotonic() - t0
        used = [[now - then for now, then in zip(cpu_seconds(p.proc.pid), s)]
                for p, s in zip((a, b), start)]
    return [[100.0 * u / wall for u in side] for side in used]


def burst_lateness(binary, kind, bursts, packets):
    """Lateness in ms of B's paced console writes: a list."""
    pty_a = Pty()
    line_b, pty_b = console(kind)
    fd, times_path = tempfile.mkstemp(prefix="zavik-write-times-")
    os.close(fd)
    try:
        with linked(binary, pty_a.path, line_b, (pty_a, pty_b),
                    {"ZAVIK_WRITE_TIMES": times_path}) as (a, b):
            time.sleep(0.5)  # the simulated console's greeting is read
            for n in range(bursts):
                data = b"".join(bytes([0x10 + n, i, 1, 2, 3, 4, 5, 6]) for i in range(packets))
                pty_a.write(data)
                time.sleep(packets * FRAME_MS / 1000.0 + 0.5)
        with open(times_path) as f:
            writes = [tuple(int(v) for v in line.split()) for line in f if line.strip()]
    finally:
        os.unlink(times_path)
    late = []
    for ns, last_write in writes:
        ms = ns // 1000000
        # the 64-bit millisecond at which the clock (32 bits of it) reads
        # lastWriteTime + the frame period
        diff = (ms - (last_write + FRAME_MS)) & 0xFFFFFFFF
        if diff >= 0x80000000:
            diff -= 1 << 32
        allowed_ms = ms - diff
        lateness = (ns - allowed_ms * 1000000) / 1e6
        if lateness < 100:  # paced by the rule, not a packet that came later
            late.append(lateness)
    expected = bursts * (packets - 1)
    if len(late) < expected:
        raise AssertionError("%d paced writes seen, %d expected" % (len(late), expected))
    return late


def relay_latency(binary, packets, recovery):
    """Milliseconds from A's console writing a packet to B's console having it."""
    pty_a, pty_b = Pty(), Pty()
    args = () if recovery else ("--no-recovery",)
    took = []
    with linked(binary, pty_a.path, pty_b.path, (pty_a, pty_b), args=args) as (a, b):
        if recovery:
            for p in (a, b):
                p.wait_log("Loss recovery on\r\n")
        time.sleep(0.2)
        for n in range(packets):
            expected = pty_b.got + 8
            sent = time.monotonic_ns()
            pty_a.write(bytes([0x30, n & 0xFF, 1, 2, 3, 4, 5, 6]))
            took.append((pty_b.wait_for(expected) - sent) / 1e6)
            time.sleep(0.05)  # past the frame rule: B writes at once
    return took


def summary(late):
    return "min %6.3f  median %6.3f  max %6.3f ms  (%d writes)" % (
        min(late), statistics.median(late), max(late), len(late))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--before", help="revision measured first (default: the write times' commit)")
    ap.add_argument("--after", default="HEAD")
    ap.add_argument("--seconds", type=float, default=10.0, help="idle measurement (10)")
    ap.add_argument("--bursts", type=int, default=5)
    ap.add_argument("--packets", type=int, default=24, help="packets per burst (24)")
    ap.add_argument("--relays", type=int, default=400, help="packets relayed each way (400)")
    ap.add_argument("--work", default="/tmp/zavik-bench")
    ap.add_argument("--binary", help="measure this zavik-headless only")
    ap.add_argument("--smoke", action="store_true", help="one short round, figures not judged")
    args = ap.parse_args()
    if args.smoke:
        args.seconds, args.bursts, args.packets, args.relays = 1.0, 1, 4, 10

    if args.binary:
        builds = [("given", os.path.abspath(args.binary))]
    else:
        before = args.before or git("log", "--format=%H", "--reverse", "--",
                                    "src/serial/posix/write_times_posix.cpp").split("\n")[0]
        os.makedirs(args.work, exist_ok=True)
        builds = [("before", build(before, args.work)), ("after", build(args.after, args.work))]
        builds = [(name + " " + sha, binary) for name, (sha, binary) in builds]

    harness.TIMEOUT = 20.0
    print("machine: %d cores, load %.2f %.2f %.2f" % ((os.cpu_count(),) + os.getloadavg()))
    kinds = ["pty"] if args.smoke else ["pty", "sim"]
    for name, binary in builds:
        print("\n== %s (%s)" % (name, binary))
        for kind in kinds:
            a, b = idle_cpu(binary, kind, args.seconds)
            print("idle, %-3s console: A %.2f%%  B %.2f%% of a core over %.0f s "
                  "(/proc stat; schedstat: A %.3f%%  B %.3f%%)"
                  % (kind, a[0], b[0], args.seconds, a[1], b[1]))
        for kind in kinds:
            late = burst_lateness(binary, kind, args.bursts, args.packets)
            print("burst, %-3s console: lateness of paced writes %s" % (kind, summary(late)))
            if min(late) < 0:
                print("  WRITE BEFORE THE RULE ALLOWED IT")
        if subprocess.run([binary, "--no-recovery"], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=20).returncode != 0:
            print("relay: this build has no loss recovery to compare")
            continue
        # In alternating rounds, so that a change in the machine's load falls on both.
        took = {True: [], False: []}
        rounds = 1 if args.smoke else 4
        for _ in range(rounds):
            for recovery in (True, False):
                took[recovery] += relay_latency(binary, args.relays // rounds, recovery)
        medians = {}
        for recovery in (True, False):
            medians[recovery] = statistics.median(took[recovery])
            print("relay, recovery %-3s: console to console %s"
                  % ("on" if recovery else "off",
                     summary(took[recovery]).replace("writes", "packets")))
        print("relay: median with recovery on minus off: %+.3f ms"
              % (medians[True] - medians[False]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
