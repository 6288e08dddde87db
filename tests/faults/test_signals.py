"""SIGUSR1 and SIGUSR2 storms, with event files arriving all the while; a
SIGTERM that ends the agent within 5 s whatever it is waiting for."""
import os
import signal
import threading
import unittest

from harness import (Agent, ask, drop_event, require_agent, spooled_events, uploaded_events,
                     wait_until)


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


    def test_sigterm_ends_every_wait_within_five_seconds(self):
        def endless_action(agent):
            agent.config.update({"FEATURE_REMOTE_ACTION_SUPPORT": "1", "FEATURE_REMOTE_ACTION_TIMEOUT": "100000",
                                 "FEATURE_REMOTE_ACTION_CMD": "sleep"})
            agent.start()
            agent.assert_serving()
            self.assertEqual(ask(agent.sim, lambda s: s.action(7, ["100000"]))["result"], "accepted")
            return agent.wait_log("Start action request") and wait_until(agent.session_processes, 20)

        def hanging_wan_links(agent):
            # Each of three links would hold the authorisation for the tool's
            # 10 s time-out and 5 s of grace.
            agent.write("etc/TRELL_wanno", "3\n")
            for n in (1, 2, 3):
                os.makedirs(agent.path("var/run/wanmon/wan%d" % n))
                agent.write("var/run/wanmon/wan%d/status" % n, "CONN_STATUS=connected\nCONN_LOGDEV=lo\n")
            agent.set_wget("hang")
            agent.start()
            return wait_until(lambda: agent.wget_calls("register") >= 1, 20)

        def hour_long_retry_wait(agent):
            agent.config.update({"FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_AUTO_START": "1",
                                 "FEATURE_CONFIG_TIMEOUT": "100000", "FEATURE_CONFIG_AUTO_RETRY": "3",
                                 "FEATURE_CONFIG_AUTO_RETRY_INTERVAL": "3600", "FEATURE_CONFIG_FETCH_CMD": "false"})
            agent.start()
            return agent.wait_message("Fetch fail")

        for name, prepare in (("endless action", endless_action), ("three hanging WAN links", hanging_wan_links),
                              ("retry wait of 3600 s", hour_long_retry_wait)):
            with self.subTest(name):
                agent = Agent(self)
                self.assertTrue(prepare(agent), agent.log()[-2000:])
                seconds = agent.terminate()
                print("SIGTERM to exit, %s: %s s" % (name, "%.2f" % seconds if seconds else "no exit"))
                self.assertIsNotNone(seconds, agent.log()[-2000:])
                self.assertLessEqual(seconds, 5.0)
                self.assertEqual(agent.proc.returncode, 0)
                # A killed process dies a moment after the signal.
                self.assertTrue(wait_until(lambda: not agent.session_processes(), 10), agent.session_processes())


if __name__ == "__main__":
    unittest.main()
