#!/usr/bin/env python3
"""End-to-end tests of zavik-headless.

Two copies of the program link over loopback UDP, each with a pseudo-terminal
as its console's serial port. The test plays both users through standard input
and plays both consoles through the pty masters.

Usage: headless_test.py <path to zavik-headless> [unittest arguments]
"""
import os
import re
import select
import sys
import time
import tty
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import harness  # noqa: E402
from harness import (CLOSED, START, STARTED, TIMEOUT, Headless,  # noqa: E402
                     control_packet, free_udp_port, marked)


class Console:
    """The console's end of a serial port: a pty whose slave the program opens."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def write(self, data):
        os.write(self.master, data)

    def read(self, count, timeout=TIMEOUT):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                data += os.read(self.master, count - len(data))
        return data

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class HeadlessTest(harness.ProgramsTest):
    def program(self, name):
        p = self.keep(Headless(name))
        p.wait_log(START)
        return p

    def console(self):
        c = Console()
        self.addCleanup(c.close)
        return c

    def test_refused_entries_disabled_buttons_and_status(self):
        a = self.program("A")
        pty = self.console()

        s = a.status()
        self.assertEqual(s["state"], "Idle")
        self.assertEqual(s["settings"], "Settings...:1036:1")
        self.assertEqual(s["connect"], "Connect...:1037:0")
        self.assertEqual(s["listen"], "Listen:1012:0")
        self.assertEqual(s["shown"], [0] * 10)
        self.assertEqual(s["values"], [0] * 10)

        # Nothing but Settings... can be pressed before a link is started.
        for line in ("click 1012", "connect 127.0.0.1 4000"):
            a.send(line)
            a.wait_event("error ")

        # Refused entries: the box, then the dialog is cancelled; nothing opens.
        for entries, box in (("127.0.0.1 50000", "Valid socket port required"),
                             ("255.255.255.255 0", "Valid local IP required")):
            a.send("settings %s %s" % (entries, pty.path))
            self.assertEqual(a.wait_event("messagebox "), "messagebox Error|%s|ok" % box)
        a.send("settings 127.0.0.1 4000 " + pty.path + " vsync=7")
        a.wait_event("error ")
        s = a.status()
        self.assertEqual(s["connect"], "Connect...:1037:0")

        # The log holds the start-up lines and nothing else; closing before any
        # link was started closes nothing.
        self.assertEqual(a.close(), 0)
        self.assertEqual(a.log(), START)

    def test_link_session_between_two_programs(self):
        a, b = self.program("A"), self.program("B")
        pty_a, pty_b = self.console(), self.console()
        port_a, port_b = free_udp_port(), free_udp_port()

        a.send("settings 127.0.0.1 %d %s" % (port_a, pty_a.path))
        b.send("settings 127.0.0.1 %d %s increase-port-time vsync=-1" % (port_b, pty_b.path))
        for p, port, pty in ((a, port_a, pty_a), (b, port_b, pty_b)):
            p.wait_log("Opening serial port %s ...success\r\n"
                       "Opening UDP socket ...success\r\n"
                       "Binding socket to 127.0.0.1:%d ...success\r\n" % (pty.path, port)
                       + STARTED)
            s = p.status()
            self.assertEqual(s["state"], "Idle")
            self.assertEqual(s["connect"], "Connect...:1037:1")
            self.assertEqual(s["listen"], "Listen:1012:1")

        # A listens, B connects to it.
        a.send("click 1012")
        mark_a = a.wait_log("Listening for connection ...")
        self.assertEqual(a.status()["listen"], "Cancel:1061:1")
        b.send("connect 127.0.0.1 %d" % port_a)
        b.wait_log("Attempting to connect to 127.0.0.1:%d .." % port_a)
        a.wait_log("connected!\r\n", mark_a)
        mark_b = b.wait_log("connected!\r\n")
        s = a.status()
        self.assertEqual(s["state"], "Connected")
        self.assertEqual(s["listen"], "Disconnect:1061:1")
        self.assertEqual(s["settings"], "Settings...:1036:0")
        s = b.status()
        self.assertEqual(s["state"], "Connected")
        self.assertEqual(s["connect"], "Disconnect:1060:1")

        # A console packet crosses from A's console to B's unchanged.
        packet = control_packet(0x41, b4=1)
        pty_a.write(packet)
        self.assertEqual(pty_b.read(8), packet)

        # A C-packet from B's console arrives marked as having passed the link.
        c_packet = control_packet(0x43, b4=0, b5=1)
        pty_b.write(c_packet)
        self.assertEqual(pty_a.read(8), marked(c_packet))

        # The counters: A captured and sent one packet and delivered one; the
        # C-packet made both consoles active, so the display catches up.
        s = a.settled_status()
        self.assertEqual(s["values"][:6], [1, 1, 0, 1, 1, 0])
        self.assertEqual(s["shown"], s["values"])

        # B disconnects; A hears of it.
        b.send("click 1060")
        b.wait_log("Sending disconnect packet...disconnected\r\n", mark_b)
        a.wait_log("Disconnect packet received...disconnected\r\n", mark_a)
        for p in (a, b):
            s = p.status()
            self.assertEqual(s["state"], "Idle")
            self.assertEqual(s["settings"], "Settings...:1036:1")
            self.assertEqual(s["connect"], "Connect...:1037:1")
            self.assertEqual(s["listen"], "Listen:1012:1")

        # Both close cleanly, closing socket and port.
        for p in (a, b):
            self.assertEqual(p.close(), 0)
            self.assertRegex(p.log(), CLOSED + r"\Z")

    def test_simulated_consoles_complete_a_transfer(self):
        a, b = self.program("A"), self.program("B")
        port_a, port_b = free_udp_port(), free_udp_port()
        a.send("settings 127.0.0.1 %d sim:start=1" % port_a)
        b.send("settings 127.0.0.1 %d sim:start=0" % port_b)
        a.wait_log(STARTED)
        b.wait_log(STARTED)
        b.send("click 1012")
        b.wait_log("Listening for connection ...")
        a.send("connect 127.0.0.1 %d" % port_b)
        for p in (a, b):
            mark = p.wait_log("connected!\r\n")
            mark = p.wait_log("**Transfer has started **\r\n", mark, timeout=30)
            p.wait_log("Transfer has finished.\r\n", mark, timeout=30)
        # Closing the connected side tells the other.
        mark = b.wait_log("Transfer has finished.\r\n")
        self.assertEqual(a.close(), 0)
        b.wait_log("Disconnect packet received...disconnected\r\n", mark)
        self.assertEqual(b.close(), 0)
        self.assertEqual(a.events, [])
        self.assertEqual(b.events, [])

    def test_end_of_input_closes_the_program(self):
        a = self.program("A")
        pty = self.console()
        a.send("settings 127.0.0.1 %d %s" % (free_udp_port(), pty.path))
        a.wait_log(STARTED)
        a.proc.stdin.close()
        self.assertEqual(a.wait_exit(), 0)
        self.assertRegex(a.log(), re.escape(STARTED) + CLOSED + r"\Z")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    harness.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
