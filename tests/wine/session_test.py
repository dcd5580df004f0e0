#!/usr/bin/env python3
"""Whole link sessions of the Windows program under Wine, over loopback UDP.

zavik.exe is worked through its window by zavik_driver.exe (Settings... with
the serial list's entry SIM, Listen, Connect..., Disconnect, the close box),
its simulated console's options given on its command line. Its peer is
zavik-headless with "sim:<options>", or a second zavik.exe. Afterwards the
consoles' transcripts (log=PATH, written when a port closes) show what each
console sent and received.

It also measures zavik.exe's processor time through the driver: the window
thread's during a transfer, and the whole program's while connected and idle.
The figures are printed, and written to the file $ZAVIK_WINE_MEASURED if set.

Usage: session_test.py <wine loader> <Windows programs' folder> <zavik-headless>
       [unittest arguments]
Needs WINEPREFIX and an X display (run_wine.sh runs it under xvfb-run).
"""
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402
from harness import START, STARTED, Headless, free_udp_port, is_end_marked, read_transcript  # noqa: E402
from session_test import (FINISHED, STARTED_TRANSFER, report, sent_and_received,  # noqa: E402
                          size_warning, warnings)

LOADER = BIN = HEADLESS = None
SLOW = 60.0  # seconds for anything a loaded machine running Wine may take
IDLE_S = 3.0  # how long the idle program is watched
# The consoles: one starts a 12-byte transfer (DTR first, then its packet),
# then an 8-byte one (its packet first); the other answers with those sizes.
# (About a second and a half each: long enough to measure processor time,
# which Wine counts in 10 ms steps.)
STARTER = "start=1,size=12,size2=8,transfers=2,packets=80,frame=16,hello=300,seed=%d"
ANSWERER = "start=0,transfers=2,packets=70,frame=20,hello=300,seed=%d"


def windows_path(path):
    return "Z:" + path  # Wine's drive Z: is the root of the Linux file system


