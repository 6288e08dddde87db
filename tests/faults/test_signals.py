"""A SIGUSR1 storm with event files arriving all the while, then a SIGUSR2
storm on a full log disk; a SIGTERM or SIGINT that ends the agent within 5 s whatever it
waits for, its threads joined in order; a firmware upgrade that neither a
reload (a new cycle, the changed configuration read) nor a stop cuts."""
import os
import signal
import subprocess
import threading
import unittest

from harness import Agent, drop_event, require_agent, spooled_events, uploaded_events, wait_until

JOINED = ["Feature thread joined", "Report thread joined", "Sender Joined", "Receiver Joined",
          "Punch hole Joined", "Command handler Joined"]


@require_agent
class SignalStorms(unittest.TestCase):

    def test_usr1_storm_loses_no_event_then_usr2_storm_on_a_full_log_disk(self):
        # Debug mode makes every packet a log line: the full disk is hit hard.
        # A small rotation size: files rotate on the full disk too.
        agent = Agent(self, config={"FEATURE_EVENT_SUPPORT": "1", "DEVICE_LOG_FILE_SIZE": "8000",
                                    "DEVICE_LOG_NUM_FILE": "3"})
        agent.config["DEVICE_LOG_PATH"] = os.path.join(agent.small_disk("logdisk"), "udp_client.log")
        agent.started()
        total = 300
        producer = threading.Thread(target=lambda: [drop_event(agent.path("spool"), i) for i in range(total)])
        producer.start()
        storms = 0
        while producer.is_alive() or storms < 2000:
            agent.signal(signal.SIGUSR1)
            storms += 1
        producer.join()
        agent.signal(signal.SIGUSR1)  # collects whatever arrived after the last one ran
        agent.check(lambda: sorted(uploaded_events(agent)) == list(range(total)), 60)  # none lost or sent twice
        agent.check(lambda: spooled_events(agent) == [], 10)  # gone once accepted
        agent.assert_serving()
        self.assertEqual(agent.leftover_temp_files(), [])
        filler = agent.path("logdisk", "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=1k"], stderr=subprocess.DEVNULL)
        for _ in range(5001):
            agent.signal(signal.SIGUSR2)
        # A pass that takes the interface update file has seen where the storm left the flag.
        agent.write("tmp/interface.update", "")
        agent.check(lambda: not os.path.exists(agent.path("tmp/interface.update")))
        for _ in range(2):
            agent.assert_serving()
        os.unlink(filler)
        # With room again, logging resumes, and the toggle still works.
        for _ in range(2):
            before = agent.log().count("Debug mode O")
            agent.signal(signal.SIGUSR2)
            agent.expect("Debug mode O", 10, before + 1)
        agent.assert_serving()

    def test_sigterm_or_sigint_ends_every_wait_within_five_seconds(self):
        # Each of three WAN links would hold the authorisation for the tool's 10 s time-out and 5 s of grace.
        wan_links = dict({"etc/TRELL_wanno": "3\n"}, **{"var/run/wanmon/wan%d/status" % n:
                                                      "CONN_STATUS=connected\nCONN_LOGDEV=lo\n" for n in (1, 2, 3)})
        rows = [  # what it waits for: its configuration, files, the fetch tool's mode, when it waits, the signal
            ("idle", {}, {}, "ok", lambda agent: agent.assert_serving() or True, signal.SIGINT),
            ("hanging WAN links", {}, wan_links, "hang", lambda agent: agent.wget_calls("register"), signal.SIGTERM),
            ("hour-long retry wait", {"FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_AUTO_START": "1",
                                      "FEATURE_CONFIG_TIMEOUT": "100000", "FEATURE_CONFIG_AUTO_RETRY": "3",
                                      "FEATURE_CONFIG_AUTO_RETRY_INTERVAL": "3600", "FEATURE_CONFIG_FETCH_CMD": "false"},
             {}, "ok", lambda agent: agent.count("Fetch fail"), signal.SIGTERM),
        ]
        for name, config, files, mode, waiting, sig in rows:
            with self.subTest(name):
                agent = Agent(self, config=config)
                for path, text in files.items():
                    os.makedirs(os.path.dirname(agent.path(path)), exist_ok=True)
                    agent.write(path, text)
                agent.set_wget(mode)
                agent.start()
                agent.check(lambda: waiting(agent))
                agent.terminate(sig)
                joined = [m for m in agent.log_messages() if m in JOINED]
                self.assertEqual(joined, JOINED if name == "idle" else [m for m in JOINED if m in joined])
                # A killed process dies a moment after the signal.
                self.assertTrue(wait_until(lambda: not agent.session_processes(), 10), agent.session_processes())

    def test_firmware_upgrade_runs_to_its_end_across_reload_and_stop(self):
        # The shell's pid (the group the agent made for it), about 4 s of
        # writing flash, then the mark of its end. A budget of 2 s that the
        # upgrade outlasts: a budget ends retries, never a running flash.
        upgrade = "echo $$ >> $VTCLIENT_ROOT/upgrade.pid; sleep 4; echo done >> $VTCLIENT_ROOT/upgrade.done"
        agent = Agent(self, config={"FEATURE_FIRMWARE_SUPPORT": "1", "FEATURE_FIRMWARE_TIMEOUT": "2",
                                    "FEATURE_FIRMWARE_ACTION_CMD": upgrade}).started()
        pids = lambda: [int(p) for p in agent.read("upgrade.pid").split()]
        ended = lambda: agent.read("upgrade.done").count("done")
        # The groups of the upgrades that have not ended go with the test.
        self.addCleanup(lambda: [subprocess.run(["kill", "-9", "--", "-%d" % p]) for p in pids()[ended():]])
        # A reload while the first runs: a new cycle with the changed configuration, once it has ended.
        agent.accepts(lambda s: s.invite(0x1))
        agent.check(pids, 20)
        agent.config["DEVICE_KEEPALIVE_INTERVAL"] = "30"
        agent.write_config()
        agent.signal(signal.SIGHUP)
        agent.expect("keepalive: 30")
        self.assertEqual(ended(), 1, "the reload did not wait for the upgrade")
        self.assertIn("Firmware Thread is going to sleep", agent.log_messages())
        self.assertIn("Command handler Joined", agent.log_messages())
        agent.check(lambda: agent.wget_calls("register") >= 2)
        agent.assert_serving()
        # A stop while the second runs: the agent neither waits for it nor cuts it.
        agent.accepts(lambda s: s.invite(0x1))
        agent.check(lambda: len(pids()) == 2, 20)
        agent.terminate()
        self.assertEqual(ended(), 1, "the agent waited for the upgrade")
        self.assertTrue(wait_until(lambda: ended() == 2, 20), "the upgrade was cut")
        named = [m for m in agent.log_messages() if "pid %d" % pids()[1] in m and upgrade in m]
        self.assertEqual(len(named), 1, agent.log()[-2000:])
        self.assertEqual(agent.count("ERROR"), 0)
