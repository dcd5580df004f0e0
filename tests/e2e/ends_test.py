#!/usr/bin/env python3
"""A side whose log is not read, that is sent a signal, that is started without
its standard streams, or that loses its serial device: it is never left stuck,
and neither is its peer.

Usage: ends_test.py <path to zavik-headless> [unittest arguments]
"""
import fcntl
import os
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import harness  # noqa: E402
from harness import (CLOSED, START, STARTED, TIMEOUT, Headless, free_udp_port,  # noqa: E402
                     read_transcript)
from session_test import (FINISHED, SLOW, STARTED_TRANSFER, report,  # noqa: E402
                          size_warning, warnings)

F_SETPIPE_SZ = 1031


class Unread(Headless):
    """A program whose standard output is the smallest pipe, which nobody
    reads until read_again(). fill() fills it up, as a reader that has stopped
    leaves it: the program's next log line finds no room."""

    def __init__(self, name):
        self.read_fd, self.write_fd = os.pipe()
        fcntl.fcntl(self.write_fd, F_SETPIPE_SZ, 4096)
        self.name = name
        self.proc = subprocess.Popen([harness.BINARY], stdin=subprocess.PIPE,
                                     stdout=self.write_fd, stderr=subprocess.PIPE)
        self.out = b""
        self.events = []
        self.events_seen = 0
        self.on_output = None
        self.cond = threading.Condition()
        self.readers = [threading.Thread(target=self._read_err, daemon=True)]
        self.readers[0].start()

    def fill(self):
        # Through a non-blocking description of its own: the program may log
        # a line meanwhile, and a blocking write would then wait for good.
        fd = os.open("/proc/self/fd/%d" % self.write_fd, os.O_WRONLY | os.O_NONBLOCK)
        try:
            while True:
                os.write(fd, b"\0")  # the log never holds a NUL
        except BlockingIOError:
            pass
        finally:
            os.close(fd)

    def read_again(self):
        os.close(self.write_fd)
        reader = threading.Thread(target=self._read_out, daemon=True)
        self.readers.append(reader)
        reader.start()

    def _read_out(self):
        while True:
            chunk = os.read(self.read_fd, 4096)
            if not chunk:
                break
            with self.cond:
                self.out += chunk.replace(b"\0", b"")
                self.cond.notify_all()


