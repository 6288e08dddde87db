"""Spooled events survive a failed upload and odd files in the spool."""
import os
import signal
import unittest

from harness import Agent, require_agent, wait_until
from test_signals import EVENT_CONFIG, drop_event, uploaded_events


@require_agent
class EventSpoolFaults(unittest.TestCase):

    def test_failed_upload_keeps_the_events(self):
        agent = Agent(self, config=EVENT_CONFIG)
        agent.start()
        agent.assert_serving()
        for i in range(5):
            drop_event(agent.path("spool"), i)
        # A short file and an empty one: read as far as they go, never past.
        agent.write("spool/short.event", "\x05\x00")
        agent.write("spool/empty.event", "")
        agent.set_wget("fail", "event")
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: agent.wget_calls("event") >= 1, 20))
        agent.set_wget("ok", "event")
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: len(uploaded_events(agent)) >= 5, 20),
                        agent.log()[-2000:])
        self.assertEqual(sorted(set(uploaded_events(agent))), list(range(5)))
        self.assertTrue(wait_until(
            lambda: [n for n in os.listdir(agent.path("spool")) if ".event" in n] == [], 10))
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])


if __name__ == "__main__":
    unittest.main()
