"""SIGUSR1 and SIGUSR2 storms, with event files arriving all the while."""
import signal
import threading
import unittest

from harness import Agent, drop_event, require_agent, spooled_events, uploaded_events, wait_until


@require_agent
class SignalStorms(unittest.TestCase):

    def test_usr1_storm_loses_no_event(self):
        agent = Agent(self, config={"FEATURE_EVENT_SUPPORT": "1"})
        agent.start()
        agent.assert_serving()
        total = 300
        produced = threading.Event()

        def producer():
            for i in range(total):
                drop_event(agent.path("spool"), i)
            produced.set()

        thread = threading.Thread(target=producer)
        thread.start()
        storms = 0
        while not produced.is_set() or storms < 2000:
            agent.signal(signal.SIGUSR1)
            storms += 1
        thread.join()
        # One more request collects whatever arrived after the last one ran.
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: len(uploaded_events(agent)) >= total, 60),
                        "%d of %d events uploaded" % (len(uploaded_events(agent)), total))
        self.assertEqual(sorted(uploaded_events(agent)), list(range(total)), "events lost or sent twice")
        # The files go once the server has accepted them.
        self.assertTrue(wait_until(lambda: spooled_events(agent) == [], 10))
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_usr2_storm(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        for _ in range(5000):
            agent.signal(signal.SIGUSR2)
        agent.assert_serving()
        # The toggle still works after the storm.
        before = agent.log().count("Debug mode O")
        agent.signal(signal.SIGUSR2)
        self.assertTrue(agent.wait_log("Debug mode O", 10, before + 1))


if __name__ == "__main__":
    unittest.main()
