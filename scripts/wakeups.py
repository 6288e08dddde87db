"""Idle wake-ups of vtclient: how often its threads wake with nothing to do.

Runs the real vtclient in a sandbox (VTCLIENT_ROOT) against the simulator,
with the wget_https stand-in speaking TLS to the simulator's HTTPS side
(the sandbox of tests/faults/harness.py). Keepalives every 25 s, no feature
with work to do. Once the channel is up, the voluntary and involuntary
context switches of every thread of the agent are counted over a window
(60 s by default) and printed as wake-ups per second, in all and per thread
(by name when the thread is named, else by thread id).

    VTCLIENT_BIN=BUILD/daemon/vtclient WGET_HTTPS_BIN=BUILD/tools/wget_https/wget_https \
        /usr/bin/python3 scripts/wakeups.py [--seconds 60]
"""

import argparse
import glob
import os
import sys
import time
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "faults"))

import harness  # noqa: E402


def switches(pid):
    """{tid: (name, voluntary + involuntary context switches)} of the live threads."""
    found = {}
    for task in glob.glob("/proc/%d/task/*" % pid):
        try:
            with open(os.path.join(task, "comm")) as f:
                name = f.read().strip()
            with open(os.path.join(task, "status")) as f:
                count = sum(int(line.split()[1]) for line in f
                            if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")))
        except (FileNotFoundError, ProcessLookupError):
            continue
        found[int(os.path.basename(task))] = (name, count)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the window")
    parser.add_argument("--keepalive", type=int, default=25, help="keepalive interval, seconds")
    args = parser.parse_args()
    if not (harness.VTCLIENT and harness.WGET_HTTPS):
        sys.exit("VTCLIENT_BIN and WGET_HTTPS_BIN must name vtclient and wget_https")

    case = unittest.TestCase()
    try:
        agent = harness.Agent(case, {"DEVICE_KEEPALIVE_INTERVAL": str(args.keepalive)}, tool="real")
        agent.start()
        if not harness.wait_until(lambda: harness.received(agent.sim, "keepalive"), 60):
            sys.exit("the agent did not reach the simulator\n" + agent.log()[-2000:])
        # The start-up's own work (registration, first exchanges) settles first.
        time.sleep(2)
        pid = agent.proc.pid
        before = switches(pid)
        start = time.monotonic()
        time.sleep(args.seconds)
        after = switches(pid)
        elapsed = time.monotonic() - start
        if not agent.alive():
            sys.exit("the agent ended during the window\n" + agent.log()[-2000:])
    finally:
        case.doCleanups()

    main_name = after.get(pid, before.get(pid, ("?", 0)))[0]
    print("vtclient idle, keepalive %d s: %.1f s window, %d threads" % (args.keepalive, elapsed, len(after)))
    total = 0
    for tid in sorted(set(before) | set(after)):
        name, end = after.get(tid, before.get(tid))
        woke = end - before.get(tid, (name, 0))[1]
        total += woke
        named = name != main_name or tid == pid
        label = "%s (%d)" % (name, tid) if named else "tid %d" % tid
        print("  %-28s %6.2f /s%s" % (label, woke / elapsed, "" if tid in after else "  (ended)"))
    print("all threads                    %6.2f /s" % (total / elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
