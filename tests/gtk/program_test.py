#!/usr/bin/env python3
"""zavik-gtk as a user starts it, seen from outside by zavik_gtkprobe: its
window's caption and class (which the desktop entry names); it exits with 0
when its window is closed, and when a signal ends it; and the install rules put the program,
its desktop entry and its icons where a desktop looks for them.

Usage: program_test.py <zavik-gtk> <zavik_gtkprobe> <build dir> [unittest arguments]
Runs on an X display (run_xvfb.sh).
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

PROGRAM = PROBE = BUILD = None
TIMEOUT = 20


class ProgramTest(unittest.TestCase):
    def start(self):
        p = subprocess.Popen([PROGRAM], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: p.poll() is None and p.kill())
        return p

    def probe(self, *options):
        """The window's properties, once it is shown."""
        run = subprocess.run([PROBE, str(TIMEOUT)] + list(options), capture_output=True,
                             text=True, timeout=TIMEOUT + 5)
        self.assertEqual(run.returncode, 0, run.stdout)
        return dict(line.split("=", 1) for line in run.stdout.splitlines())

    def ended(self, p):
        out, err = p.communicate(timeout=TIMEOUT)
        self.assertEqual(err.decode(errors="replace"), "")  # no GTK warning
        return p.returncode

    def test_the_window_as_a_desktop_sees_it_closes_with_0(self):
        p = self.start()
        window = self.probe("--close")
        self.assertEqual(bytes.fromhex(window["caption"]).decode("utf-8"), "Zavik 0.1\u00df")
        self.assertEqual(window["class"], "zavik-gtk,Zavik-gtk")
        self.assertEqual(self.ended(p), 0)

    def test_a_signal_closes_it_as_its_close_box_does(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                p = self.start()
                self.probe()
                p.send_signal(sig)
                self.assertEqual(self.ended(p), 0)

    def test_install_puts_the_program_its_entry_and_icons_in_place(self):
        prefix = tempfile.mkdtemp(prefix="zavik_install_")
        self.addCleanup(shutil.rmtree, prefix, True)
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       capture_output=True, timeout=TIMEOUT)
        share = os.path.join(prefix, "share")
        entry = os.path.join(share, "applications", "zavik-gtk.desktop")
        for path in [os.path.join(prefix, "bin", "zavik-gtk"), entry,
                     os.path.join(share, "icons/hicolor/scalable/apps/zavik.svg")] + [
                os.path.join(share, "icons/hicolor/%dx%d/apps/zavik.png" % (n, n)) for n in (32, 64, 256)]:
            self.assertTrue(os.path.isfile(path), path)
        validate = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        self.assertEqual((validate.returncode, validate.stdout), (0, ""))
        with open(entry, encoding="utf-8") as f:
            keys = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.assertEqual((keys["Exec"], keys["Icon"]), ("zavik-gtk", "zavik"))


if __name__ == "__main__":
    PROGRAM, PROBE, BUILD = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
