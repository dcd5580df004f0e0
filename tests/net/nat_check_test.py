#!/usr/bin/env python3
"""`zavik check` in a home behind each kind of router (checkbed.sh nat): no
NAT, a NAT that keeps the port, one that gives each flow a random port, and
one that lets no UDP out. A coturn STUN server on the public side, with two
addresses, is started and ended by each test. Every name and address used is
the bed's own.

Usage: netbed.sh run nat_check_test.py <path to zavik> [unittest arguments]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKBED = os.path.join(HERE, "checkbed.sh")
ZAVIK = None  # from the command line
TIMEOUT = 30
SERVERS = ["--stun", "stun.bed.test", "--stun", "198.51.100.101:3478"]


class NatCheckTest(unittest.TestCase):
    beds = 0

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zavik_check_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def bed(self, kind):
        """A home behind a router of this kind, and a STUN server running."""
        NatCheckTest.beds += 1
        self.name = "%s-c%d" % (os.environ["NETBED_RUN"], NatCheckTest.beds)
        subprocess.run([CHECKBED, "nat", self.name, kind], check=True, timeout=TIMEOUT)
        self.addCleanup(subprocess.run, [CHECKBED, "down", self.name], timeout=TIMEOUT)
        log = open(os.path.join(self.dir, "turnserver.log"), "w")
        self.addCleanup(log.close)
        server = subprocess.Popen(
            ["ip", "netns", "exec", self.name + "-s", "turnserver", "-n", "--stun-only",
             "--listening-ip=198.51.100.100", "--listening-ip=198.51.100.101",
             "--listening-port=3478", "--no-cli", "--no-tls", "--no-dtls",
             "--log-file=stdout", "--simple-log",
             "--pidfile=" + os.path.join(self.dir, "turnserver.pid"),
             "--db=" + os.path.join(self.dir, "turndb")],
            stdout=log, stderr=subprocess.STDOUT)

        def end():
            server.terminate()
            server.wait(timeout=TIMEOUT)
        self.addCleanup(end)
        # Listening on both addresses before the check asks.
        deadline = time.monotonic() + TIMEOUT
        while True:
            out = subprocess.run(["ip", "netns", "exec", self.name + "-s", "ss", "-uln"],
                                 capture_output=True, text=True, timeout=TIMEOUT).stdout
            if "198.51.100.100:3478" in out and "198.51.100.101:3478" in out:
                break
            self.assertIsNone(server.poll(), "turnserver ended")
            self.assertLess(time.monotonic(), deadline, "turnserver does not listen")
            time.sleep(0.1)

    def check(self, *arguments):
        """zavik check in the home: (exit code, output, seconds taken)."""
        started = time.monotonic()
        p = subprocess.run(["ip", "netns", "exec", self.name + "-h", ZAVIK, "check", *arguments],
                           capture_output=True, text=True, timeout=TIMEOUT)
        took = time.monotonic() - started
        print("\n%s (%.2f s, exit %d)\n%s%s" % (self.id(), took, p.returncode, p.stdout, p.stderr))
        return p.returncode, p.stdout + p.stderr, took

    def test_each_router_its_result_and_advice(self):
        rows = [
            ("none", 0, r"Result: no NAT\. 203\.0\.113\.10 is this machine's own address",
             r"give your friend 203\.0\.113\.10:3975\. Press Listen"),
            ("keep", 0, r"Result: a NAT that keeps one mapping for every destination, and the "
             r"port: this side is 198\.51\.100\.1:3975 to everyone",
             r"give your friend 198\.51\.100\.1:3975 and both press Connect"),
            ("random", 0, r"Result: a NAT that gives each destination its own mapping "
             r"\(198\.51\.100\.1:\d+, 198\.51\.100\.1:\d+\): both pressing Connect will not work",
             r"forward UDP 3975 on the router to this machine and press Listen"),
            ("blocked", 1, r"Result: no STUN server answered within 4 s: UDP to the internet "
             r"seems blocked", r"Try another network, or a VPN"),
        ]
        for kind, code, result, advice in rows:
            with self.subTest(kind):
                self.bed(kind)
                got, out, took = self.check(*SERVERS)
                self.assertEqual(got, code)
                self.assertRegex(out, result)
                self.assertRegex(out, "What will work: .*" + advice)
                self.assertLess(took, 5.0)
                self.doCleanups()
                self.setUp()

    def test_one_server_with_a_second_address_is_enough(self):
        # coturn names its other address (RFC 5780); the check asks it too.
        self.bed("random")
        got, out, _ = self.check("--stun", "stun.bed.test")
        self.assertEqual(got, 0)
        self.assertIn("198.51.100.101:3479 (the other address of stun.bed.test) sees", out)
        self.assertIn("gives each destination its own mapping", out)

    def test_the_port_asked_from(self):
        self.bed("keep")
        got, out, _ = self.check("--port", "4000", *SERVERS)
        self.assertEqual(got, 0)
        self.assertIn("this side is 198.51.100.1:4000 to everyone", out)

    def test_a_name_that_does_not_resolve(self):
        self.bed("keep")
        got, out, took = self.check("--stun", "198.51.100.101", "--stun", "nothing.bed.test")
        self.assertEqual(got, 2)
        self.assertIn("zavik: cannot resolve STUN server nothing.bed.test", out)
        self.assertNotIn("Asking", out)


if __name__ == "__main__":
    ZAVIK = sys.argv.pop(1)
    unittest.main(verbosity=2)
