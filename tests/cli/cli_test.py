#!/usr/bin/env python3
"""zavik, the command: sessions between two of them with simulated consoles,
the status line on a terminal, the ends on signals, and the exit codes.

Usage: cli_test.py <path to zavik> <path to zavik-headless> [unittest arguments]
"""
import errno
import fcntl
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402
from harness import START, STARTED, TIMEOUT, Headless, free_udp_port, read_transcript  # noqa: E402
from session_test import SLOW, sent_and_received  # noqa: E402

ZAVIK = None

LISTENING = "Listening for connection ..."
FINISHED = "Transfer has finished.\n"
NOTICE_RECEIVED = "Disconnect packet received..."
STATUS = re.compile(r"(Idle|Connecting|Listening|Connected)  local \d+/\d+/\d+  "
                    r"remote \d+/\d+/\d+  ping \d+ ms  size \d+  tfr \d+  errors \d+")


def zavik(name, *args):
    """A running zavik with its log (standard output, read as it comes)."""
    return Headless(name, [ZAVIK] + [str(a) for a in args])


def run(*args):
    p = subprocess.run([ZAVIK] + [str(a) for a in args], capture_output=True, timeout=TIMEOUT)
    return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")


def screen(stream):
    """The rows a terminal shows after the stream: text, CR, LF, erase to the
    end of the line or of the screen, cursor up (what zavik writes)."""
    rows, row, col = [""], 0, 0
    for m in re.finditer(r"\x1b\[(\d*)([AJK])|\r|\n|[^\x1b\r\n]+", stream):
        text = m.group(0)
        if text == "\r":
            col = 0
        elif text == "\n":
            row, col = row + 1, 0
            if row == len(rows):
                rows.append("")
        elif m.group(2) == "A":
            row = max(0, row - int(m.group(1) or 1))
        elif m.group(2):
            rows[row] = rows[row][:col]
            if m.group(2) == "J":
                del rows[row + 1:]
        else:
            line = rows[row].ljust(col)
            rows[row] = line[:col] + text + line[col + len(text):]
            col += len(text)
    return rows


