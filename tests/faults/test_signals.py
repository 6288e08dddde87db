"""SIGUSR1 and SIGUSR2 storms, with event files arriving all the while."""
import os
import re
import signal
import struct
import threading
import time
import unittest

from harness import Agent, require_agent, wait_until

EVENT_CONFIG = {
    "FEATURE_EVENT_SUPPORT": "1",
    "FEATURE_EVENT_PATH": "event",
}


def drop_event(spool, index):
    """Writes one event record the way producers should: whole, then renamed."""
    record = struct.pack("=ii132s", 100 + index % 7, 1700000000 + index,
                         ("event number %d" % index).encode())
    tmp = os.path.join(spool, "ev%06d.part" % index)
    with open(tmp, "wb") as f:
        f.write(record)
    os.rename(tmp, os.path.join(spool, "ev%06d.event" % index))


def uploaded_events(agent):
    """The event numbers found in every event upload body so far."""
    found = []
    bodies = agent.path("wget", "bodies")
    for name in os.listdir(bodies):
        if name.startswith("event."):
            with open(os.path.join(bodies, name), "rb") as f:
                found += [int(n) for n in re.findall(rb"event number (\d+)", f.read())]
    return found


@require_agent
class SignalStorms(unittest.TestCase):

    def test_usr1_storm_loses_no_event(self):
        agent = Agent(self, config=EVENT_CONFIG)
        agent.start()
        agent.assert_serving()
        total = 300
        stop = threading.Event()

        def producer():
            for i in range(total):
                drop_event(agent.path("spool"), i)
                if i % 10 == 0:
                    time.sleep(0.01)
            stop.set()

        thread = threading.Thread(target=producer)
        thread.start()
        storms = 0
        while not stop.is_set() or storms < 2000:
            agent.signal(signal.SIGUSR1)
            storms += 1
        thread.join()
        # One more request collects whatever arrived after the last one ran.
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: len(uploaded_events(agent)) >= total, 60),
                        "%d of %d events uploaded" % (len(uploaded_events(agent)), total))
        got = uploaded_events(agent)
        self.assertEqual(sorted(got), list(range(total)), "events lost or sent twice")
        # The files go once the server has accepted them.
        self.assertTrue(wait_until(
            lambda: [n for n in os.listdir(agent.path("spool")) if ".event" in n] == [], 10))
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_usr2_storm(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        for _ in range(5000):
            agent.signal(signal.SIGUSR2)
        agent.assert_serving()
        # The toggle still works after the storm: two more flips are seen.
        agent.signal(signal.SIGUSR2)
        self.assertTrue(agent.wait_log("Debug mode", 10))
        self.assertTrue(agent.alive())


if __name__ == "__main__":
    unittest.main()
