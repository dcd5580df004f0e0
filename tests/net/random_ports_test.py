#!/usr/bin/env python3
"""Two homes behind routers that give each new flow a random public port
(netbed.sh up BED random), as many routers and carrier-grade NATs do: both
sides pressing Connect never meet, which `zavik check` warns of; a forwarded
port and Listen, its advice, still links. The sessions are internet_test.py's.

Usage: netbed.sh run random_ports_test.py <path to zavik-headless> [unittest arguments]
"""
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
import harness  # noqa: E402
import internet_test  # noqa: E402
from internet_test import PORT, PUBLIC_A, PUBLIC_B  # noqa: E402
from session_test import report  # noqa: E402


class RandomPortsTest(internet_test.InternetTest):
    """The bed and the session of internet_test.py; only the tests below run
    here (load_tests)."""

    def test_both_press_connect_and_never_meet(self):
        self.bed("random")
        (a, _), (b, _) = self.program("a"), self.program("b")
        mark_a = self.connecting(a, PUBLIC_B)
        mark_b = self.connecting(b, PUBLIC_A)
        self.wait_retries(a, mark_a, 4)
        for p, mark in ((a, mark_a), (b, mark_b)):
            self.assertEqual(p.status()["state"], "Connecting")
            self.assertNotIn("connected", p.log())
            p.send("click 1060")
            p.wait_log("cancelled\r\n", mark)
            self.assertEqual(p.close(), 0)
        hop = self.stop_hop()
        # Each side's requests left its router on a port other than 3975, which
        # the other side sends to.
        ports = {f.split(">")[0] for f in self.public_flows(hop)}
        self.assertNotIn("%s:%d" % (PUBLIC_A, PORT), ports)
        self.assertNotIn("%s:%d" % (PUBLIC_B, PORT), ports)
        report("random ports, both press Connect: retries A %d, B %d, never connected; "
               "requests left the routers as %s; %.1f s"
               % (self.retries(a, mark_a), self.retries(b, mark_b), ", ".join(sorted(ports)),
                  time.monotonic() - self.started))

    def test_a_forward_and_listen_still_link(self):
        self.bed("random", "forward=%d" % PORT)
        (a, ta), (b, tb) = self.program("a"), self.program("b")
        mark_a = self.listening(a)
        mark_b = self.connecting(b, PUBLIC_A)
        marks = {"B": self.connected(b, mark_b), "A": self.connected(a, mark_a)}
        values, pings = self.transfer(a, b, marks, leaver=b)
        self.stop_hop()
        got = self.check_consoles(ta, tb)
        self.measured("random ports, A forwards and listens", values, pings,
                      "; transfer packets received: A %d, B %d" % (got["A"], got["B"]))


def load_tests(loader, standard, pattern):
    return unittest.TestSuite(RandomPortsTest(name) for name in (
        "test_both_press_connect_and_never_meet", "test_a_forward_and_listen_still_link"))


if __name__ == "__main__":
    harness.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
