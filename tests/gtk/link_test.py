#!/usr/bin/env python3
"""A link between zavik-gtk's window and zavik-headless over loopback UDP,
each with a simulated console. The headless side listens; zavik_gtktest
drives the window: Settings..., Connect... to the listener, waits for the
consoles' whole transfer and the counters shown after it, Disconnect, close.
Afterwards each console's transcript shows that everything the other console
sent reached it whole and in order.

Usage: link_test.py <zavik-headless> <zavik_gtktest> <shots dir> [unittest arguments]
Runs on an X display (run_xvfb.sh).
"""
import os
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
from harness import CLOSED, START, STARTED, TIMEOUT, Headless, free_udp_port, read_transcript  # noqa: E402
from session_test import sent_and_received  # noqa: E402

GTKTEST = SHOTS = None
PACKETS = 30


class LinkTest(unittest.TestCase):
    def test_the_window_connects_transfers_and_disconnects(self):
        folder = tempfile.mkdtemp(prefix="zavik_gtk_")
        self.addCleanup(shutil.rmtree, folder, True)
        listener_log, window_log = os.path.join(folder, "h.txt"), os.path.join(folder, "g.txt")
        listener = Headless("headless")
        self.addCleanup(listener.kill)
        listener.wait_log(START)

        port, window_port = free_udp_port(), free_udp_port()
        listener.send("settings 127.0.0.1 %d sim:start=0,packets=%d,frame=16,hello=300,seed=12,log=%s"
                      % (port, PACKETS, listener_log))
        listener.wait_log(STARTED)
        deadline = time.monotonic() + TIMEOUT
        while listener.status()["values"][0] == 0:  # its console has spoken
            self.assertLess(time.monotonic(), deadline, listener.log())
            time.sleep(0.02)
        mark = len(listener.out)
        listener.send("click 1012")
        mark = listener.wait_log("Listening for connection ...", mark)

        window = subprocess.Popen(
            [GTKTEST, "link", SHOTS, str(window_port), str(port),
             "sim:start=1,size=12,packets=%d,frame=20,hello=120,seed=11,log=%s" % (PACKETS, window_log)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: window.poll() is None and window.kill())
        said = []
        for line in window.stdout:  # the window's checks, until the transfer is over
            said.append(line)
            if line == "transferred\n":
                break
        listener.wait_log("connected!\r\n", mark)
        listener.wait_log("Transfer has finished.\r\n", mark)
        # The window disconnects once the listener's console has all its packets.
        while listener.status()["values"][5] != 0:
            self.assertLess(time.monotonic(), deadline + 60, listener.log())
            time.sleep(0.02)
        window.stdin.write("disconnect\n")
        window.stdin.close()
        said += window.stdout.readlines()
        self.assertEqual(window.wait(TIMEOUT), 0, "".join(said))
        print("".join(said), file=sys.stderr)

        listener.wait_log("Disconnect packet received...disconnected\r\n", mark)
        self.assertEqual(listener.close(), 0)
        self.assertRegex(listener.log(), CLOSED + r"\Z")

        window_console, listener_console = read_transcript(window_log), read_transcript(listener_log)
        for way, sender, receiver in (("window to headless", window_console, listener_console),
                                      ("headless to window", listener_console, window_console)):
            sent, got = sent_and_received(sender, receiver)
            self.assertEqual([g.hex() for g in got], [s.hex() for s in sent], way)
            transfer = [r for r in sender if r.kind == "tx" and r.phase == "transfer"]
            self.assertEqual(len(transfer), PACKETS, way)


if __name__ == "__main__":
    harness.BINARY, GTKTEST, SHOTS = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
