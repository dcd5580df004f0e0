#!/usr/bin/env python3
"""Whole link sessions across routed networks: two homes, each behind its own
NAT router, joined by a public link (netbed.sh), a zavik-headless with a
simulated console in each home.

Every scenario builds a fresh bed, so no router remembers an earlier one, and
plays a whole session where one is possible: connect, the consoles' handshake
and a transfer of 60 packets of 12 bytes each way, a disconnect, the close.
What each measures (time, counters, pings, packets stepped over, what crossed
the public link) is printed.

Usage: netbed.sh run internet_test.py <path to zavik-headless> [unittest arguments]
"""
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402
from harness import PING, START, STARTED, TIMEOUT, Headless, read_transcript  # noqa: E402
from session_test import (FINISHED, STARTED_TRANSFER, is_subsequence, repeats_of,  # noqa: E402
                          report, sent_and_received, size_warning, times_warned)

NETBED = os.path.join(HERE, "netbed.sh")
HOP = os.path.join(HERE, "hop.py")
SLOW = 30.0  # seconds for a handshake and a whole transfer, sanitizers included
PORT = 3975
HOME_A, PUBLIC_A = "192.0.2.10", "203.0.113.1"
HOME_B, PUBLIC_B = "198.51.100.10", "203.0.113.2"
SIZE, PACKETS = 12, 60
# The starting console is A's; B's answers with the size it is given.
CONSOLE_A = "start=1,size=%d,packets=%d,frame=16,hello=500,seed=131" % (SIZE, PACKETS)
CONSOLE_B = "start=0,packets=%d,frame=16,hello=500,seed=132" % PACKETS
# A Connecting side reads 8 bytes: a data packet of a peer that is already
# Connected is a failed read, two lines.
EARLY_DATA = ("WARN: recvfrom() failed (error #90)\r\n",
              "WARN: bad UDP packet size (-1), expected 8\r\n")
WARNING = re.compile(r"WARN: [^\r]*\r\n")  # also where one cuts into a line
# With seed 195 each impairment falls on some of the first 56 frames each way
# (a session has more than 60), most of them on transfer packets.
LOSSY_PATH = ["--delay", "40", "--jitter", "15", "--loss", "0.02", "--reorder", "0.01",
              "--duplicate", "0.005", "--seed", "195"]
RECOVERY_ON = "Loss recovery on\r\n"
CONNECTED = re.compile(r"connected!!?\r\n")
RECOVERED = re.compile(r"Loss recovery: (\d+) packets recovered from later copies\r\n")
# The datagram types of the four first kinds, and the offer of loss recovery.
PLAIN_TYPES, OFFER = {"1", "2", "3", "4"}, "16"


