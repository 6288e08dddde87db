"""The wall clock stepped back an hour and forward a day under a running agent."""
import unittest

from harness import Agent, received, require_agent, under_thread_sanitizer, wait_until


@require_agent
@unittest.skipIf(under_thread_sanitizer(), "no faked clock under ThreadSanitizer")
class ClockSteps(unittest.TestCase):

    def test_clock_stepped_back_and_forward(self):
        agent = Agent(self, config={
            # GPS planned a day ahead: only the step back can make it due now.
            "FEATURE_GPSDATA_SUPPORT": "1",
            "FEATURE_GPSDATA_AUTO_START": "1",
            "FEATURE_GPSDATA_AUTO_START_TIME": "86400",
            "FEATURE_GPSDATA_TIMEOUT": "60",
            "FEATURE_GPSDATA_FETCH_CMD": "echo 1 1700000000 48.5 -10.25",
        })
        agent.write("faketime", "+0\n")
        # Only the wall clock steps; the monotonic clock never does on a device.
        agent.faketime = {"FAKETIME_TIMESTAMP_FILE": agent.path("faketime"),
                          "FAKETIME_CACHE_DURATION": "1", "DONT_FAKE_MONOTONIC": "1"}
        agent.start()
        agent.assert_serving()
        self.assertEqual(received(agent.sim, "gps"), [])

        agent.write("faketime", "-3600\n")
        # Everything scheduled becomes due at once: the GPS report comes now.
        self.assertTrue(wait_until(lambda: received(agent.sim, "gps"), 20), agent.log()[-3000:])
        report = received(agent.sim, "gps")[0]
        self.assertEqual((report["gps"], report["errors"]), ("1700000000,48500000,-10250000,1", ""))
        agent.assert_serving()

        agent.write("faketime", "+86400\n")
        agent.assert_serving(timeout=40)
        agent.write("faketime", "+0\n")
        agent.assert_serving(timeout=40)
        self.assertEqual(agent.leftover_temp_files(), [])


if __name__ == "__main__":
    unittest.main()
