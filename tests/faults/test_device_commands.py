"""A command's kept output is capped; commands inherit no descriptor; commands
that never end stop neither the rest of the agent nor its stop. The fetch tool
missing, failing, answering garbage, or hanging past its time-out."""
import os
import unittest

from harness import SANITIZED, Agent, ask, received, require_agent

OUTPUT_CAP = 1024 * 1024


@require_agent
class CommandsAndTools(unittest.TestCase):

    def test_huge_then_endless_commands(self):
        # The action lists the descriptors it inherited, writes 200 MB of text, then
        # sleeps as long as its argument asks.
        agent = Agent(self, config={
            "FEATURE_GPSDATA_SUPPORT": "1", "FEATURE_GPSDATA_TIMEOUT": "1000",
            "FEATURE_GPSDATA_FETCH_CMD": "sleep 100000", "FEATURE_GPSDATA_TRIGGER_SUPPORT": "1",
            "FEATURE_REMOTE_ACTION_SUPPORT": "1", "FEATURE_REMOTE_ACTION_TIMEOUT": "1000",
            "FEATURE_REMOTE_ACTION_CMD": "ls -l /proc/self/fd > $VTCLIENT_ROOT/fds; "
                                         "head -c 200000000 /dev/zero | tr '\\0' x; sleep",
            "FEATURE_DEBUG_DUMP_SUPPORT": "1", "FEATURE_DEBUG_DUMP_TIMEOUT": "30",
            "FEATURE_DEBUG_DUMP_CMD": "echo dump of the device"}).started()
        idle = agent.memory_kib()
        agent.accepts(lambda s: s.action(7, ["0"]))
        agent.expect("Action finish", 60)
        # Apart from the one ls reads the listing through.
        fds = [l.split()[-3] for l in agent.read("fds").splitlines() if " -> " in l and " -> /proc/" not in l]
        self.assertEqual(sorted(fds), ["0", "1", "2"], agent.read("fds"))
        [body] = agent.bodies("action")
        self.assertIn("x" * 1000 + "\n[output cut after %d bytes]\n" % OUTPUT_CAP, body)
        self.assertLess(len(body), OUTPUT_CAP + 4096)
        if not SANITIZED:  # their runtimes keep freed memory in quarantine
            self.assertLessEqual(agent.memory_kib(), idle + 4096)
        # The feature worker starts a GPS fetch that never ends, and an action never ends.
        agent.write("tmp/syncConfig.now", "")
        agent.expect("Start GPS Submission")
        reply = ask(agent.sim, lambda s: s.action(8, ["100000"]))  # the simulator checks the echoed id
        self.assertEqual((reply["result"], reply["errors"]), ("accepted", ""))
        agent.expect("Start action request", count=2)
        # The channel and the debug dump still work.
        agent.assert_serving()
        agent.accepts(lambda s: s.send_request(5))
        agent.check(lambda: agent.wget_calls("dump") >= 1, 20)
        agent.expect("Debug dump finish")
        self.assertFalse(os.path.exists(agent.path("tmp", "vtclient", "qdms_debug_dump.dump")))
        agent.assert_serving()
        # A stop ends the agent within 5 s all the same, and the commands go with it.
        self.assertLessEqual(agent.terminate(), 5.0, agent.log()[-2000:])
        self.assertEqual(agent.proc.returncode, 0)
        agent.check(lambda: not agent.session_processes(), 10)

    def test_missing_then_failing_then_working_tool(self):
        # The clock runs ten times faster: the next authorisation may start 10 s after a failed one.
        agent = Agent(self, tool=None, speed=10)
        agent.start()
        agent.check(lambda: agent.log().count("Get AUTH Fail"))
        agent.set_wget("fail")
        agent.install_wget()
        agent.check(lambda: agent.wget_calls("register") >= 2, 40)
        self.assertTrue(agent.alive())
        self.assertEqual(received(agent.sim, "keepalive"), [])
        agent.set_wget("ok")
        agent.assert_serving(timeout=40)
        self.assertEqual(agent.leftover_temp_files(), [])

    def test_garbage_or_hanging_tool(self):
        # A hanging tool is killed 5 s past its own limits, 10 s for authorisation
        # and 30 s for a feature exchange; both hang at once, so the waits overlap.
        for mode, speed, ends in (("garbage", 10, "Get AUTH Fail"), ("hang", None, "Reestablish success")):
            with self.subTest(mode):
                agent = Agent(self, config={"FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "100"}, speed=speed)
                agent.started({"FEATURE_CONFIG_SOURCE": agent.private("config.export"),
                               "FEATURE_CONFIG_FETCH_CMD": "echo A=1 > " + agent.private("config.export")})
                agent.set_wget(mode, "config")
                agent.accepts(lambda s: s.invite(0x2))
                agent.check(lambda: agent.wget_calls("config") >= 1, 20)
                agent.assert_serving()  # the channel goes on while the feature worker waits
                # A re-authorisation too: the channel must get past it.
                agent.set_wget(mode, "register")
                agent.write("tmp/interface.update", "")
                agent.check(lambda: agent.wget_calls("register") >= 2, 20)
                agent.set_wget("ok", "register")
                agent.check(lambda: ends in agent.log(), 60)
                agent.assert_serving()
                agent.check(lambda: "Config sync error" in agent.log(), 60)
                agent.check(lambda: agent.leftover_temp_files() == [], 10)
                self.assertEqual(os.listdir(agent.private("")), ["config.export"])
