"""Spooled events survive a failed upload and odd files in the spool."""
import signal
import unittest

from harness import Agent, drop_event, require_agent, spooled_events, uploaded_events, wait_until


@require_agent
class EventSpoolFaults(unittest.TestCase):

    def test_failed_upload_keeps_the_events(self):
        agent = Agent(self, config={"FEATURE_EVENT_SUPPORT": "1"})
        agent.start()
        agent.assert_serving()
        for i in range(5):
            drop_event(agent.path("spool"), i)
        # A short file and an empty one: read as far as they go, never past.
        agent.write("spool/short.event", b"\x05\x00")
        agent.write("spool/empty.event", b"")
        agent.set_wget("fail", "event")
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: agent.wget_calls("event") >= 1, 20))
        agent.set_wget("ok", "event")
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: len(uploaded_events(agent)) >= 5, 20), agent.log()[-2000:])
        self.assertEqual(sorted(set(uploaded_events(agent))), list(range(5)))
        self.assertTrue(wait_until(lambda: spooled_events(agent) == [], 10))
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])


if __name__ == "__main__":
    unittest.main()
