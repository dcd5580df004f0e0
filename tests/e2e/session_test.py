#!/usr/bin/env python3
"""Whole link sessions between two zavik-headless processes, each with its
own simulated console ("sim:..." as its serial port), over loopback UDP.

Each test plays both users through standard input and afterwards reads the
consoles' transcripts (log=PATH, written when a port closes) to see what each
console sent and received. What they measure (packets each way, datagrams the
relay dropped, mean ping) is printed.

Usage: session_test.py <path to zavik-headless> [unittest arguments]
"""
import hashlib
import os
import re
import select
import socket
import statistics
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import harness  # noqa: E402
from harness import (CLOSED, PING, START, STARTED, TIMEOUT, Headless, free_udp_port,  # noqa: E402
                     is_c_packet, is_end_marked, marked, read_transcript)

SLOW = 30.0  # seconds for a handshake and a whole transfer, sanitizers included

STARTED_TRANSFER = "**Transfer has started **\r\n"
FINISHED = "Transfer has finished.\r\n"
TIME_OUT = "No PlayStation packets received, time-out.\r\n"
PSX_LINE = re.compile(r"Psx sendflag (\d+) Bytes at port (\d+) CommErrors (\d+)\r\n")
OLD_PACKET = "WARN: old UDP packet received\r\n"


def report(text):
    print("  [measured] " + text, file=sys.stderr, flush=True)


def size_warning(size):
    """Logged once per transfer by the side whose console writes the eighth
    handshake step (a one-byte packet): it is read, and so the transfer has
    started, before it is sent, and its size is not the announced one."""
    return "WARN: Bad PlayStation packet size 1, expecting %d\r\n" % size


def warnings(log):
    return [line + "\r\n" for line in log.split("\r\n") if line.startswith("WARN: ")]


# A warning a peer can repeat is written at most five times a second; the rest
# of the second are counted in a line of their own: "WARN: <what> (<n> more times)".
REPEATS = re.compile(r"WARN: (.*) \((\d+) more times?\)\r\n")


def times_warned(log, warning):
    """How often a warning was given: its own lines and the repeats counted."""
    what = warning[len("WARN: "):].rstrip("\r\n").split(" (")[0]
    return log.count(warning) + sum(int(n) for w, n in REPEATS.findall(log) if w == what)


def repeats_of(warning):
    """The line that counts the repeats of a warning, as a pattern."""
    what = warning[len("WARN: "):].rstrip("\r\n").split(" (")[0]
    return re.compile(r"WARN: %s \(\d+ more times?\)\r\n" % re.escape(what))


def sent_and_received(sender, receiver):
    """What the sending console wrote, as the link passes it on (C-packets of
    the control phase marked), and what the receiving console got (fillers and
    incomplete packets left out)."""
    sent = [marked(r.data) if r.phase == "control" else r.data
            for r in sender if r.kind == "tx"]
    got = [r.data for r in receiver if r.kind == "rx"]
    return sent, got


def is_subsequence(short, long):
    it = iter(long)
    return all(any(x == y for y in it) for x in short)


