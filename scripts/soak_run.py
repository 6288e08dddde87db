"""Soak: vtclient against the simulator under an accelerated clock.

The agent runs under libfaketime at RATE times real speed, so a day of its
own time passes in a few real minutes. Throughout, the server sends
invitations and remote actions, the agent's schedule submits GPS positions
and uploads reports, and event files are spooled and signalled. Every few
seconds the agent's resident memory, open descriptors and threads are
sampled. At the end it prints the curve's start and end and the totals, and
exits non-zero when a request went unanswered, an event was lost, the agent
died, or memory, descriptors or threads grew after warm-up.

    VTCLIENT_BIN=build/default/daemon/vtclient scripts/soak_run.py [real seconds] [rate]
"""
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "faults"))
from harness import Agent, ask, drop_event, received, uploaded_events, wait_until  # noqa: E402


REAL_SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
RATE = int(sys.argv[2]) if len(sys.argv) > 2 else 150
SAMPLE_EVERY = 5.0
WARM_UP = 0.2  # share of the run after which the curve must be flat


def proc_status(pid):
    """(resident KiB, open descriptors, threads) of a process."""
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f if ":" in line)
    return (int(fields["VmRSS"].split()[0]), len(os.listdir("/proc/%d/fd" % pid)),
            int(fields["Threads"]))


def main():
    case = unittest.TestCase()  # for the harness's clean-up and checks
    agent = Agent(case, speed=RATE, config=dict(
        DEVICE_DISCONNECT_TIMEOUT="600", DEVICE_KEEPALIVE_INTERVAL="25", DEVICE_LOG_FILE_SIZE="65536",
        FEATURE_EVENT_SUPPORT="1",
        FEATURE_CONFIG_SUPPORT="1", FEATURE_CONFIG_TIMEOUT="120",
        FEATURE_REMOTE_ACTION_SUPPORT="1", FEATURE_REMOTE_ACTION_TIMEOUT="120",
        FEATURE_REMOTE_ACTION_CMD="echo",
        FEATURE_GPSDATA_SUPPORT="1", FEATURE_GPSDATA_TIMEOUT="60", FEATURE_GPSDATA_AUTO_START="1",
        FEATURE_GPSDATA_AUTO_START_TIME="30", FEATURE_GPSDATA_AUTO_REPEAT="1",
        FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL="300",
        FEATURE_GPSDATA_FETCH_CMD="echo 1 1700000000 48.5 -10.25",
        FEATURE_REPORT_SUPPORT="1", FEATURE_REPORT_TIMEOUT="120", FEATURE_REPORT_AUTO_REPEAT="1",
        FEATURE_REPORT_AUTO_REPEAT_INTERVAL="1800"))
    agent.config.update(FEATURE_CONFIG_SOURCE=agent.private("config.export"),
                        FEATURE_CONFIG_FETCH_CMD="echo A=1 > " + agent.private("config.export"),
                        FEATURE_REPORT_SOURCE=agent.private("report.gz"),
                        FEATURE_REPORT_FETCH_CMD="echo report > " + agent.private("report.gz"))
    # Only the wall clock runs fast: the channel's once-a-tick threads act
    # once per real second while the agent's timetables run at RATE.
    agent.start()
    sim = agent.sim
    if not wait_until(lambda: received(sim, "keepalive"), 30):
        print("soak: no keepalive reached the server\n" + agent.log()[-3000:])
        return 1

    start = time.monotonic()
    samples = []
    sent = {"invitations": 0, "actions": 0, "events": 0}
    answered = {"invitations": 0, "actions": 0}
    busy = 0
    next_sample = start
    while time.monotonic() - start < REAL_SECONDS and agent.alive():
        now = time.monotonic()
        if now >= next_sample:
            samples.append((now - start,) + proc_status(agent.proc.pid))
            next_sample += SAMPLE_EVERY
        # One round: a config sync invitation, a remote action, three events.
        sent["invitations"] += 1
        reply = ask(sim, lambda s: s.invite(0x2), timeout=20, resend=5)
        # Accepted, or no reply at all while the worker is busy (by design:
        # the request is ignored, not refused). A refusal would be wrong.
        if reply is not None and reply["result"] == "accepted":
            answered["invitations"] += 1
        elif reply is None and agent.alive():
            busy += 1
        sent["actions"] += 1
        reply = ask(sim, lambda s: s.action(sent["actions"], ["soak"]), timeout=20, resend=5)
        if reply is not None:
            answered["actions"] += 1
        for _ in range(3):
            drop_event(agent.path("spool"), sent["events"])
            sent["events"] += 1
        agent.signal(signal.SIGUSR1)
        time.sleep(1.0)

    real = time.monotonic() - start
    alive = agent.alive()
    if alive:
        agent.signal(signal.SIGUSR1)
        wait_until(lambda: len(set(uploaded_events(agent))) >= sent["events"], 30)
        samples.append((real,) + proc_status(agent.proc.pid))
    events_up = len(set(uploaded_events(agent)))
    gps = len(received(sim, "gps"))
    keepalives = len(received(sim, "keepalive"))
    agent.stop()

    print("soak: %.0f s real at x%d = %.1f simulated hours" % (real, RATE, real * RATE / 3600))
    print("      t(s)  RSS(KiB)  fds  threads")
    shown = samples[:3] + [None] + samples[-3:] if len(samples) > 6 else samples
    for s in shown:
        print("      ..." if s is None else "    %6.0f  %8d  %3d  %7d" % s)
    print("keepalives answered: %d, GPS reports received: %d" % (keepalives, gps))
    print("invitations: %d sent, %d accepted, %d ignored while the worker was busy"
          % (sent["invitations"], answered["invitations"], busy))
    print("actions: %d sent, %d answered" % (sent["actions"], answered["actions"]))
    print("events: %d spooled, %d uploaded" % (sent["events"], events_up))
    print("reports uploaded: %d, config syncs: %d" % (agent.wget_calls("report"),
                                                       agent.wget_calls("config")))

    failures = []
    if not alive:
        failures.append("the agent died")
    if answered["actions"] != sent["actions"] or answered["invitations"] + busy != sent["invitations"]:
        failures.append("requests went unanswered")
    if events_up != sent["events"]:
        failures.append("events were lost")
    warm = [s for s in samples if s[0] >= real * WARM_UP]
    if len(warm) >= 2:
        first, last = warm[0], warm[-1]
        if last[1] > first[1] * 1.25 + 512:
            failures.append("resident memory grew after warm-up")
        if last[2] > first[2] + 2:
            failures.append("descriptors grew after warm-up")
        if last[3] > first[3] + 1:
            failures.append("threads grew after warm-up")
    case.doCleanups()
    if failures:
        print("soak FAILED: " + "; ".join(failures))
        return 1
    print("soak passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
