"""SIGUSR1 and SIGUSR2 storms, with event files arriving all the while; a
SIGTERM or SIGINT that ends the agent within 5 s whatever it is waiting for,
its threads joined in order; a SIGHUP that starts a new cycle; a firmware
upgrade that neither a reload nor a stop cuts."""
import os
import signal
import threading
import time
import unittest

from harness import Agent, ask, drop_event, require_agent, spooled_events, uploaded_events, wait_until

JOINED = ["Feature thread joined", "Report thread joined", "Sender Joined", "Receiver Joined",
          "Punch hole Joined", "Command handler Joined"]


def end_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


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
        # The toggle still works. A pass that takes the interface update file
        # has logged where the storm left the flag; the next toggle is a new line.
        agent.write("tmp/interface.update", "")
        self.assertTrue(wait_until(lambda: not os.path.exists(agent.path("tmp/interface.update")), 30))
        before = agent.log().count("Debug mode O")
        agent.signal(signal.SIGUSR2)
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

    def test_firmware_upgrade_runs_to_its_end_across_reload_and_stop(self):
        # The shell's pid (the group the agent made for it), about 4 s of
        # writing flash, then the mark of its end. A budget of 2 s that the
        # upgrade outlasts: a budget ends retries, never a running flash.
        upgrade = "echo $$ > $VTCLIENT_ROOT/upgrade.pid; sleep 4; echo done > $VTCLIENT_ROOT/upgrade.done"
        for sig in (signal.SIGHUP, signal.SIGTERM):
            with self.subTest(signal.Signals(sig).name):
                agent = Agent(self, config={"FEATURE_FIRMWARE_SUPPORT": "1", "FEATURE_FIRMWARE_TIMEOUT": "2",
                                            "FEATURE_FIRMWARE_ACTION_CMD": upgrade})
                agent.start()
                agent.assert_serving()
                self.assertEqual(ask(agent.sim, lambda s: s.invite(0x1))["result"], "accepted")
                self.assertTrue(wait_until(lambda: agent.read("upgrade.pid").strip(), 20), agent.log()[-2000:])
                pid = int(agent.read("upgrade.pid"))
                done = lambda agent=agent: os.path.exists(agent.path("upgrade.done"))
                cycles = lambda: [m for m in agent.log_messages() if m.startswith("log enable: ")]
                # The upgrade's group goes with the test, unless it has ended.
                self.addCleanup(lambda pid=pid, done=done: done() or end_group(pid))
                if sig == signal.SIGHUP:
                    sent = time.monotonic()
                    agent.signal(sig)
                    # The new cycle starts only once the upgrade has ended.
                    self.assertTrue(wait_until(lambda: len(cycles()) == 2, 30), agent.log()[-2000:])
                    self.assertTrue(done(), "the reload did not wait for the upgrade")
                    print("SIGHUP during the upgrade: it ran to its end, the new cycle began %.1f s later"
                          % (time.monotonic() - sent))
                    self.assertIn("Firmware Thread is going to sleep", agent.log_messages())
                    agent.assert_serving()
                else:
                    seconds = agent.terminate(sig)
                    left_running = not done()
                    ended = wait_until(done, 20)
                    print("SIGTERM during the upgrade: exit in %s s, the upgrade %s" % (
                        "%.2f" % seconds if seconds else "no", "ran to its end" if ended else "was cut"))
                    self.assertIsNotNone(seconds, agent.log()[-2000:])
                    self.assertLessEqual(seconds, 5.0)
                    self.assertEqual(agent.proc.returncode, 0)
                    self.assertTrue(left_running, "the agent waited for the upgrade")
                    self.assertTrue(ended, "the upgrade was cut")
                    named = [m for m in agent.log_messages() if "pid %d" % pid in m and upgrade in m]
                    self.assertEqual(len(named), 1, agent.log()[-2000:])
                self.assertEqual(agent.count("ERROR"), 0)

