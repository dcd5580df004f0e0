#!/usr/bin/env python3
"""Whole transfers across a lossy path. Runs the test bed's session in which
both homes press Connect (tests/net/internet_test.py: two NAT routers, a
transfer of 60 packets of 12 bytes each way between simulated consoles, a
disconnect) again and again, each run with its own seed for the hop, which
loses datagrams at random in both directions and spares none. Counts the
transfers that reached both consoles whole and in order.

    tests/net/netbed.sh run python3 bench/loss_bench.py build/native/bin/zavik-headless \\
        [--runs 100] [--loss 0.02 0.10] [--burst N] [--no-recovery]

--no-recovery runs both sides without loss recovery, for comparison. The
figures go to standard output; each run's own lines to --details.
"""
import argparse
import contextlib
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "net"))
import internet_test  # noqa: E402


def session(loss, seed, burst, args):
    """One session; None when both consoles got every packet whole and in
    order, else what went wrong."""
    test = internet_test.InternetTest("test_ten_percent_loss")
    test.setUp()
    try:
        test.both_connect("loss %g, seed %d" % (loss, seed), 0,
                          hop=["--loss", str(loss), "--burst", str(burst), "--seed", str(seed)],
                          args_a=args, args_b=args)
        return None
    except AssertionError as e:
        return str(e).split("\n")[0]
    finally:
        test.tearDown()  # the hop first, then the bed, as unittest does
        test.doCleanups()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("binary")
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--loss", type=float, nargs="+", default=[0.02, 0.10])
    ap.add_argument("--burst", type=int, default=1)
    ap.add_argument("--no-recovery", action="store_true")
    ap.add_argument("--details", default="/tmp/zavik-loss-bench.log")
    args = ap.parse_args()
    if "NETBED_RUN" not in os.environ:
        sys.exit("run it through tests/net/netbed.sh run")
    internet_test.harness.BINARY = os.path.abspath(args.binary)
    extra = ["--no-recovery"] if args.no_recovery else []
    print("recovery %s, bursts of %d, %d runs at each loss rate"
          % ("off" if extra else "on", args.burst, args.runs), flush=True)
    with open(args.details, "w") as details:
        for loss in args.loss:
            started, whole, failures = time.monotonic(), 0, []
            for run in range(args.runs):
                with contextlib.redirect_stdout(details), contextlib.redirect_stderr(details):
                    failed = session(loss, 1000 + run, args.burst, extra)
                if failed is None:
                    whole += 1
                else:
                    failures.append("seed %d: %s" % (1000 + run, failed))
            print("loss %4.1f%%: %d of %d transfers whole in both directions (%.0f s)"
                  % (100 * loss, whole, args.runs, time.monotonic() - started), flush=True)
            for f in failures:
                print("  " + f[:200], flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