class CliTest(harness.ProgramsTest):
    def ends_with(self, p, code, sig=None):
        if sig is not None:
            p.proc.send_signal(sig)
        self.assertEqual(p.wait_exit(SLOW), code, "%s:\n%s" % (p.name, p.log()))

    def test_listen_and_connect_carry_a_transfer_each_way(self):
        ta, tb = (os.path.join(self.dir, n) for n in ("a.txt", "b.txt"))
        port_a = free_udp_port()
        a = self.keep(zavik("A", "listen", "--once", "--port", port_a,
                            "sim:start=1,size=12,packets=30,frame=16,hello=200,seed=3,log=" + ta))
        a.wait_log(LISTENING)
        b = self.keep(zavik("B", "connect", "localhost:%d" % port_a, "--port", free_udp_port(),
                            "sim:start=0,packets=30,frame=16,hello=200,seed=4,log=" + tb))
        b.wait_log("Attempting to connect to 127.0.0.1:%d ..connected!\n" % port_a)
        for p in (a, b):
            p.wait_log(FINISHED, timeout=SLOW)
        time.sleep(0.5)  # the last packets reach the consoles

        # B ends on SIGTERM and tells A, which ends after its one session.
        self.ends_with(b, 0, signal.SIGTERM)
        a.wait_log(NOTICE_RECEIVED)
        self.ends_with(a, 0)
        self.assertNotIn("\r", a.log() + b.log())

        sa, sb = read_transcript(ta), read_transcript(tb)
        for name, sender, receiver in (("A to B", sa, sb), ("B to A", sb, sa)):
            sent, got = sent_and_received(sender, receiver)
            transfer = [r.data for r in sender if r.kind == "tx" and r.phase == "transfer"]
            self.assertGreaterEqual(len(transfer), 30, name)
            self.assertEqual([g.hex() for g in got], [s.hex() for s in sent], name)

    def test_listen_takes_one_session_after_another_and_connect_ends_with_its_peer(self):
        port_a = free_udp_port()
        a = self.keep(zavik("A", "listen", "--port", port_a, "sim:hello=200"))
        mark = a.wait_log(LISTENING)
        b1 = self.keep(zavik("B1", "connect", "127.0.0.1:%d" % port_a, "--port", free_udp_port(),
                             "sim:hello=200"))
        mark = a.wait_log("connected!\n", mark)
        self.ends_with(b1, 0, signal.SIGINT)
        mark = a.wait_log(NOTICE_RECEIVED, mark)
        mark = a.wait_log(LISTENING, mark)  # and again

        b2 = self.keep(zavik("B2", "connect", "127.0.0.1:%d" % port_a, "--port", free_udp_port(),
                             "sim:hello=200"))
        a.wait_log("connected!\n", mark)
        b2.wait_log("connected!\n")
        self.ends_with(a, 0, signal.SIGTERM)
        b2.wait_log(NOTICE_RECEIVED)
        self.ends_with(b2, 0)  # its peer ended the session: so does connect

    def test_on_a_terminal_a_status_line_is_redrawn_in_place_at_most_4_times_a_second(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 200, 0, 0))
        proc = subprocess.Popen([ZAVIK, "listen", "--port", str(free_udp_port()), "sim:hello=100"],
                                stdout=slave, stderr=subprocess.DEVNULL)
        os.close(slave)
        stream, redraws = "", []
        started = time.monotonic()
        while time.monotonic() - started < 3.0:
            if select.select([master], [], [], 0.05)[0]:
                chunk = os.read(master, 4096).decode("latin-1")
                stream += chunk
                redraws += [time.monotonic()] * chunk.count("\r\x1b[K")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(TIMEOUT), 0)
        while select.select([master], [], [], 0.2)[0]:
            try:
                stream += os.read(master, 4096).decode("latin-1")
            except OSError:  # the slave's last holder has gone
                break

        # Redrawn: the counters move (the console says hello every 100 ms),
        # at most 4 times a second.
        self.assertGreaterEqual(len(redraws), 4, repr(stream))
        span = redraws[-1] - redraws[0]
        self.assertLessEqual(len(redraws) - 1, 4 * span + 1, "redraws at %s" % redraws)
        statuses = set(STATUS.findall(stream))
        self.assertEqual(statuses, {"Listening"}, repr(stream))
        self.assertGreater(len(set(re.findall(r"Listening  local [\d/]+", stream))), 1)

        # In place: the screen shows each log line once and one status line, the last.
        rows = [r for r in screen(stream.replace("\r\n", "\n")) if r]
        self.assertRegex(rows[-1], STATUS.pattern)
        log = rows[:-1]
        self.assertEqual(log[:2], START.replace("\r", "").splitlines())
        self.assertEqual(log[-2:], ["Closing socket", "Closing serial port"])
        self.assertIn(STARTED.strip(), log)
        self.assertTrue(any(r.startswith(LISTENING) for r in log), rows)
        self.assertEqual([r for r in log if STATUS.search(r)], [], rows)
        self.assertEqual(len(log), len(set(log)), rows)

    def test_a_signal_tells_the_peer_and_restores_the_serial_device(self):
        master, slave = os.openpty()  # the serial line: cooked, echo on
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        # What the program sets and restores: the input, output and local
        # modes and the control characters (speed and character format stay).
        def modes():
            iflag, oflag, _, lflag, _, _, cc = termios.tcgetattr(slave)
            return iflag, oflag, lflag, cc
        before = modes()
        peer = self.keep(Headless("peer", harness.BINARY))
        peer.wait_log(START)
        port = free_udp_port()
        peer.send("settings 127.0.0.1 %d sim" % port)
        peer.wait_log(STARTED)
        peer.send("click 1012")
        mark = peer.wait_log("Listening for connection ...")
        c = self.keep(zavik("C", "connect", "127.0.0.1:%d" % port, "--port", free_udp_port(),
                            os.ttyname(slave)))
        c.wait_log("connected!\n")
        peer.wait_log("connected!\r\n", mark)
        self.assertNotEqual(modes(), before)  # raw while in use

        self.ends_with(c, 0, signal.SIGINT)
        peer.wait_log(NOTICE_RECEIVED)
        self.assertEqual(modes(), before)

    def test_usage_errors_exit_with_2(self):
        port = free_udp_port()
        rows = [
            (["listen", "--bogus", "sim"], "unknown option --bogus"),
            (["listen"], "listen needs SERIAL"),
            (["connect", "sim"], "connect needs HOST[:PORT] and SERIAL"),
            (["talk", "sim"], "unknown command talk"),
            (["listen", "--port"], "option --port needs a value"),
            (["connect", "127.0.0.1", "--once", "sim"], "--once goes with listen"),
            (["listen", "--vsync", "3", "sim"], "--vsync takes -2, -1, 0, 1 or 2"),
            (["listen", "--port", "50000", "sim"], "Valid socket port required"),
            (["listen", "--port", port, "--bind", "255.255.255.255", "sim"],
             "Valid local IP required"),
            (["connect", "255.255.255.255", "--port", port, "sim"], "Valid IP address required"),
            (["connect", "127.0.0.1:65536", "--port", port, "sim"], "Valid socket port required"),
            (["connect", "no-such-host.invalid", "sim"], "cannot resolve no-such-host.invalid"),
            (["connect", "[2001:db8::1", "sim"], "no ] after [ in [2001:db8::1"),
            (["connect", "[2001:db8::1]:65536", "--port", port, "sim"],
             "Valid socket port required"),
            (["listen", "-4", "-6", "sim"], "-4 and -6 exclude each other"),
            (["listen", "--stun", "192.0.2.1", "sim"], "--stun goes with check"),
            (["check", "--port", "0"], "Valid socket port required"),
            (["check", "--stun", "[2001:db8::1"], "cannot resolve STUN server [2001:db8::1"),
        ]
        for args, message in rows:
            code, _, err = run(*args)
            self.assertEqual(code, 2, args)
            self.assertIn("zavik: " + message, err, args)

    def test_connect_to_an_ipv6_address(self):
        # The listener binds both families by default.
        port_a = free_udp_port()
        a = self.keep(zavik("A", "listen", "--once", "--port", port_a, "sim"))
        a.wait_log("Binding socket to [::]:%s ...success\n" % port_a)
        a.wait_log(LISTENING)
        b = self.keep(zavik("B", "connect", "[::1]:%s" % port_a, "--port", free_udp_port(), "sim"))
        b.wait_log("Attempting to connect to [::1]:%s ..connected!\n" % port_a)
        self.ends_with(b, 0, signal.SIGTERM)
        a.wait_log(NOTICE_RECEIVED)
        self.ends_with(a, 0)

    def test_a_link_that_cannot_start_exits_with_1_and_says_why(self):
        taken = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(taken.close)
        port = free_udp_port()
        taken.bind(("127.0.0.1", port))
        rows = [
            (["--port", free_udp_port(), "/dev/zavik-none"], "zavik: Opening serial port /dev/zavik-none ...failed (error #2).\n"),
            (["--bind", "127.0.0.1", "--port", port, "sim"],
             "zavik: Binding socket to 127.0.0.1:%d ...failed (error #%d).\n" % (port, errno.EADDRINUSE)),
        ]
        for args, message in rows:
            for quiet in ([], ["--quiet"]):
                code, out, err = run("listen", *args, *quiet)
                self.assertEqual(code, 1, args)
                self.assertEqual(err, message)
                self.assertEqual(out == "", bool(quiet), out)

if __name__ == "__main__":
    ZAVIK, harness.BINARY = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