class EndsTest(harness.ProgramsTest):
    def console_line(self):
        """A console's serial line: a pseudo-terminal as the program finds it
        (cooked, echo on); returns its path and the slave's descriptor."""
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        return os.ttyname(slave), slave

    def wait_state(self, p, state, timeout=SLOW):
        deadline = time.monotonic() + timeout
        while p.status()["state"] != state:
            self.assertLess(time.monotonic(), deadline, "%s: not %s" % (p.name, state))
            time.sleep(0.05)

    def test_a_log_not_read_for_5_s_holds_up_no_packet(self):
        a, b = self.keep(Unread("A")), self.keep(Headless("B"))
        b.wait_log(START)
        port_a, port_b = free_udp_port(), free_udp_port()
        ta, tb = (os.path.join(self.dir, n) for n in ("a.txt", "b.txt"))
        # Transfers of 400 packets a frame apart: more than 6 s of packets each way.
        a.send("settings 127.0.0.1 %d sim:start=1,size=8,packets=400,frame=16,hello=200,"
               "seed=51,log=%s" % (port_a, ta))
        b.send("settings 127.0.0.1 %d sim:start=0,packets=400,frame=16,hello=200,seed=52,log=%s"
               % (port_b, tb))
        b.wait_log(STARTED)
        self.wait_state(a, "Idle")  # A's log is not read: its state tells
        b.send("click 1012")
        b.wait_log("Listening for connection ...")
        a.send("connect 127.0.0.1 %d" % port_b)
        self.wait_state(a, "Connected")
        mark = b.wait_log(STARTED_TRANSFER, timeout=SLOW)

        # A's reader stops, and A has something to log: a datagram from
        # someone else (and the transfer's lines). For 5 s the packets flow.
        a.fill()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
            stranger.bind(("127.0.0.2", 0))
            stranger.sendto(struct.pack("<II", 4, 0), ("127.0.0.1", port_a))
            ignored = "WARN: ignored 1 datagram from 127.0.0.2:%d\r\n" % stranger.getsockname()[1]
        start = [p.status()["values"] for p in (a, b)]
        time.sleep(5.0)
        end = [p.status()["values"] for p in (a, b)]
        moved = {"A to B": end[1][3] - start[1][3], "B to A": end[0][3] - start[0][3]}
        report("log not read for 5 s: packets received meanwhile %s" % moved)
        for way, count in moved.items():
            self.assertGreater(count, 100, way)

        a.read_again()
        b.wait_log(FINISHED, mark, timeout=SLOW)
        a.wait_log(FINISHED, timeout=SLOW)
        # The peer's last packet may still be on its way to the console.
        deadline = time.monotonic() + SLOW
        while True:
            va, vb = (p.status()["values"] for p in (a, b))
            if va[4] == vb[1] and vb[4] == va[1]:  # each delivered all the other sent
                break
            self.assertLess(time.monotonic(), deadline, "packets left undelivered")
            time.sleep(0.05)
        for p in (a, b):
            self.assertEqual(p.close(), 0)
        records = {"A": read_transcript(ta), "B": read_transcript(tb)}
        for x, y in (("A", "B"), ("B", "A")):
            transfer_sent = [r.data for r in records[x] if r.kind == "tx" and r.phase == "transfer"]
            transfer_got = [r.data for r in records[y] if r.kind == "rx" and r.phase == "transfer"]
            self.assertEqual(len(transfer_sent), 400, x)
            self.assertEqual(transfer_got, transfer_sent, "%s to %s" % (x, y))
        self.assertEqual(warnings(a.log()), [ignored])
        self.assertEqual(warnings(b.log()), [size_warning(8)])

    def test_each_close_signal_closes_as_close_does(self):
        b = self.keep(Headless("B"))
        b.wait_log(START)
        port_b = free_udp_port()
        b.send("settings 127.0.0.1 %d %s" % (port_b, self.console_line()[0]))
        b.wait_log(STARTED)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig.name):
                a = self.keep(Headless("A"))
                a.wait_log(START)
                line, slave = self.console_line()
                cooked = termios.tcgetattr(slave)
                a.send("settings 127.0.0.1 %d %s" % (free_udp_port(), line))
                a.wait_log(STARTED)
                mark = len(b.out)
                b.send("click 1012")
                b.wait_log("Listening for connection ...", mark)
                a.send("connect 127.0.0.1 %d" % port_b)
                a.wait_log("connected!\r\n")
                b.wait_log("connected!\r\n", mark)
                self.assertNotEqual(termios.tcgetattr(slave), cooked)  # raw while open

                a.proc.send_signal(sig)
                self.assertEqual(a.wait_exit(), 0)
                self.assertRegex(a.log(), CLOSED + r"\Z")
                b.wait_log("Disconnect packet received...disconnected\r\n", mark)
                self.assertEqual(termios.tcgetattr(slave)[3], cooked[3])  # the line's modes back
                self.assertEqual(a.events, [])

    def test_a_second_interrupt_ends_the_program_at_once(self):
        # A's close cannot end while its log is not read: its last lines wait.
        a = self.keep(Unread("A"))
        a.send("settings 127.0.0.1 %d %s" % (free_udp_port(), self.console_line()[0]))
        self.wait_state(a, "Idle")
        a.fill()
        a.proc.send_signal(signal.SIGINT)
        time.sleep(1.0)
        self.assertIsNone(a.proc.poll())
        a.proc.send_signal(signal.SIGINT)
        self.assertEqual(a.proc.wait(2.0), -signal.SIGINT)

    def test_a_lost_serial_device_ends_the_link_on_both_sides(self):
        a, b = self.keep(Headless("A")), self.keep(Headless("B"))
        master, slave = os.openpty()  # A's serial line; closing the master hangs it up
        self.addCleanup(os.close, slave)
        port_b = free_udp_port()
        a.send("settings 127.0.0.1 %d %s" % (free_udp_port(), os.ttyname(slave)))
        b.send("settings 127.0.0.1 %d %s" % (port_b, self.console_line()[0]))
        for p in (a, b):
            p.wait_log(STARTED)
        b.send("click 1012")
        mark_b = b.wait_log("Listening for connection ...")
        a.send("connect 127.0.0.1 %d" % port_b)
        mark_a = a.wait_log("connected!\r\n")
        b.wait_log("connected!\r\n", mark_b)

        os.close(master)
        a.wait_log("Serial device lost, link stopped\r\n"
                   "Sending disconnect packet...disconnected\r\n"
                   "Loss recovery: 0 packets recovered from later copies\r\n"
                   "Closing serial port\r\n",
                   mark_a, timeout=SLOW)
        b.wait_log("Disconnect packet received...disconnected\r\n", mark_b)
        s = a.status()
        self.assertEqual(s["state"], "Idle")
        self.assertEqual([s["settings"], s["connect"], s["listen"]],
                         ["Settings...:1036:1", "Connect...:1037:0", "Listen:1012:0"])
        self.assertEqual(b.status()["state"], "Idle")
        for p in (a, b):
            self.assertEqual(p.close(), 0)

    def test_closed_standard_streams_are_never_taken_by_other_files(self):
        for fd, closing in ((0, "<&-"), (1, ">&-"), (2, "2>&-")):
            with self.subTest(fd=fd), subprocess.Popen(
                    ["sh", "-c", 'exec "$0" %s' % closing, harness.BINARY], stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE) as p:
                try:
                    self.closed_stream(p, fd)
                finally:
                    if p.poll() is None:
                        p.kill()

    def closed_stream(self, p, fd):
        if fd == 0:
            # No input: as if it had ended at once.
            out, _ = p.communicate(timeout=TIMEOUT)
            self.assertEqual(p.returncode, 0)
            self.assertEqual(out.decode("latin-1"), START)
            return
        line = self.console_line()[0]
        p.stdin.write(("settings 127.0.0.1 %d %s\n" % (free_udp_port(), line)).encode())
        p.stdin.flush()
        deadline = time.monotonic() + TIMEOUT
        while line not in self.open_files(p.pid):
            self.assertLess(time.monotonic(), deadline, "the serial port never opened")
            time.sleep(0.05)
        self.assertEqual(os.readlink("/proc/%d/fd/%d" % (p.pid, fd)), "/dev/null")
        p.stdin.close()
        self.assertEqual(p.wait(TIMEOUT), 0)

    @staticmethod
    def open_files(pid):
        names = []
        for f in os.listdir("/proc/%d/fd" % pid):
            try:
                names.append(os.readlink("/proc/%d/fd/%s" % (pid, f)))
            except FileNotFoundError:  # closed meanwhile
                pass
        return names

if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    harness.BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
