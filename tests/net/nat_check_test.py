#!/usr/bin/env python3
"""What `zavik check` says behind each kind of router, with a coturn STUN
server at two addresses on the public side; and whether the ways it names
link: past routers that give each flow a random port, and between two homes
with IPv6 behind stateful firewalls (checkbed.sh). The beds, sessions and
their checks are internet_test.py's.

Usage: netbed.sh run nat_check_test.py <path to zavik-headless> <path to zavik>
       [unittest arguments, such as NatTest.test_check or NatTest.test_links]
"""
import os
import subprocess
import sys
import time
import unittest
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import internet_test  # noqa: E402
from internet_test import NETBED, PORT, PUBLIC_A, PUBLIC_B, TIMEOUT, harness  # noqa: E402

CHECKBED = os.path.join(HERE, "checkbed.sh")
ZAVIK = None  # from the command line
SERVERS = ("--stun", "203.0.113.2", "--stun", "203.0.113.3:3478")
CHECKS = [  # router A, the check's options, its exit code, what it says
    # No NAT: router A itself, whose address is public.
    ("none", SERVERS, 0, r"Result: no NAT\. 203\.0\.113\.1 is this machine's own address",
     r"What will work: give your friend 203\.0\.113\.1:3975\. Press Listen"),
    ("keep", ("--port", "4000") + SERVERS, 0, r"Result: a NAT that keeps one mapping for every "
     r"destination, and the port: this side is 203\.0\.113\.1:4000 to everyone",
     r"What will work: give your friend 203\.0\.113\.1:4000 and both press Connect"),
    ("random", SERVERS, 0, r"Result: a NAT that gives each destination its own mapping "
     r"\(203\.0\.113\.1:\d+, 203\.0\.113\.1:\d+\): both pressing Connect will not work",
     r"What will work: forward UDP 3975 on the router to this machine and press Listen"),
    # One server will do: coturn names its other address (RFC 5780).
    ("random", SERVERS[:2], 0, r"203\.0\.113\.3:3479 \(the other address of 203\.0\.113\.2\) "
     r"sees", r"Result: a NAT that gives each destination its own mapping"),
    # No UDP out, and an IPv6 address in the home.
    ("blocked", SERVERS, 1, r"Result: no STUN server answered within 4 s: UDP to the internet "
     r"seems blocked", r"What will work: nothing over UDP .* Try another network, or a VPN",
     r"IPv6: 2001:db8:a::10\. If your friend has IPv6 too, both press Connect"),
]
HOME6_A, HOME6_B = "2001:db8:a::10", "2001:db8:b::10"
LINKS = [  # what, bed, A's and B's bind (None: the home's IPv4 address),
    # whom A connects to (None: A listens), whom B connects to, whether they link
    ("random ports, both press Connect", ("random",), None, None, PUBLIC_B, PUBLIC_A, False),
    ("random ports, A forwards and listens", ("random", "forward=%d" % PORT), None, None, None,
     PUBLIC_A, True),
    ("IPv6, both press Connect", ("v6",), "::", "::", HOME6_B, HOME6_A, True),
    ("IPv6, A listens behind a pinhole", ("v6", "pinhole=%d" % PORT), HOME6_A, "::", None,
     HOME6_A, True),
    ("IPv6, no pinhole: no way in", ("v6",), "::", "::", None, HOME6_A, False),
    ("IPv4 peer, A of both families", ("v6",), "::", None, PUBLIC_B, PUBLIC_A, True),
]