class LossyRelay:
    """A UDP relay between two programs, for the tests: the caller connects to
    `port` and reaches the program at `target_port` through it.

    Of the data datagrams it drops some and holds some back until the next
    one in the same direction has gone (or 50 ms have passed), so those two
    arrive in reverse order. Which ones is decided by a hash of the seed, the
    direction and the console packet inside, so the same packets meet the same
    fate on every run. Transfer packets (`transfer_size` bytes) are dropped or
    held, C-packets (repeated while a console is idle) only dropped. The
    handshake steps and the packets that end a transfer always pass: losing
    one stalls both consoles until their 3 s give-up. Of the control datagrams
    only the first ConnectRequest is dropped; the caller repeats it after 2 s.
    """

    HOLD = 0.05

    def __init__(self, target_port, seed, transfer_size, drop=0.1, hold=0.1, drop_c=0.3):
        self.seed, self.size = seed, transfer_size
        self.drop, self.hold, self.drop_c = drop, hold, drop_c
        self.port = free_udp_port()
        self.near = self._socket(self.port)
        self.far = self._socket(free_udp_port())
        self.target = ("127.0.0.1", target_port)
        self.caller = None
        self.requests = 0
        self.dropped = {"A>B": [], "B>A": []}   # payloads, in order
        self.held = {"A>B": None, "B>A": None}  # (datagram, since)
        self.reordered = {"A>B": 0, "B>A": 0}
        self.forwarded = {"A>B": 0, "B>A": 0}
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @staticmethod
    def _socket(port):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", port))
        return s

    def close(self):
        self.stop.set()
        self.thread.join(TIMEOUT)
        self.near.close()
        self.far.close()

    def _chance(self, way, payload):
        h = hashlib.blake2b(way.encode() + self.seed.to_bytes(4, "little") + payload,
                            digest_size=8).digest()
        return int.from_bytes(h, "little") / 2.0 ** 64

    def _fate(self, way, datagram):
        kind = int.from_bytes(datagram[:4], "little") if len(datagram) >= 8 else 0
        if kind == 1:
            self.requests += 1
            return "drop" if self.requests == 1 else "pass"
        if kind != 4:
            return "pass"
        payload = datagram[8:]
        x = self._chance(way, payload)
        if len(payload) == self.size and not is_end_marked(payload):
            if x < self.drop:
                return "drop"
            if x < self.drop + self.hold:
                return "hold"
        elif is_c_packet(payload) and x < self.drop_c:
            return "drop"
        return "pass"

    def _send(self, way, datagram):
        if way == "A>B":
            self.far.sendto(datagram, self.target)
        elif self.caller is not None:
            self.near.sendto(datagram, self.caller)
        self.forwarded[way] += 1

    def _on(self, way, datagram):
        fate = self._fate(way, datagram)
        with self.lock:
            if fate == "drop":
                if len(datagram) > 8:
                    self.dropped[way].append(datagram[8:])
                return
            if fate == "hold" and self.held[way] is None:
                self.held[way] = (datagram, time.monotonic())
                return
            self._send(way, datagram)
            if self.held[way] is not None:
                self._send(way, self.held[way][0])
                self.held[way] = None
                self.reordered[way] += 1

    def _run(self):
        while not self.stop.is_set():
            ready, _, _ = select.select([self.near, self.far], [], [], 0.01)
            for s in ready:
                datagram, sender = s.recvfrom(2048)
                if s is self.near:
                    self.caller = sender
                    self._on("A>B", datagram)
                elif sender == self.target:
                    self._on("B>A", datagram)
            with self.lock:
                for way, held in self.held.items():
                    if held is not None and time.monotonic() - held[1] > self.HOLD:
                        self._send(way, held[0])
                        self.held[way] = None