class WineSessionTest(harness.ProgramsTest):
    def windows(self, name, options):
        """zavik.exe with its console's options on the command line."""
        p = Headless(name, [LOADER, os.path.join(BIN, "zavik_driver.exe"),
                            os.path.join(BIN, "zavik.exe"), "sim:" + options])
        self.keep(p)
        p.wait_log(START, timeout=SLOW)
        return p

    def headless(self, name):
        p = Headless(name, HEADLESS)
        self.keep(p)
        p.wait_log(START)
        return p

    def start(self, p, port, serial):
        mark = len(p.out)
        p.send("settings 127.0.0.1 %d %s" % (port, serial))
        p.wait_log(STARTED, mark, timeout=SLOW)

    def cpu(self, p):
        p.send("cpu")
        fields = dict(w.split("=") for w in p.wait_event("cpu ", timeout=SLOW).split()[1:])
        return {k: int(v) for k, v in fields.items()}

    def link(self, listener, connector, port):
        mark_l = len(listener.out)
        listener.send("click 1012")
        listener.wait_log("Listening for connection ...", mark_l, timeout=SLOW)
        mark_c = len(connector.out)
        connector.send("connect 127.0.0.1 %d" % port)
        connector.wait_log("connected!\r\n", mark_c, timeout=SLOW)
        listener.wait_log("connected!\r\n", mark_l, timeout=SLOW)
        # Both sides are Zavik: each offers loss recovery and hears the other.
        for p, mark in ((connector, mark_c), (listener, mark_l)):
            p.wait_log("Loss recovery on\r\n", mark, timeout=SLOW)

    def transfers(self, programs, count, measured=None):
        """Waits until every program has seen count transfers start and
        finish. With measured (a zavik.exe), its window thread's processor
        time during the first transfer is returned."""
        figures = None
        for n in range(1, count + 1):
            for p in programs:
                deadline = time.monotonic() + SLOW
                while p.log().count(STARTED_TRANSFER) < n:
                    self.assertLess(time.monotonic(), deadline, "%s: transfer %d\n%s" % (p.name, n, p.log()))
                    time.sleep(0.02)
            before = self.cpu(measured) if measured and n == 1 else None
            for p in programs:
                deadline = time.monotonic() + SLOW
                while p.log().count(FINISHED) < n:
                    self.assertLess(time.monotonic(), deadline, "%s: transfer %d\n%s" % (p.name, n, p.log()))
                    time.sleep(0.02)
            if before:
                after = self.cpu(measured)
                figures = (after["window"] - before["window"], after["wall"] - before["wall"])
        return figures

    def idle(self, p):
        """zavik.exe's processor time while connected with nothing to carry."""
        time.sleep(1.0)  # the consoles have ended their last transfer
        before = self.cpu(p)
        time.sleep(IDLE_S)
        after = self.cpu(p)
        return after["process"] - before["process"], after["wall"] - before["wall"]

    def disconnect_and_close(self, connector, listener):
        mark_c, mark_l = len(connector.out), len(listener.out)
        connector.send("click 1060")
        connector.wait_log("Sending disconnect packet...disconnected\r\n", mark_c, timeout=SLOW)
        listener.wait_log("Disconnect packet received...disconnected\r\n", mark_l, timeout=SLOW)
        for p in (connector, listener):
            self.assertEqual(p.close(timeout=SLOW), 0, p.name)
            self.assertEqual([e for e in p.events if e.startswith(("error", "messagebox"))], [],
                             p.name)

    def check_consoles(self, tag, a, b, sizes):
        """Each console received what the other sent, whole and in order, C-packets
        marked by the link; each took part in transfers of the given sizes."""
        ra, rb = read_transcript(a), read_transcript(b)
        for way, sender, receiver in (("A to B", ra, rb), ("B to A", rb, ra)):
            sent, got = sent_and_received(sender, receiver)
            self.assertEqual([r for r in receiver if r.kind == "part"], [], tag)
            self.assertEqual([g.hex() for g in got], [s.hex() for s in sent], "%s %s" % (tag, way))
            for n, size in enumerate(sizes, 1):
                packets = [r.data for r in sender if r.kind == "tx" and r.transfer == n and
                           r.phase == "transfer"]
                self.assertTrue(packets and all(len(t) == size for t in packets), "%s %s" % (tag, way))
                self.assertEqual(sum(map(is_end_marked, packets)), 1, "%s %s" % (tag, way))
        report("%s: console packets A to B %d, B to A %d, all whole and in order"
               % (tag, len(sent_and_received(ra, rb)[0]), len(sent_and_received(rb, ra)[0])))

    def check_warnings(self, programs, sizes):
        """No warning but the size warning of a side whose console writes the
        eighth handshake step."""
        allowed = [size_warning(s) for s in sizes]
        for p in programs:
            self.assertEqual([w for w in warnings(p.log()) if w not in allowed], [], p.name)

    def measure(self, text):
        report(text)
        path = os.environ.get("ZAVIK_WINE_MEASURED")
        if path:
            with open(path, "a") as f:
                f.write(text + "\n")

    def windows_against_headless(self, windows_listens):
        tw, tl = os.path.join(self.dir, "w.txt"), os.path.join(self.dir, "l.txt")
        # The listening side's console starts the transfers.
        w_console = (STARTER if windows_listens else ANSWERER) % 1
        l_console = (ANSWERER if windows_listens else STARTER) % 2
        w = self.windows("W", "%s,log=%s" % (w_console, windows_path(tw)))
        l = self.headless("L")
        port_w, port_l = free_udp_port(), free_udp_port()
        self.start(w, port_w, "SIM")
        self.start(l, port_l, "sim:%s,log=%s" % (l_console, tl))
        self.assertIn("Opening serial port SIM ...success\r\n", w.log())
        listener, connector, port = (w, l, port_w) if windows_listens else (l, w, port_l)
        self.link(listener, connector, port)
        window = self.transfers([w, l], 2, measured=w)
        busy, wall = self.idle(w)
        self.disconnect_and_close(connector, listener)
        tag = "zavik.exe %s" % ("listens" if windows_listens else "connects")
        self.check_consoles(tag, tw, tl, (12, 8))
        self.check_warnings([w, l], (12, 8))
        self.measure("%s: window thread %d ms of processor time in a %d ms transfer (%.1f%%); "
                     "idle and connected, zavik.exe %d ms in %d ms (%.1f%%)"
                     % (tag, window[0], window[1], 100.0 * window[0] / max(window[1], 1),
                        busy, wall, 100.0 * busy / max(wall, 1)))

    # ---- tests ----

    def test_windows_listens_headless_connects(self):
        self.windows_against_headless(windows_listens=True)

    def test_headless_listens_windows_connects(self):
        self.windows_against_headless(windows_listens=False)

    def test_two_windows_programs(self):
        ta, tb = os.path.join(self.dir, "a.txt"), os.path.join(self.dir, "b.txt")
        a = self.windows("A", "start=1,size=12,packets=30,frame=16,hello=300,seed=3,log="
                         + windows_path(ta))
        b = self.windows("B", "start=0,packets=25,frame=20,hello=300,seed=4,log="
                         + windows_path(tb))
        port_a, port_b = free_udp_port(), free_udp_port()
        self.start(a, port_a, "SIM")
        self.start(b, port_b, "SIM")
        self.link(a, b, port_a)
        self.transfers([a, b], 1)
        self.disconnect_and_close(b, a)
        self.check_consoles("zavik.exe and zavik.exe", ta, tb, (12,))
        self.check_warnings([a, b], (12,))


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    LOADER, BIN, HEADLESS = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    harness.BINARY = HEADLESS
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
