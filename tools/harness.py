"""Helpers for driving zavik-headless from Python: a running program with its
log and event lines, free loopback ports, console packets, and the simulated
console's transcripts.

Standard library only. Used by tools/demo.py and by the end-to-end tests.
"""
import os
import random
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BINARY = None   # path of zavik-headless; set by the caller
TIMEOUT = 10.0  # seconds for any one expected event

START = "Initializing  WinSock...success\r\nInitializing packet event...success\r\n"
STARTED = "Starting port thread...success\r\n"
# Shutdown closes the socket, then the port; the port thread, told to stop
# first, may say so before the port is closed.
CLOSED = r"Closing socket\r\n(Port thread closed\r\n)?Closing serial port\r\n"

# The ten counters of "status", in the display's order.
COUNTERS = ("local_received", "local_sent", "local_stored", "remote_received",
            "remote_sent", "remote_stored", "ping", "size", "stage", "errors")
PING = COUNTERS.index("ping")


class Headless:
    """One running zavik-headless: its log (stdout) and its event lines (stderr)."""

    def __init__(self, name, binary=None, on_output=None, args=()):
        """binary: the program's path, or a whole command (a list) that speaks
        the same interface, such as zavik_driver.exe under Wine; args follow it."""
        self.name = name
        command = binary or BINARY
        command = command if isinstance(command, list) else [command]
        self.proc = subprocess.Popen(command + list(args),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.out = b""
        self.events = []
        self.events_seen = 0  # events already consumed by wait_event
        self.on_output = on_output  # called with each chunk of the log, on a reader thread
        self.cond = threading.Condition()
        self.readers = [threading.Thread(target=self._read_out, daemon=True),
                        threading.Thread(target=self._read_err, daemon=True)]
        for r in self.readers:
            r.start()

    def _read_out(self):
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                break
            with self.cond:
                self.out += chunk
                self.cond.notify_all()
            if self.on_output is not None:
                self.on_output(self, chunk)

    def _read_err(self):
        for line in self.proc.stderr:
            with self.cond:
                self.events.append(line.decode("latin-1").rstrip("\n"))
                self.cond.notify_all()

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def log(self):
        with self.cond:
            return self.out.decode("latin-1")

    def find_log(self, text, start=0):
        """Where text ends in the log at or after start, or None."""
        with self.cond:
            at = self.out.find(text.encode("latin-1"), start)
        return None if at < 0 else at + len(text)

    def wait_log(self, text, start=0, timeout=TIMEOUT):
        """Waits until text (or a compiled pattern) appears in the log at or
        after start; returns the end of the match."""
        pattern = text if hasattr(text, "search") else re.compile(re.escape(text))
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                match = pattern.search(self.out.decode("latin-1"), start)
                if match:
                    return match.end()
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("%s: %r not logged; log so far:\n%s"
                                         % (self.name, text, self.out.decode("latin-1")))
                self.cond.wait(left)

    def wait_event(self, prefix, timeout=TIMEOUT):
        """Waits for the next event line that has not been taken yet; it must start with prefix."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.events) <= self.events_seen:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("%s: no event line, wanted %r" % (self.name, prefix))
                self.cond.wait(left)
            line = self.events[self.events_seen]
            self.events_seen += 1
        if not line.startswith(prefix):
            raise AssertionError("%s: event %r, wanted %r" % (self.name, line, prefix))
        return line

    def status(self):
        self.send("status")
        line = self.wait_event("status ")
        fields = dict(word.split("=", 1) for word in line.split()[1:])
        for key in ("shown", "values"):
            fields[key] = [int(v) for v in fields[key].split(",")]
        return fields

    def settled_status(self, timeout=TIMEOUT):
        """The status once the shown counters have caught up with their values."""
        deadline = time.monotonic() + timeout
        while True:
            s = self.status()
            if s["shown"] == s["values"] or time.monotonic() > deadline:
                return s
            time.sleep(0.05)

    def close(self, timeout=TIMEOUT):
        self.send("close")
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=TIMEOUT):
        code = self.proc.wait(timeout)
        for r in self.readers:
            r.join(timeout)
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for r in self.readers:
            r.join(TIMEOUT)
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                if f is not None:
                    f.close()
            except OSError:
                pass


class ProgramsTest(unittest.TestCase):
    """A test case whose programs (kept with keep) are killed, and whose
    scratch directory self.dir is removed, when each test ends."""

    def setUp(self):
        self.programs = []
        self.dir = tempfile.mkdtemp(prefix="zavik_%s_" % type(self).__name__)

    def tearDown(self):
        for p in self.programs:
            p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def keep(self, p):
        self.programs.append(p)
        return p


def free_udp_port():
    """A loopback UDP port that is free now, within the 1..49999 the program accepts."""
    for _ in range(200):
        port = random.randint(20000, 49999)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise AssertionError("no free UDP port")


def control_packet(kind, b3=0, b4=0, b5=0):
    body = bytes([0xFD, kind, 0, b3, b4, b5, 0])
    return body + bytes([sum(body) & 0xFF])


def is_c_packet(p):
    return len(p) == 8 and p[0] == 0xFD and p[1] == 0x43 and sum(p[:7]) & 0xFF == p[7]


def marked(p):
    """A C-packet as the link passes it on: byte 4 set to 1, checksum raised by 1."""
    if is_c_packet(p) and p[4] == 0:
        q = bytearray(p)
        q[4] = 1
        q[7] = (q[7] + 1) & 0xFF
        return bytes(q)
    return p


def is_end_marked(p):
    return len(p) >= 2 and p[-2] & 0x0F == 2 and sum(p[:-1]) & 0xFF == p[-1]


class Record:
    """One line of a simulated console's transcript."""

    def __init__(self, kind, data, ms, phase, transfer):
        self.kind = kind          # "tx", "rx", "fill" or "part"
        self.data = data          # the packet's bytes
        self.ms = ms              # when (times=1), else None
        self.phase = phase        # "control" or "transfer", as the console saw it
        self.transfer = transfer  # transfers the console had begun by then (0 before the first)

    def __repr__(self):
        return "%s %s%s" % (self.kind, self.data.hex(" ").upper(),
                            "" if self.ms is None else " @%.3f" % self.ms)


def read_transcript(path):
    """The packets of a transcript (log=PATH), with their phase; 'dropped' lines fail."""
    records = []
    phase, transfer = "control", 0
    with open(path, encoding="ascii") as f:
        lines = f.read().splitlines()
    for line in lines[1:]:
        ms = None
        at = line.rfind(" @")
        if at >= 0:
            ms = float(line[at + 2:])
            line = line[:at]
        words = line.split()
        if words[0] == "phase":
            phase = words[1]
            if phase == "transfer":
                transfer += 1
        elif words[0] == "dropped":
            raise AssertionError("%s: transcript records dropped: %s" % (path, line))
        else:
            records.append(Record(words[0], bytes(int(w, 16) for w in words[1:]), ms,
                                  phase, transfer))
    return records