class NatTest(internet_test.InternetTest):
    """internet_test.py's beds and sessions, and checkbed.sh's beds."""

    def each(self, rows, run):
        for row in rows:
            with self.subTest(row[0]):
                run(*row)
            self.tearDown()
            self.doCleanups()
            self.setUp()

    def bed(self, *options, hop=()):
        """netbed.sh's bed and its hop; with "v6" first, checkbed.sh's."""
        if options[:1] != ("v6",):
            return super().bed(*options, hop=hop)
        internet_test.InternetTest.beds += 1
        self.bed_name = "%s-%d" % (os.environ["NETBED_RUN"], internet_test.InternetTest.beds)
        subprocess.run([CHECKBED, self.bed_name, *options[1:]], check=True, timeout=TIMEOUT)
        self.addCleanup(subprocess.run, [NETBED, "down", self.bed_name], timeout=TIMEOUT)

    def run_in(self, where, *command, **options):
        return subprocess.run(["ip", "netns", "exec", "%s-%s" % (self.bed_name, where), *command],
                              timeout=TIMEOUT, **options)

    def program(self, home, bind=None):
        """internet_test's, its Settings bound to `bind` instead of the home's IPv4 address."""
        name = "HOME_" + home.upper()
        with mock.patch.object(internet_test, name, bind or getattr(internet_test, name)):
            return super().program(home)

    def connecting(self, p, address):
        if ":" not in address:
            return super().connecting(p, address)
        mark = len(p.out)
        p.send("connect %s %d" % (address, PORT))
        return p.wait_log("Attempting to connect to [%s]:%d .." % (address, PORT), mark)

    def test_check(self):
        self.each(CHECKS, self.zavik_check)

    def zavik_check(self, kind, options, code, *says):
        """zavik check in home A (in router A for "none"), coturn in router B."""
        self.bed("open", *(["random"] if kind == "random" else []))
        self.run_in("rb", "ip", "addr", "add", "203.0.113.3/24", "dev", "wan", check=True)
        if kind == "blocked":
            self.run_in("ra", "nft", "insert", "rule", "ip", "filter", "forward", "meta", "l4proto",
                        "udp", "drop", check=True)
            self.run_in("a", "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=0", check=True)
            self.run_in("a", "ip", "addr", "add", "2001:db8:a::10/64", "dev", "lan", "nodad",
                        check=True)
        server = subprocess.Popen(
            ["ip", "netns", "exec", self.bed_name + "-rb", "turnserver", "-n", "--stun-only",
             "--listening-ip=203.0.113.2", "--listening-ip=203.0.113.3", "--listening-port=3478",
             "--no-cli", "--no-tls", "--no-dtls", "--log-file=stdout",
             "--pidfile=%s/pid" % self.dir, "--db=%s/db" % self.dir],
            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        self.addCleanup(server.wait, timeout=TIMEOUT)
        self.addCleanup(server.terminate)
        while not all(a in self.run_in("rb", "ss", "-uln", capture_output=True, text=True).stdout
                      for a in ("203.0.113.2:3478", "203.0.113.3:3478")):
            self.assertIsNone(server.poll(), "turnserver ended")
            self.assertLess(time.monotonic() - self.started, TIMEOUT, "turnserver not listening")
            time.sleep(0.1)
        started = time.monotonic()
        r = self.run_in("ra" if kind == "none" else "a", ZAVIK, "check", *options,
                        capture_output=True, text=True)
        took = time.monotonic() - started
        print("\n%s (%.2f s, exit %d)\n%s%s" % (kind, took, r.returncode, r.stdout, r.stderr))
        self.assertEqual(r.returncode, code)
        for text in says:
            self.assertRegex(r.stdout, text)
        self.assertLess(took, 5.0)

    def test_links(self):
        self.each(LINKS, self.link)

    def link(self, what, bed, bind_a, bind_b, to_a, to_b, links):
        self.bed(*bed)
        (a, ta), (b, tb) = self.program("a", bind_a), self.program("b", bind_b)
        mark_a = self.listening(a) if to_a is None else self.connecting(a, to_a)
        mark_b = self.connecting(b, to_b)
        if links:
            marks = {"A": self.connected(a, mark_a), "B": self.connected(b, mark_b)}
            values, pings = self.transfer(a, b, marks, leaver=b)
            got = self.check_consoles(ta, tb)
            self.measured(what, values, pings, "; transfer packets received: A %d, B %d"
                          % (got["A"], got["B"]))
            return
        self.wait_retries(b, mark_b, 4)
        self.assertEqual([p.status()["state"] for p in (a, b)],
                         ["Listening" if to_a is None else "Connecting", "Connecting"])
        self.assertNotIn("connected", a.log() + b.log())
        internet_test.report("%s: B retried %d times, never connected"
                             % (what, self.retries(b, mark_b)))


def load_tests(loader, standard, pattern):
    return unittest.TestSuite(NatTest(name) for name in ("test_check", "test_links"))


if __name__ == "__main__":
    harness.BINARY, ZAVIK = map(os.path.abspath, sys.argv[1:3])
    del sys.argv[1:3]
    unittest.main(verbosity=2)
