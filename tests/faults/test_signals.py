"""SIGUSR1 and SIGUSR2 storms, with event files arriving all the while; a
SIGTERM or SIGINT that ends the agent within 5 s whatever it is waiting for,
its threads joined in order; a SIGHUP that starts a new cycle."""
import os
import signal
import threading
import unittest

from harness import Agent, ask, drop_event, require_agent, spooled_events, uploaded_events, wait_until

JOINED = ["Feature thread joined", "Report thread joined", "Sender Joined", "Receiver Joined",
          "Punch hole Joined", "Command handler Joined"]


@require_agent
class SignalStorms(unittest.TestCase):

    def test_usr1_storm_loses_no_event(self):
        agent = Agent(self, config={"FEATURE_EVENT_SUPPORT": "1"})
        agent.start()
        agent.assert_serving()
        total = 300
        producer = threading.Thread(target=lambda: [drop_event(agent.path("spool"), i) for i in range(total)])
        producer.start()
        storms = 0
        while producer.is_alive() or storms < 2000:
            agent.signal(signal.SIGUSR1)
            storms += 1
        producer.join()
        agent.signal(signal.SIGUSR1)  # collects whatever arrived after the last one ran
        self.assertTrue(wait_until(lambda: len(uploaded_events(agent)) >= total, 60),
                        "%d of %d events uploaded" % (len(uploaded_events(agent)), total))
        self.assertEqual(sorted(uploaded_events(agent)), list(range(total)), "events lost or sent twice")
        self.assertTrue(wait_until(lambda: spooled_events(agent) == [], 10))  # gone once accepted
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_usr2_storm(self):
        agent = Agent(self)
        agent.start()
        agent.assert_serving()
        for _ in range(5000):
            agent.signal(signal.SIGUSR2)
        agent.assert_serving()
        before = agent.log().count("Debug mode O")
        agent.signal(signal.SIGUSR2)  # the toggle still works
        self.assertTrue(agent.wait_log("Debug mode O", 10, before + 1))

    def test_sigterm_or_sigint_ends_every_wait_within_five_seconds(self):
        def idle(agent):
            agent.start()
            agent.assert_serving()
            return True

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

        for prepare, sig in ((idle, signal.SIGINT), (endless_action, signal.SIGTERM),
                             (hanging_wan_links, signal.SIGTERM), (hour_long_retry_wait, signal.SIGTERM)):
            with self.subTest(prepare.__name__):
                agent = Agent(self)
                self.assertTrue(prepare(agent), agent.log()[-2000:])
                seconds = agent.terminate(sig)
                print("%s to exit, %s: %s s" % (sig.name, prepare.__name__, seconds))
                self.assertLessEqual(seconds or 99, 5.0, agent.log()[-2000:])
                self.assertEqual(agent.proc.returncode, 0)
                joined = [m for m in agent.log_messages() if m in JOINED]
                self.assertEqual(joined, JOINED if prepare is idle else [m for m in JOINED if m in joined])
                # A killed process dies a moment after the signal.
                self.assertTrue(wait_until(lambda: not agent.session_processes(), 10), agent.session_processes())

    def test_sighup_starts_a_new_cycle_with_the_changed_configuration(self):
        agent = Agent(self, config={"DEVICE_KEEPALIVE_INTERVAL": "20"})
        agent.start()
        agent.assert_serving()
        self.assertIn("keepalive: 20", agent.log_messages())
        agent.config["DEVICE_KEEPALIVE_INTERVAL"] = "30"
        agent.write_config()
        agent.signal(signal.SIGHUP)
        self.assertTrue(agent.wait_message("keepalive: 30"))
        self.assertTrue(agent.wait_message("Command handler Joined"))
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 30))
        agent.assert_serving()
        self.assertEqual(agent.stop(), 0, agent.read("stderr"))
