#!/usr/bin/env python3
"""A whole link session between two copies of zavik-headless on this machine,
each with its own simulated console, as scripts/demo shows it.

Side A presses Settings... (its console will start a transfer), side B too
(its console answers); B listens, A connects; the two consoles say hello,
run their handshake and a transfer of 12-byte packets in both directions; A
disconnects and both programs close. Both logs are shown as they come, each
line marked [A] or [B], then a summary per side. Exit code 0 when the session
went through: both transfers started and finished, every packet one console
sent reached the other whole and in order, both programs exited cleanly.

With --windows, side A is zavik.exe under Wine instead, worked through its
window by zavik_driver.exe (with the same commands), its simulated console
chosen as "SIM" in Settings with the options given on its command line.

Usage: demo.py <path to zavik-headless> [--windows <wine loader> <Windows programs' folder>]
Needs no terminal and no standard input (and, with --windows, WINEPREFIX and
an X display).
"""
import os
import shutil
import socket
import sys
import tempfile
import threading
import time

import harness
from harness import Headless, marked, read_transcript

PACKETS = 100     # transfer packets each console sends
SIZE = 12         # bytes per transfer packet
DEADLINE = 50.0   # seconds for the whole session
END = 0.0         # when it runs out

STARTED = "**Transfer has started **\r\n"
FINISHED = "Transfer has finished.\r\n"

print_lock = threading.Lock()


def say(text):
    with print_lock:
        print(text, flush=True)


class Printer:
    """Prints a program's log line by line, each line marked with its side."""

    def __init__(self, label):
        self.label = label
        self.pending = ""

    def __call__(self, program, chunk):
        self.pending += chunk.decode("latin-1")
        while "\r\n" in self.pending:
            line, self.pending = self.pending.split("\r\n", 1)
            say("[%s] %s" % (self.label, line))

    def flush(self):
        if self.pending:
            say("[%s] %s" % (self.label, self.pending))
            self.pending = ""


def udp_port(preferred):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind(("127.0.0.1", preferred))
            return preferred
        except OSError:
            return harness.free_udp_port()


def left():
    return max(0.5, END - time.monotonic())


def command(program, line):
    say("[%s] > %s" % (program.name, line))
    mark = len(program.out)
    program.send(line)
    return mark


def wait_value(program, index, least):
    while True:
        s = program.status()
        if s["values"][index] >= least:
            return s
        if time.monotonic() > END:
            raise AssertionError("side %s: nothing from its console" % program.name)
        time.sleep(0.02)


def consoles(workdir, windows):
    """Each side's console options and transcript (A's in Windows' terms when
    zavik.exe plays it: Wine's drive Z: is the root of the file system)."""
    ta, tb = os.path.join(workdir, "a.txt"), os.path.join(workdir, "b.txt")
    common = "size=%d,packets=%d,hello=200" % (SIZE, PACKETS)
    return (("sim:%s,start=1,frame=16,seed=1,log=%s" % (common, ("Z:" if windows else "") + ta), ta),
            ("sim:%s,start=0,frame=20,seed=2,log=%s" % (common, tb), tb))


def session(a, b, options, windows):
    port_a, port_b = udp_port(3975), udp_port(3976)
    (sim_a, ta), (sim_b, tb) = options
    for p, port, serial in ((a, port_a, "SIM" if windows else sim_a), (b, port_b, sim_b)):
        mark = command(p, "settings 127.0.0.1 %d %s" % (port, serial))
        p.wait_log("Starting port thread...success\r\n", mark, timeout=left())

    wait_value(b, 0, 1)  # B's console has said hello
    mark_b = command(b, "click 1012")
    b.wait_log("Listening for connection ...", mark_b, timeout=left())
    mark_a = command(a, "connect 127.0.0.1 %d" % port_b)
    mark_a = a.wait_log("connected!\r\n", mark_a, timeout=left())
    mark_b = b.wait_log("connected!\r\n", mark_b, timeout=left())

    # The consoles' handshake and transfer; the counters meanwhile.
    pings = {"A": 0, "B": 0}
    marks = {"A": mark_a, "B": mark_b}
    for p in (a, b):
        marks[p.name] = p.wait_log(STARTED, marks[p.name], timeout=left())
    while not all(p.find_log(FINISHED, marks[p.name]) for p in (a, b)):
        for p in (a, b):
            s = p.status()
            if s["values"][8] == 8:
                pings[p.name] = s["values"][harness.PING]
        if time.monotonic() > END:
            raise AssertionError("the transfer did not finish in time")
        time.sleep(0.05)
    marks = {p.name: p.wait_log(FINISHED, marks[p.name]) for p in (a, b)}

    # Once the consoles are quiet and the counters shown, A disconnects.
    last = None
    while True:
        counts = [p.settled_status(timeout=left())["values"] for p in (a, b)]
        if counts == last or time.monotonic() > END:
            break
        last = counts
        time.sleep(0.3)
    mark = command(a, "click 1060")
    a.wait_log("Sending disconnect packet...disconnected\r\n", mark, timeout=left())
    b.wait_log("Disconnect packet received...disconnected\r\n", marks["B"], timeout=left())
    codes = {}
    for p in (a, b):
        command(p, "close")
        codes[p.name] = p.wait_exit(timeout=left())
    return counts, pings, codes, read_transcript(ta), read_transcript(tb)