class SessionTest(harness.ProgramsTest):
    # ---- helpers ----

    def two_programs(self, args=()):
        """Programs A and B, started, and a free UDP port for each."""
        a, b = (self.keep(Headless(name, args=args)) for name in "AB")
        for p in (a, b):
            p.wait_log(START)
        return a, b, free_udp_port(), free_udp_port()

    def path(self, name):
        return os.path.join(self.dir, name)

    def start_link(self, p, port, options, transcript):
        """Settings: the loopback address, the port, a simulated console."""
        mark = len(p.out)
        p.send("settings 127.0.0.1 %d sim:%s,times=1,log=%s" % (port, options, transcript))
        return p.wait_log(STARTED, mark)

    def wait_value(self, p, index, least, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            s = p.status()
            if s["values"][index] >= least:
                return s
            if time.monotonic() > deadline:
                self.fail("%s: counter %d stays below %d: %s" % (p.name, index, least, s))
            time.sleep(0.02)

    def connect(self, caller, listener, port, retries=0, stored=6, relay_port=None):
        """The listener listens, the caller connects once its console has
        stored a few C-packets (they then reach the listener's console in a
        burst, which its PC paces by its own console's frame period)."""
        self.wait_value(listener, 0, 1)  # the listener's console has spoken
        mark_l = len(listener.out)
        listener.send("click 1012")
        mark_l = listener.wait_log("Listening for connection ...", mark_l)
        stored = self.wait_value(caller, 2, stored)["values"][2]
        mark_c = len(caller.out)
        port = relay_port or port
        caller.send("connect 127.0.0.1 %d" % port)
        mark_c = caller.wait_log("Attempting to connect to 127.0.0.1:%d .%s.connected!\r\n"
                                 % (port, "." * retries), mark_c, timeout=TIMEOUT + 2.5 * retries)
        mark_l = listener.wait_log("connected!\r\n", mark_l)
        self.assertEqual(caller.status()["state"], "Connected")
        self.assertEqual(listener.status()["state"], "Connected")
        return mark_c, mark_l, stored

    def watch_transfer(self, sides):
        """Waits for the transfer to start and finish on every side (name ->
        (program, log mark)), sampling the counters meanwhile; returns each
        side's samples taken while its stage was 8, the new log marks, and each
        side's quiet status after it."""
        marks = {n: p.wait_log(STARTED_TRANSFER, m, timeout=SLOW) for n, (p, m) in sides.items()}
        samples = {n: [] for n in sides}
        deadline = time.monotonic() + SLOW
        while True:
            done = True
            for n, (p, _) in sides.items():
                if p.find_log(FINISHED, marks[n]) is None:
                    done = False
                    s = p.status()
                    if s["values"][8] == 8:
                        samples[n].append(s["values"])
            if done:
                break
            if time.monotonic() > deadline:
                self.fail("transfer not finished: " + ", ".join(
                    "%s:\n%s" % (n, p.log()) for n, (p, _) in sides.items()))
            time.sleep(0.03)
        marks = {n: p.wait_log(FINISHED, marks[n]) for n, (p, _) in sides.items()}
        return samples, marks, dict(zip(sides, self.quiet_status([p for p, _ in sides.values()])))

    def quiet_status(self, programs):
        """The counters of every program once nothing moves any more and the
        display has caught up (the consoles keep quiet after their transfers)."""
        deadline = time.monotonic() + SLOW
        last = None
        while True:
            now = [p.settled_status() for p in programs]
            values = [s["values"] for s in now]
            if values == last and all(s["shown"] == s["values"] for s in now):
                return now
            if time.monotonic() > deadline:
                self.fail("counters keep moving: %s" % now)
            last = values
            time.sleep(0.3)

    def check_delivery(self, name, sender, receiver, transfer_size, least):
        """Everything one console sent reached the other whole and in order,
        C-packets marked on the way; returns the transfer packets sent."""
        sent, got = sent_and_received(sender, receiver)
        self.assertEqual([r for r in receiver if r.kind == "part"], [], name)
        self.assertEqual(len(got), len(sent), name)
        for i, (s, g) in enumerate(zip(sent, got)):
            self.assertEqual(g.hex(), s.hex(), "%s: packet %d of %d" % (name, i, len(sent)))
        c_sent = [r.data for r in sender if r.kind == "tx" and is_c_packet(r.data)]
        c_got = [g for g in got if is_c_packet(g)]
        self.assertTrue(c_sent and all(c[4] == 0 for c in c_sent), name)
        self.assertTrue(c_got and all(c[4] == 1 for c in c_got),
                        "%s: C-packets arrive marked as having passed the link" % name)
        transfer = [r.data for r in sender if r.kind == "tx" and r.phase == "transfer"]
        self.assertGreaterEqual(len(transfer), least, name)
        self.assertTrue(all(len(t) == transfer_size for t in transfer), name)
        self.assertEqual(sum(map(is_end_marked, transfer)), 1, name)
        return transfer

    def check_pacing(self, name, receiver, burst):
        """The first `burst` packets a console received came in together from
        the peer: its PC wrote them one frame period (16 ms, its own console's)
        apart, not 20 (the other console's, and the program's start-up value).
        Gaps around a packet of its own console are left out: a packet read
        lets the next write go at once. That packet may also have been written
        just before a write and read only after it (on a busy machine), so a
        gap that begins less than a frame period after it is left out too."""
        gaps, taken, previous, last_tx = [], 0, None, None
        for r in receiver:
            if r.kind == "tx":
                previous, last_tx = None, r.ms
            elif r.kind == "rx":
                if taken == burst:
                    break
                if previous is not None and (last_tx is None or previous - last_tx >= 16.0):
                    gaps.append(r.ms - previous)
                previous = r.ms
                taken += 1
        self.assertGreaterEqual(len(gaps), 2, "%s: %s" % (name, receiver[:12]))
        report("%s: writes of a burst paced %s ms apart" % (name, ", ".join("%.1f" % g for g in gaps)))
        # One late read on the console's side shortens the gap after it, so
        # the floor is checked on the mean, not on each gap.
        self.assertGreaterEqual(statistics.mean(gaps), 14.0, name)
        self.assertLess(statistics.median(gaps), 19.0, name)

    def disconnect(self, caller, other, marks):
        """The caller clicks Disconnect; both sides say the link is over."""
        caller.send("click 1060")
        caller.wait_log("Sending disconnect packet...disconnected\r\n", marks[caller.name])
        other.wait_log("Disconnect packet received...disconnected\r\n", marks[other.name])

    def whole_link(self, tag, size, connector, listener):
        """Settings on both sides, the connector's console starting a transfer,
        the link checked, then the connector disconnects. Each side is
        (program, UDP port, console options, transcript). Returns the burst of
        stored packets the listener's console was written on connecting."""
        (c, c_port, c_options, c_file), (l, l_port, l_options, l_file) = connector, listener
        self.start_link(c, c_port, c_options, c_file)
        self.start_link(l, l_port, l_options, l_file)
        mark_c, mark_l, burst = self.connect(c, l, l_port)
        sides = {c.name: (c, mark_c), l.name: (l, mark_l)}
        samples, marks, statuses = self.watch_transfer(sides)
        try:
            self.check_link(tag, size, samples, statuses, answerer=l.name)
        except AssertionError as e:
            logged = ["%s: %s" % (p.name, w.rstrip()) for p in (c, l) for w in warnings(p.log())]
            raise AssertionError("%s\nwarnings logged:\n%s" % (e, "\n".join(logged))) from None
        self.disconnect(c, l, marks)
        return burst

    # ---- tests ----

    def test_two_links_each_with_a_whole_transfer(self):
        a, b, port_a, port_b = self.two_programs()

        # Link 1: A's console starts a transfer of 8-byte packets (read, then
        # write), frame 20; B's answers, frame 16. B listens, A connects. The
        # connecting side's console says hello every 120 ms: its C-packets fill
        # the 31 places of the ring 3 s after the connect is begun, time enough
        # for a connect on a busy machine.
        a1, b1 = self.path("a1.txt"), self.path("b1.txt")
        burst_b = self.whole_link(
            "link 1 (8-byte packets)", 8, (a, port_a, "start=1,size=8,packets=60,frame=20,hello=120,seed=11", a1),
            (b, port_b, "start=0,packets=55,frame=16,hello=300,seed=12", b1))

        # A disconnected; both are idle with their counters cleared.
        for p in (a, b):
            s = p.settled_status()
            self.assertEqual(s["state"], "Idle")
            self.assertEqual(s["values"], [0] * 10)
            self.assertEqual(s["settings"], "Settings...:1036:1")

        # Link 2, on new settings (the first consoles are closed and leave
        # their transcripts): B's console starts a transfer of 12-byte packets
        # (write, then read, with fillers), frame 20; A's answers, frame 16.
        # A listens, B connects.
        a2, b2 = self.path("a2.txt"), self.path("b2.txt")
        burst_a = self.whole_link(
            "link 2 (12-byte packets)", 12, (b, port_b, "start=1,size=12,packets=30,frame=20,hello=120,seed=22", b2),
            (a, port_a, "start=0,packets=25,frame=16,hello=300,seed=21", a2))
        for p in (a, b):
            self.assertEqual(p.close(), 0)
            self.assertRegex(p.log(), CLOSED + r"\Z")
            self.assertEqual([e for e in p.events if not e.startswith("status ")], [])

        # The logs: each link once through its steps, and no warning but the
        # one of each transfer on the answering side.
        for p, answer_size in ((a, 12), (b, 8)):
            log = p.log()
            self.assertEqual(log.count(STARTED_TRANSFER), 2, p.name)
            self.assertEqual(log.count(FINISHED), 2, p.name)
            self.assertEqual(log.count("PlayStation RTS line high\r\n"), 2, p.name)
            self.assertEqual(warnings(log), [size_warning(answer_size)], p.name)
            self.assertNotIn(TIME_OUT, log)
            self.assertEqual(log.count("Listening for connection ...connected!\r\n"), 1, p.name)

        # The consoles' side of it.
        for tag, (ta, tb), size, least, (burst_name, burst_rx, burst) in (
                ("link 1", (a1, b1), 8, 50, ("link 1, B", b1, burst_b)),
                ("link 2", (a2, b2), 12, 25, ("link 2, A", a2, burst_a))):
            ra, rb = read_transcript(ta), read_transcript(tb)
            sent_ab = self.check_delivery(tag + " A to B", ra, rb, size, least)
            sent_ba = self.check_delivery(tag + " B to A", rb, ra, size, least)
            fills_a = sum(r.kind == "fill" for r in ra)
            fills_b = sum(r.kind == "fill" for r in rb)
            report("%s: %d-byte transfer packets A to B %d, B to A %d; fillers written to "
                   "console A %d, to console B %d"
                   % (tag, size, len(sent_ab), len(sent_ba), fills_a, fills_b))
            if size <= 8:
                self.assertEqual(fills_a + fills_b, 0, tag)
            else:
                # Console A (frame 16) asks for a packet every 16 ms, console
                # B's come every 20 ms: its PC often has nothing yet and writes
                # a filler. Console B has packets waiting at almost every turn.
                self.assertGreaterEqual(fills_a, 1, tag)
            self.check_pacing(burst_name, read_transcript(burst_rx), burst)

    def test_through_a_lossy_relay(self):
        # Without recovery: the datagrams the relay drops are lost for good.
        a, b, port_a, port_b = self.two_programs(args=["--no-recovery"])
        relay = LossyRelay(port_b, seed=7, transfer_size=12)
        self.addCleanup(relay.close)
        ta, tb = self.path("a.txt"), self.path("b.txt")
        self.start_link(a, port_a, "start=1,size=12,packets=80,frame=16,hello=200,seed=31", ta)
        self.start_link(b, port_b, "start=0,packets=80,frame=16,hello=300,seed=32", tb)
        # The first ConnectRequest is lost: one retry, one more dot.
        mark_a, mark_b, _ = self.connect(a, b, port_b, retries=1, stored=1,
                                         relay_port=relay.port)
        samples, marks, status = self.watch_transfer({"A": (a, mark_a), "B": (b, mark_b)})
        self.disconnect(a, b, marks)
        for p in (a, b):
            self.assertEqual(p.close(), 0)
        relay.close()

        logs = {"A": a.log(), "B": b.log()}
        records = {"A": read_transcript(ta), "B": read_transcript(tb)}
        for x, y, way in (("A", "B", "A>B"), ("B", "A", "B>A")):
            sent, got = sent_and_received(records[x], records[y])
            dropped = relay.dropped[way]
            # What the relay let through, in the order it was sent.
            passed, left = [], list(dropped)
            for packet in sent:
                if left and packet == left[0]:
                    left.pop(0)
                else:
                    passed.append(packet)
            self.assertEqual(left, [], "%s: every dropped packet is one %s sent" % (way, x))
            # A packet held back may come after the next one has gone to the
            # console: it is then too old and thrown away, with a warning.
            old = times_warned(logs[y], OLD_PACKET)
            self.assertTrue(is_subsequence(got, passed),
                            "%s: console %s got only packets %s sent, whole and in order" % (way, y, x))
            self.assertEqual(len(passed) - len(got), old, way)
            transfer_dropped = sum(len(d) == 12 for d in dropped)
            self.assertGreaterEqual(transfer_dropped, 1, way)
            self.assertGreaterEqual(relay.reordered[way], 1, way)
            self.assertEqual(sum(r.kind == "part" for r in records[y]), 0)
            # The gaps are stepped over: every number was passed, the last
            # packet delivered; what was received is what came through.
            v, w = status[x]["values"], status[y]["values"]
            self.assertEqual(v[2], 0)
            self.assertEqual(w[4], v[1], "%s: %s stepped over every gap" % (way, y))
            self.assertEqual(w[3], v[1] - len(dropped) - old, way)
            self.assertEqual(w[5], 0)
            # Where a packet is missing when console y asks, its PC writes a
            # filler; where the next one is there already, it is written.
            fills = sum(r.kind == "fill" for r in records[y])
            report("lossy relay %s: %d packets sent, %d datagrams dropped (%d transfer packets), "
                   "%d reordered, %d too late at %s, %d fillers to console %s"
                   % (way, v[1], len(dropped), transfer_dropped, relay.reordered[way],
                      old, y, fills, y))
        for name in "AB":
            ping = samples[name][-1][PING]
            report("lossy relay, side %s: mean ping %d ms" % (name, ping))
            expected = [size_warning(12)] if name == "B" else []
            self.assertEqual([w for w in warnings(logs[name])
                              if w != OLD_PACKET and not repeats_of(OLD_PACKET).match(w)],
                             expected, name)
            self.assertEqual(logs[name].count(FINISHED), 1)
            self.assertNotIn(TIME_OUT, logs[name])

    def test_a_console_that_falls_silent_and_comes_back(self):
        a, b, port_a, port_b = self.two_programs()
        ta, tb = self.path("a.txt"), self.path("b.txt")
        # A's console falls silent after its 10th packet and is back 4 s later,
        # once both sides have given up on the transfer.
        self.start_link(a, port_a, "start=1,size=8,packets=30,frame=16,hello=200,"
                        "silent=10,pause=4000,transfers=2,seed=41", ta)
        self.start_link(b, port_b, "start=0,packets=20,frame=16,hello=200,transfers=2,seed=42", tb)
        mark_a, mark_b, _ = self.connect(a, b, port_b, stored=1)
        mark_a = a.wait_log(STARTED_TRANSFER, mark_a, timeout=SLOW)
        mark_b = b.wait_log(STARTED_TRANSFER, mark_b, timeout=SLOW)

        # A side times out when its stage is not 0 and its console was last
        # read more than 3 s ago. A's console went quiet; B's sent all its
        # packets and then has nothing more to send: both time out, A first.
        psx = {}
        for p, mark in ((a, mark_a), (b, mark_b)):
            at = p.wait_log(TIME_OUT, mark, timeout=SLOW)
            p.wait_log("\r\n", at)  # the next line, whole
            line = PSX_LINE.match(p.log(), at)
            self.assertIsNotNone(line, "%s: %r" % (p.name, p.log()[at:at + 80]))
            psx[p.name] = [int(v) for v in line.groups()]
            s = p.status()
            self.assertEqual(s["state"], "Connected")
            self.assertEqual(s["values"][7:9], [0, 0], "%s: reset" % p.name)
        # A: the last packet its console sent was read and answered (send flag
        # 0); nothing waits at its port. B: its console signalled, nothing
        # came from A to answer it with (send flag 1).
        self.assertEqual(psx["A"], [0, 0, 0])
        self.assertEqual(psx["B"][0], 1)
        self.assertEqual(psx["B"][2], 0)
        report("silent console: time-out lines A %s, B %s" % (psx["A"], psx["B"]))

        # Back: a new handshake and a whole transfer.
        samples, marks, status = self.watch_transfer({"A": (a, mark_a), "B": (b, mark_b)})
        self.disconnect(a, b, marks)
        for p in (a, b):
            self.assertEqual(p.close(), 0)
            log = p.log()
            self.assertEqual(log.count(TIME_OUT), 1, p.name)
            self.assertEqual(len(PSX_LINE.findall(log)), 1, p.name)
            self.assertEqual(log.count(STARTED_TRANSFER), 2, p.name)
            self.assertEqual(log.count(FINISHED), 1, p.name)
        self.assertEqual(warnings(a.log()), [])
        self.assertEqual(warnings(b.log()), [size_warning(8)] * 2)

        ra, rb = read_transcript(ta), read_transcript(tb)

        def transfer_packets(records, kind, transfer):
            return [r.data for r in records
                    if r.kind == kind and r.transfer == transfer and r.phase == "transfer"]
        # First transfer: A's ten packets reached console B, whole and in order.
        a1, b1 = transfer_packets(ra, "tx", 1), transfer_packets(rb, "tx", 1)
        self.assertEqual(len(a1), 10)
        self.assertEqual(len(b1), 20)
        self.assertEqual(transfer_packets(rb, "rx", 1), a1)
        self.assertEqual(transfer_packets(ra, "rx", 1)[:9], b1[:9], "B's packets up to A's silence")
        # Second transfer: everything, both ways.
        for x, y, rx_, ry in (("A", "B", ra, rb), ("B", "A", rb, ra)):
            sent, got = transfer_packets(rx_, "tx", 2), transfer_packets(ry, "rx", 2)
            self.assertEqual(got, sent, "%s to %s" % (x, y))
            self.assertEqual(len(sent), 30 if x == "A" else 20)
            v, w = status[x]["values"], status[y]["values"]
            self.assertEqual(w[4], v[1])
            report("silent console, after the new handshake: packets %s to %s %d, mean ping "
                   "%d ms" % (x, y, v[1], samples[x][-1][PING]))

    def check_link(self, tag, size, samples, status, answerer):
        """Counters during and after one link's transfer."""
        for name in ("A", "B"):
            s = samples[name]
            self.assertTrue(s, "%s %s: no sample during the transfer" % (tag, name))
            self.assertTrue(all(v[7] == size for v in s), tag)
            # The size warning is the one error of the transfer; it is counted on
            # the answering side until the finish clears the count.
            self.assertEqual(s[-1][9], 1 if name == answerer else 0, "%s %s" % (tag, name))
            self.assertLessEqual(max(v[9] for v in s), 1, tag)
            ping = s[-1][PING]
            self.assertLess(ping, 2000, tag)
            report("%s, side %s: mean ping %d ms (the last count shown before the finish)"
                   % (tag, name, ping))
        for name, peer in (("A", "B"), ("B", "A")):
            v, w = status[name]["values"], status[peer]["values"]
            self.assertEqual(v[2], 0, "%s %s: nothing left to send" % (tag, name))
            self.assertEqual(v[1], v[0], tag)
            self.assertEqual(w[3], v[1], "%s: %s received all %s sent" % (tag, peer, name))
            self.assertEqual(w[4], v[1], "%s: %s delivered all %s sent" % (tag, peer, name))
            self.assertEqual(w[5], 0, tag)
            # The finish cleared errors and ping; size and stage are back to 0.
            # With loss recovery the copies that follow the finish measure the
            # ping again: the round trip of loopback.
            self.assertEqual(v[7:], [0, 0, 0], "%s %s" % (tag, name))
            self.assertLess(v[6], 50, "%s %s" % (tag, name))
            report("%s: packets %s to %s: %d" % (tag, name, peer, v[1]))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    harness.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