class InternetTest(unittest.TestCase):
    beds = 0

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zavik_net_")
        self.programs = []
        self.hop = None
        self.started = time.monotonic()

    def tearDown(self):
        for p in self.programs:
            p.kill()
        self.stop_hop()
        shutil.rmtree(self.dir, ignore_errors=True)

    # ---- the bed ----

    def bed(self, *options, hop=()):
        """A fresh bed (removed at the end of the test) with the hop running."""
        InternetTest.beds += 1
        self.bed_name = "%s-%d" % (os.environ["NETBED_RUN"], InternetTest.beds)
        subprocess.run([NETBED, "up", self.bed_name, *options], check=True, timeout=TIMEOUT)
        self.addCleanup(subprocess.run, [NETBED, "down", self.bed_name], timeout=TIMEOUT)
        self.hop = subprocess.Popen(
            ["ip", "netns", "exec", self.bed_name + "-hop", sys.executable, HOP, *hop],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(self.hop.stdout.readline(), b"ready\n")

    def stop_hop(self):
        """What the hop did, once it has ended."""
        if self.hop is None:
            return None
        out, _ = self.hop.communicate(timeout=TIMEOUT)
        self.hop = None
        return json.loads(out)

    def program(self, home, args=()):
        """zavik-headless in home 'a' or 'b', its Settings accepted with a
        simulated console; returns it and its console's transcript path."""
        ns = "%s-%s" % (self.bed_name, home)
        wrapper = os.path.join(self.dir, "in-" + home)
        with open(wrapper, "w") as f:
            f.write('#!/bin/sh\nexec ip netns exec %s %s "$@"\n'
                    % (ns, shlex.quote(harness.BINARY)))
        os.chmod(wrapper, 0o755)
        p = Headless(home.upper(), binary=wrapper, args=args)
        self.programs.append(p)
        p.wait_log(START)
        host, console = (HOME_A, CONSOLE_A) if home == "a" else (HOME_B, CONSOLE_B)
        transcript = os.path.join(self.dir, home + ".txt")
        p.send("settings %s %d sim:%s,times=1,log=%s" % (host, PORT, console, transcript))
        p.wait_log("PlayStation RTS line high\r\n", p.wait_log(STARTED))
        return p, transcript

    # ---- the session ----

    def connecting(self, p, address):
        """Presses Connect...; returns the log mark of the attempt."""
        mark = len(p.out)
        p.send("connect %s %d" % (address, PORT))
        return p.wait_log("Attempting to connect to %s:%d .." % (address, PORT), mark)

    def listening(self, p):
        mark = len(p.out)
        p.send("click 1012")
        return p.wait_log("Listening for connection ...", mark)

    def retries(self, p, mark):
        """Dots logged after mark on the attempt's line (warnings that cut in
        left out)."""
        line = WARNING.sub("", p.log()[mark:])
        return len(line) - len(line.lstrip("."))

    def wait_retries(self, p, mark, count):
        deadline = time.monotonic() + 2.0 * count + SLOW
        while self.retries(p, mark) < count:
            self.assertLess(time.monotonic(), deadline, "%s: %r" % (p.name, p.log()[mark:]))
            time.sleep(0.1)

    def connected(self, p, mark):
        """Waits for the attempt or the listen to end in "connected!", or in
        "connected!!" when the peer's data came first (a side that heard the
        peer's offer reads it while Connecting)."""
        end = p.wait_log(CONNECTED, mark, timeout=SLOW)
        self.assertRegex(WARNING.sub("", p.log()[mark:end]), r"^\.*connected!!?\r\n$", p.name)
        self.assertEqual(p.status()["state"], "Connected")
        return end

    def transfer(self, a, b, marks, leaver):
        """The consoles' transfer on both sides, then `leaver` disconnects and
        both close. Returns each side's counters at the end (values) and its
        mean ping, the last one shown during the transfer."""
        for p in (a, b):
            marks[p.name] = p.wait_log(STARTED_TRANSFER, marks[p.name], timeout=SLOW)
        pings = {}
        deadline = time.monotonic() + SLOW
        while not all(p.find_log(FINISHED, marks[p.name]) for p in (a, b)):
            for p in (a, b):
                s = p.status()
                if s["values"][8] == 8:
                    pings[p.name] = s["values"][PING]
            self.assertLess(time.monotonic(), deadline, "transfer not finished:\n%s\n%s"
                            % (a.log(), b.log()))
            time.sleep(0.03)
        # The consoles keep quiet after their transfer: wait until nothing moves.
        last = None
        while True:
            values = [p.settled_status()["values"] for p in (a, b)]
            if values == last:
                break
            self.assertLess(time.monotonic(), deadline + SLOW, "counters keep moving")
            last = values
            time.sleep(0.3)
        other = b if leaver is a else a
        mark = len(other.out)
        connector = leaver.status()["connect"].startswith("Disconnect:")
        leaver.send("click %d" % (1060 if connector else 1061))
        leaver.wait_log("Sending disconnect packet...disconnected\r\n", marks[leaver.name])
        other.wait_log("Disconnect packet received...disconnected\r\n", mark)
        for p in (a, b):
            self.assertEqual(p.close(), 0, p.name)
        return dict(zip("AB", values)), pings

    def check_consoles(self, ta, tb, lossy=False):
        """Every packet a console received is one the other console sent, whole
        and in order; on a clean path every transfer packet came through."""
        records = {"A": read_transcript(ta), "B": read_transcript(tb)}
        got_transfer = {}
        for x, y in (("A", "B"), ("B", "A")):
            sent, got = sent_and_received(records[x], records[y])
            self.assertEqual([r for r in records[y] if r.kind == "part"], [], y)
            self.assertTrue(is_subsequence(got, sent), "%s to %s" % (x, y))
            transfer_sent = [r.data for r in records[x] if r.kind == "tx" and r.phase == "transfer"]
            transfer_got = [r.data for r in records[y] if r.kind == "rx" and r.phase == "transfer"]
            self.assertEqual(len(transfer_sent), PACKETS, x)
            if not lossy:
                self.assertEqual(transfer_got, transfer_sent, "%s to %s" % (x, y))
            got_transfer[y] = len(transfer_got)
        return got_transfer

    def check_logs(self, a, b, allowed=EARLY_DATA):
        """Each side started and finished one transfer; its warnings are the
        answering console's size warning and those `allowed`."""
        for p in (a, b):
            log = p.log()
            self.assertEqual(log.count(STARTED_TRANSFER), 1, p.name)
            self.assertEqual(log.count(FINISHED), 1, p.name)
            ok = set(allowed) | ({size_warning(SIZE)} if p is b else set())
            counted = [repeats_of(w) for w in ok]
            self.assertEqual([w for w in WARNING.findall(log)
                              if w not in ok and not any(c.match(w) for c in counted)], [], p.name)

    def check_clean_path(self, values):
        """On a path that loses nothing, the only numbers a side steps over
        are those of the peer's data packets it could not read while it was
        still Connecting."""
        for p in self.programs:
            v = values[p.name]
            self.assertEqual(v[4] - v[3], times_warned(p.log(), EARLY_DATA[0]), p.name)

    def measured(self, tag, values, pings, extra=""):
        """Prints the figures of a scenario. A side stepped over the numbers
        its delivery passed with no packet there."""
        for p in self.programs:
            v = values[p.name]
            report("%s, side %s: counters %s; packets sent %d, received %d, stepped over %d; "
                   "mean ping %s ms; warnings %d"
                   % (tag, p.name, ",".join(map(str, v)), v[1], v[3], v[4] - v[3],
                      pings.get(p.name, "-"), len(WARNING.findall(p.log()))))
        report("%s: %.1f s%s" % (tag, time.monotonic() - self.started, extra))

    def public_flows(self, hop):
        return set(hop["west>east"]["flows"]) | set(hop["east>west"]["flows"])

    # ---- scenarios ----

    def test_listener_with_a_port_forward(self):
        self.bed("forward=%d" % PORT)
        (a, ta), (b, tb) = self.program("a"), self.program("b")
        mark_a = self.listening(a)
        mark_b = self.connecting(b, PUBLIC_A)
        marks = {"B": self.connected(b, mark_b), "A": self.connected(a, mark_a)}
        self.assertEqual(self.retries(b, mark_b), 0)
        values, pings = self.transfer(a, b, marks, leaver=b)
        hop = self.stop_hop()
        # Only the routers' public addresses crossed the public link.
        self.assertEqual(self.public_flows(hop), {
            "%s:%d>%s:%d" % (PUBLIC_B, PORT, PUBLIC_A, PORT),
            "%s:%d>%s:%d" % (PUBLIC_A, PORT, PUBLIC_B, PORT)})
        self.check_consoles(ta, tb)
        self.check_logs(a, b, allowed=())
        self.check_clean_path(values)
        self.measured("listener with a forward", values, pings)

    def both_connect(self, tag, later, hop=(), args_a=(), args_b=()):
        """Both sides press Connect to the other's public address, B `later` s
        after A. Returns the retries each needed, the pings, what the hop did
        and the packets each side recovered."""
        self.bed(hop=hop)
        (a, ta), (b, tb) = self.program("a", args_a), self.program("b", args_b)
        pressed = time.monotonic()
        mark_a = self.connecting(a, PUBLIC_B)
        time.sleep(max(0.0, pressed + later - time.monotonic()))
        mark_b = self.connecting(b, PUBLIC_A)
        marks = {"A": self.connected(a, mark_a), "B": self.connected(b, mark_b)}
        dots = {"A": self.retries(a, mark_a), "B": self.retries(b, mark_b)}
        values, pings = self.transfer(a, b, marks, leaver=a)
        hop = self.stop_hop()
        self.check_consoles(ta, tb)
        self.check_logs(a, b)
        if not hop["west>east"]["lost"] + hop["east>west"]["lost"]:
            self.check_clean_path(values)
        recovered = {p.name: [int(n) for n in RECOVERED.findall(p.log())] for p in (a, b)}
        self.measured(tag, values, pings, "; retries before connected: A %d, B %d; data packets "
                      "a side could not read while Connecting: A %d, B %d; packets recovered: %s; "
                      "datagrams lost A>B %d, B>A %d"
                      % (dots["A"], dots["B"], *(times_warned(p.log(), EARLY_DATA[0]) for p in (a, b)),
                         recovered, hop["west>east"]["lost"], hop["east>west"]["lost"]))
        return dots, pings, hop, recovered

    def test_both_connect_at_the_same_time(self):
        _, pings, _, recovered = self.both_connect("both connect at once", later=0)
        # Recovery on at both ends; the ping is the loopback-fast path's round trip.
        self.assertEqual(recovered, {"A": [0], "B": [0]})
        for p in self.programs:
            self.assertEqual(p.log().count(RECOVERY_ON), 1, p.name)
            self.assertLess(pings[p.name], 5, p.name)

    def test_both_connect_one_side_5_s_later(self):
        dots, _, _, _ = self.both_connect("both connect, B 5 s later", later=5.0)
        # A's requests opened its router for B's: B's first one gets through.
        self.assertGreaterEqual(dots["A"], 2)
        self.assertEqual(dots["B"], 0)

    def lossy_both_connect(self, tag, *hop):
        """Both press Connect across a path that loses datagrams, sparing none:
        every console packet arrives, some of them from later copies."""
        _, pings, hop, recovered = self.both_connect(tag, 0, hop=list(hop) + ["--seed", "7"])
        self.assertGreater(hop["west>east"]["lost"] + hop["east>west"]["lost"], 0, hop)
        self.assertGreater(sum(n for counts in recovered.values() for n in counts), 0, recovered)
        return pings

    def test_two_percent_loss_and_40_ms_each_way(self):
        pings = self.lossy_both_connect("2% loss, 40 ms each way", "--loss", "0.02",
                                        "--delay", "40")
        for name, ping in pings.items():
            self.assertLessEqual(abs(ping - 80), 10, name)

    def test_ten_percent_loss(self):
        self.lossy_both_connect("10% loss", "--loss", "0.10")

    def test_bursts_of_three_lost_datagrams(self):
        self.lossy_both_connect("bursts of 3 lost", "--loss", "0.02", "--burst", "3")

    def test_a_side_without_recovery_links_as_before(self):
        """B offers no recovery, as a program that knows only the four first
        datagram types: A offers, hears nothing, and sends only those four
        types and its offers; nothing says recovery is on."""
        _, _, hop, recovered = self.both_connect("B without recovery", 0,
                                                 args_b=["--no-recovery"])
        self.assertEqual(recovered, {"A": [], "B": []})
        for p in self.programs:
            self.assertNotIn("Loss recovery", p.log(), p.name)
        self.assertLessEqual(set(hop["west>east"]["types"]), PLAIN_TYPES | {OFFER})
        self.assertIn(OFFER, hop["west>east"]["types"])
        self.assertLessEqual(set(hop["east>west"]["types"]), PLAIN_TYPES)

    def test_listener_without_a_forward(self):
        self.bed()
        (a, ta), (b, tb) = self.program("a"), self.program("b")
        mark_a = self.listening(a)
        mark_b = self.connecting(b, PUBLIC_A)
        # Router A drops B's requests: B retries and stays Connecting, A listens.
        self.wait_retries(b, mark_b, 3)
        for p, state in ((a, "Listening"), (b, "Connecting")):
            self.assertEqual(p.status()["state"], state)
            self.assertNotIn("connected", p.log())
        # Forwarding the port now lets B's next retry through.
        subprocess.run([NETBED, "forward", self.bed_name, str(PORT)], check=True, timeout=TIMEOUT)
        dots = self.retries(b, mark_b)
        marks = {"B": self.connected(b, mark_b), "A": self.connected(a, mark_a)}
        values, pings = self.transfer(a, b, marks, leaver=b)
        self.stop_hop()
        self.check_consoles(ta, tb)
        self.check_logs(a, b, allowed=())
        self.check_clean_path(values)
        self.measured("listener without a forward", values, pings,
                      "; retries before the forward %d, after it %d"
                      % (dots, self.retries(b, mark_b) - dots))

    def test_routers_that_answer_for_themselves_keep_the_sides_apart(self):
        """A known limit. A router that takes unasked traffic to itself keeps
        a connection entry for A's early request; when B then sends to A, the
        router must give B another public port, which A's router does not know:
        both sides go on retrying and never meet."""
        self.bed("open")
        (a, _), (b, _) = self.program("a"), self.program("b")
        mark_a = self.connecting(a, PUBLIC_B)
        self.wait_retries(a, mark_a, 1)
        mark_b = self.connecting(b, PUBLIC_A)
        self.wait_retries(b, mark_b, 3)
        for p, mark in ((a, mark_a), (b, mark_b)):
            self.assertEqual(p.status()["state"], "Connecting")
            self.assertNotIn("connected", p.log())
            p.send("click 1060")
            p.wait_log("cancelled\r\n", mark)
            self.assertEqual(p.close(), 0)
        hop = self.stop_hop()
        from_b = [f for f in hop["east>west"]["flows"] if f.endswith(">%s:%d" % (PUBLIC_A, PORT))]
        self.assertEqual(len(from_b), 1, hop)
        self.assertNotEqual(from_b[0], "%s:%d>%s:%d" % (PUBLIC_B, PORT, PUBLIC_A, PORT))
        report("routers that answer for themselves: retries A %d, B %d, never connected; "
               "B's requests left router B as %s; %.1f s"
               % (self.retries(a, mark_a), self.retries(b, mark_b), from_b[0].split(">")[0],
                  time.monotonic() - self.started))

    def test_a_long_lossy_path(self):
        self.bed("forward=%d" % PORT, hop=LOSSY_PATH)
        (a, ta), (b, tb) = self.program("a"), self.program("b")
        mark_a = self.listening(a)
        mark_b = self.connecting(b, PUBLIC_A)
        marks = {"B": self.connected(b, mark_b), "A": self.connected(a, mark_a)}
        values, pings = self.transfer(a, b, marks, leaver=b)
        hop = self.stop_hop()
        got = self.check_consoles(ta, tb)
        late = ("WARN: old UDP packet received\r\n",
                "WARN: UDP packet position already taken, duplicate packet\r\n")
        self.check_logs(a, b, allowed=late + EARLY_DATA)
        for x, y in (("A", "B"), ("B", "A")):
            v, w = values[x], values[y]
            self.assertEqual(w[4], v[1], "%s passed every packet number %s sent" % (y, x))
        for way in ("west>east", "east>west"):
            h = hop[way]
            self.assertTrue(h["lost"] and h["held"] and h["duplicated"], h)
        ways = " ".join("%s: %s lost %d, held back %d (%d overtaken), doubled %d, "
                        "delay ms min/mean/max %s;" % (
                            way, hop[way]["ipv4"], hop[way]["lost"],
                            hop[way]["held"], hop[way]["reordered"], hop[way]["duplicated"],
                            "/".join(map(str, hop[way]["delay_ms"])))
                        for way in ("west>east", "east>west"))
        self.measured("long lossy path", values, pings,
                      "; transfer packets the consoles got: A %d, B %d of %d; hop %s"
                      % (got["A"], got["B"], PACKETS, ways))
        self.assertEqual(hop["ended_by"], "input closed")

    def test_without_namespaces_the_bed_says_why(self):
        # The script comes on standard input: the user nobody may not be
        # allowed to read this tree.
        for env, user, code, text in (
                ({"ZAVIK_SKIP_NETNS": "1"}, [], 77, "skipped (ZAVIK_SKIP_NETNS=1)"),
                ({}, ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"], 1,
                 "network namespaces need root")):
            with open(NETBED) as script:
                r = subprocess.run(user + ["bash", "-s", "run", "true"], stdin=script,
                                   env=dict(os.environ, **env), capture_output=True,
                                   text=True, timeout=TIMEOUT)
            self.assertEqual(r.returncode, code)
            self.assertIn(text, r.stdout + r.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2 or "NETBED_RUN" not in os.environ:
        sys.exit(__doc__)
    harness.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
