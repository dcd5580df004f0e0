#!/usr/bin/env python3
"""Links over IPv6 between two homes whose routers route IPv6 without NAT and
let in only what a home's own flows ask for (checkbed.sh v6); and an IPv4
peer that still links with a side that speaks both. A zavik-headless with a
simulated console in each home plays a whole session, as internet_test.py's
do (its session helpers are used here).

Usage: netbed.sh run ipv6_test.py <path to zavik-headless> [unittest arguments]
"""
import os
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
sys.path.insert(0, HERE)
import harness  # noqa: E402
from harness import START, STARTED, TIMEOUT, Headless  # noqa: E402
import internet_test  # noqa: E402 (its test case stays out of this module's names)
from internet_test import CONSOLE_A, CONSOLE_B, PORT  # noqa: E402

CHECKBED = os.path.join(HERE, "checkbed.sh")
HOME6 = {"a": "2001:db8:a::10", "b": "2001:db8:b::10"}
HOME4 = {"a": "192.0.2.10", "b": "198.51.100.10"}
PUBLIC4 = {"a": "203.0.113.1", "b": "203.0.113.2"}


class Ipv6Test(unittest.TestCase):
    beds = 0
    # A whole session as internet_test.py plays and checks it.
    connected = internet_test.InternetTest.connected
    retries = internet_test.InternetTest.retries
    transfer = internet_test.InternetTest.transfer
    check_consoles = internet_test.InternetTest.check_consoles
    measured = internet_test.InternetTest.measured

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zavik_ipv6_")
        self.programs = []
        self.started = time.monotonic()

    def tearDown(self):
        for p in self.programs:
            p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def bed(self, *options):
        Ipv6Test.beds += 1
        self.bed_name = "%s-v%d" % (os.environ["NETBED_RUN"], Ipv6Test.beds)
        subprocess.run([CHECKBED, "v6", self.bed_name, *options], check=True, timeout=TIMEOUT)
        self.addCleanup(subprocess.run, [CHECKBED, "down", self.bed_name], timeout=TIMEOUT)

    def program(self, home, bind):
        """zavik-headless in home 'a' or 'b', its Settings accepted on `bind`."""
        wrapper = os.path.join(self.dir, "in-" + home)
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec ip netns exec %s-%s %s\n"
                    % (self.bed_name, home, shlex.quote(harness.BINARY)))
        os.chmod(wrapper, 0o755)
        p = Headless(home.upper(), binary=wrapper)
        self.programs.append(p)
        p.wait_log(START)
        transcript = os.path.join(self.dir, home + ".txt")
        console = CONSOLE_A if home == "a" else CONSOLE_B
        p.send("settings %s %d sim:%s,times=1,log=%s" % (bind, PORT, console, transcript))
        shown = "[%s]" % bind if ":" in bind else bind
        p.wait_log("Binding socket to %s:%d ...success\r\n" % (shown, PORT))
        p.wait_log("PlayStation RTS line high\r\n", p.wait_log(STARTED))
        return p, transcript

    def connecting(self, p, address):
        mark = len(p.out)
        p.send("connect %s %d" % (address, PORT))
        shown = "[%s]" % address if ":" in address else address
        return p.wait_log("Attempting to connect to %s:%d .." % (shown, PORT), mark)

    def listening(self, p):
        mark = len(p.out)
        p.send("click 1012")
        return p.wait_log("Listening for connection ...", mark)

    def session(self, tag, a, ta, b, tb, marks, leaver):
        """The consoles' transfer, the disconnect and the close; every packet arrived."""
        values, pings = self.transfer(a, b, marks, leaver=leaver)
        got = self.check_consoles(ta, tb)
        self.measured(tag, values, pings, "; transfer packets received: A %d, B %d"
                      % (got["A"], got["B"]))

    def test_both_press_connect_over_ipv6(self):
        self.bed()
        (a, ta), (b, tb) = self.program("a", "::"), self.program("b", "::")
        mark_a = self.connecting(a, HOME6["b"])
        mark_b = self.connecting(b, HOME6["a"])
        marks = {"A": self.connected(a, mark_a), "B": self.connected(b, mark_b)}
        self.session("IPv6, both press Connect", a, ta, b, tb, marks, leaver=a)

    def test_listener_behind_a_pinhole(self):
        self.bed("pinhole=%d" % PORT)
        (a, ta), (b, tb) = self.program("a", HOME6["a"]), self.program("b", "::")
        mark_a = self.listening(a)
        mark_b = self.connecting(b, HOME6["a"])
        marks = {"B": self.connected(b, mark_b), "A": self.connected(a, mark_a)}
        retries = self.retries(b, mark_b)
        self.session("IPv6, listener behind a pinhole (retries %d)" % retries, a, ta, b, tb,
                     marks, leaver=b)

    def test_no_pinhole_no_way_in(self):
        # The firewall is what the first two tests get through: without a
        # pinhole, nothing unasked reaches the listener.
        self.bed()
        (a, _), (b, _) = self.program("a", "::"), self.program("b", "::")
        mark_a = self.listening(a)
        mark_b = self.connecting(b, HOME6["a"])
        b.wait_log("..", mark_b, timeout=10)  # two retries
        self.assertNotIn("connected", a.log()[mark_a:])
        self.assertEqual(a.status()["state"], "Listening")
        self.assertEqual(b.status()["state"], "Connecting")

    def test_check_names_the_global_ipv6_address(self):
        # No STUN server in this bed: the check finds nobody, and still says
        # what IPv6 offers.
        self.bed()
        zavik = os.path.join(os.path.dirname(harness.BINARY), "zavik")
        r = subprocess.run(["ip", "netns", "exec", self.bed_name + "-a", zavik, "check",
                            "--stun", PUBLIC4["b"]], capture_output=True, text=True,
                           timeout=TIMEOUT)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("IPv6: 2001:db8:a::10. If your friend has IPv6 too, both press Connect",
                      r.stdout)

    def test_an_ipv4_peer_links_with_a_side_of_both_families(self):
        self.bed()
        (a, ta), (b, tb) = self.program("a", "::"), self.program("b", HOME4["b"])
        mark_a = self.connecting(a, PUBLIC4["b"])
        mark_b = self.connecting(b, PUBLIC4["a"])
        marks = {"A": self.connected(a, mark_a), "B": self.connected(b, mark_b)}
        self.session("IPv4 peer and a side of both families", a, ta, b, tb, marks, leaver=b)


if __name__ == "__main__":
    harness.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