def delivered(sender, receiver):
    """(packets sent, packets received, all whole and in order)"""
    sent = [marked(r.data) if r.phase == "control" else r.data for r in sender if r.kind == "tx"]
    got = [r.data for r in receiver if r.kind == "rx"]
    return len(sent), len(got), sent == got


def main():
    windows = len(sys.argv) == 5 and sys.argv[2] == "--windows"
    if len(sys.argv) != 2 and not windows:
        sys.exit(__doc__)
    harness.BINARY = os.path.abspath(sys.argv[1])
    global END
    END = time.monotonic() + DEADLINE
    workdir = tempfile.mkdtemp(prefix="zavik_demo_")
    options = consoles(workdir, windows)
    printers = {"A": Printer("A"), "B": Printer("B")}
    programs = []
    ok = False
    try:
        side_a = None
        if windows:
            loader, folder = sys.argv[3], sys.argv[4]
            say("[A] (zavik.exe under Wine, worked through its window: %s %s)"
                % (os.path.join(folder, "zavik.exe"), options[0][0]))
            side_a = [loader, os.path.join(folder, "zavik_driver.exe"),
                      os.path.join(folder, "zavik.exe"), options[0][0]]
        a = Headless("A", binary=side_a, on_output=printers["A"])
        programs.append(a)
        b = Headless("B", on_output=printers["B"])
        programs.append(b)
        a.wait_log(harness.START, timeout=left())
        counts, pings, codes, ra, rb = session(a, b, options, windows)
        for p in printers.values():
            p.flush()

        ab = delivered(ra, rb)
        ba = delivered(rb, ra)
        transfer = {"A": sum(r.kind == "tx" and r.phase == "transfer" for r in ra),
                    "B": sum(r.kind == "tx" and r.phase == "transfer" for r in rb)}
        say("")
        say("Summary")
        ok = True
        for name, peer, values, way, back in (("A", "B", counts[0], ab, ba),
                                              ("B", "A", counts[1], ba, ab)):
            log = (a if name == "A" else b).log()
            warns = [line for line in log.split("\r\n") if line.startswith("WARN: ")]
            started, finished = STARTED in log, FINISHED in log
            side_ok = (started and finished and way[2] and back[2] and codes[name] == 0)
            ok = ok and side_ok
            say("  side %s: %s" % (name, "ok" if side_ok else "FAILED"))
            say("    console %s -> side %s -> side %s: %d packets sent to the peer "
                "(%d transfer packets of %d bytes)" % (name, name, peer, values[1],
                                                      transfer[name], SIZE))
            say("    side %s -> console %s: %d of the peer's packets written to the console"
                % (name, name, values[4]))
            say("    console %s received what console %s sent, whole and in order: %s "
                "(%d of %d)" % (peer, name, "yes" if way[2] else "NO", way[1], way[0]))
            say("    errors: %d counted after the transfer; warnings in the log: %d%s"
                % (values[9], len(warns), "".join("\n      " + w for w in warns)))
            say("    mean ping during the transfer: %d ms" % pings[name])
            say("    transfer started: %s, finished: %s; program exit code %d"
                % ("yes" if started else "NO", "yes" if finished else "NO", codes[name]))
        say("  (Both sides are Zavik, so loss recovery is on and the ping is the path's round "
            "trip,\n   measured by each datagram's echo of the peer's newest one.)")
        if any("Bad PlayStation packet size 1" in p.log() for p in programs):
            say("  (The size warning is the program's own: the side whose console writes "
                "the eighth handshake step,\n   a one-byte packet, sends it after the "
                "transfer has begun.)")
        say("Session %s." % ("succeeded" if ok else "FAILED"))
    except Exception as e:  # any failure ends the demo with both logs shown
        for p in printers.values():
            p.flush()
        say("")
        say("Session FAILED: %s" % e)
    finally:
        for p in programs:
            p.kill()
        shutil.rmtree(workdir, ignore_errors=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
