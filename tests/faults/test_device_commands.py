"""What comes from outside is bounded: peak memory against idle under huge
answers, a huge spool and a command's huge output (its kept output capped),
and the configuration answer on a full disk. Commands inherit no descriptor;
commands that never end stop neither the rest of the agent nor its stop. The
fetch tool missing, failing, answering garbage, or hanging past its time-out."""
import os
import shutil
import signal
import unittest

from harness import EXEC_PREFIX, FAKE_WGET, SANITIZED, Agent, ask, event_record, received, require_agent

MiB = 1024 * 1024
BOUND_HOLDS = not SANITIZED and not EXEC_PREFIX  # the figures of a sanitizer or an emulator say little


def write_streamed(path, head, size, tail=b""):
    """head, then size bytes of short lines, then tail, a MiB at a time."""
    chunk = (b"K=" + b"v" * 61 + b"\n") * (MiB // 64)
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(size // len(chunk)):
            f.write(chunk)
        f.write(tail)


@require_agent
class CommandsAndTools(unittest.TestCase):

    def test_huge_answers_spool_and_output_then_endless_commands(self):
        # The action lists the descriptors it inherited, writes 200 MB of text, then
        # sleeps as long as its argument asks.
        agent = Agent(self, config={
            "FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "120", "FEATURE_UPISPD_SUPPORT": "1",
            "FEATURE_UPISPD_TIMEOUT": "120", "FEATURE_UPISPD_PATH": "api/isp", "FEATURE_EVENT_SUPPORT": "1",
            "FEATURE_GPSDATA_SUPPORT": "1", "FEATURE_GPSDATA_TIMEOUT": "1000",
            "FEATURE_GPSDATA_FETCH_CMD": "sleep 100000", "FEATURE_GPSDATA_TRIGGER_SUPPORT": "1",
            "FEATURE_REMOTE_ACTION_SUPPORT": "1", "FEATURE_REMOTE_ACTION_TIMEOUT": "1000",
            "FEATURE_REMOTE_ACTION_CMD": "ls -l /proc/self/fd > $VTCLIENT_ROOT/fds; "
                                         "head -c 200000000 /dev/zero | tr '\\0' x; sleep",
            "FEATURE_DEBUG_DUMP_SUPPORT": "1", "FEATURE_DEBUG_DUMP_TIMEOUT": "30",
            "FEATURE_DEBUG_DUMP_CMD": "echo dump of the device"})
        agent.write(agent.private("device.cfg"), "A=1\n")
        idle = agent.started({"FEATURE_CONFIG_SOURCE": agent.private("device.cfg")}).memory_kib()
        # A configuration answer of 150 MB: refused past its bound, the source kept.
        write_streamed(agent.path("wget", "answer.config"), b"301 Moved\n", 150 * MiB, b"ENDOFFILE\n")
        agent.accepts(lambda s: s.invite(0x2))
        agent.expect("Config sync error (Code=301, interface=)", 120)
        self.assertEqual(agent.read(agent.private("device.cfg")), "A=1\n")
        # An extension text of 100 MB.
        write_streamed(agent.path("wget", "answer.isp"), b"302 Found\n", 100 * MiB)
        agent.check(lambda: ask(agent.sim, lambda s: s.invite(0x4))["result"] == "accepted", 60)
        agent.expect("ISP Thread is going to sleep", 120)
        # 50,000 spooled events, the first batch refused: all stay spooled.
        for i in range(50000):
            agent.write("spool/e%05d.event" % i, event_record(1, 1700000000 + i, b"event number %d" % i))
        agent.write("wget/answer.event", "413 Request Entity Too Large\n")
        agent.signal(signal.SIGUSR1)
        agent.check(lambda: agent.wget_calls("event") >= 1, 120)
        self.assertEqual(len(os.listdir(agent.path("spool"))), 50000)
        # An action's 200 MB of output, kept up to its cap.
        agent.accepts(lambda s: s.action(7, ["0"]))
        agent.expect("Action finish", 60)
        # Apart from the one ls reads the listing through.
        fds = [l.split()[-3] for l in agent.read("fds").splitlines() if " -> " in l and " -> /proc/" not in l]
        self.assertEqual(sorted(fds), ["0", "1", "2"], agent.read("fds"))
        [body] = agent.bodies("action")
        self.assertIn("x" * 1000 + "\n[output cut after %d bytes]\n" % MiB, body)  # the cap
        self.assertLess(len(body), MiB + 4096)
        if BOUND_HOLDS:
            self.assertLessEqual(agent.memory_kib(), idle + 4 * 1024)
        # The feature worker starts a GPS fetch that never ends, and an action never ends.
        agent.write("tmp/syncConfig.now", "")
        agent.expect("Start GPS Submission")
        reply = ask(agent.sim, lambda s: s.action(8, ["100000"]))  # the simulator checks the echoed id
        self.assertEqual((reply["result"], reply["errors"]), ("accepted", ""))
        agent.expect("Start action request", count=2)
        # The channel and the debug dump still work.
        agent.accepts(lambda s: s.send_request(5))
        agent.check(lambda: agent.wget_calls("dump") >= 1, 20)
        agent.expect("Debug dump finish")
        self.assertFalse(os.path.exists(agent.path("tmp", "vtclient", "qdms_debug_dump.dump")))
        agent.assert_serving()
        # A stop ends the agent within 5 s all the same, and the commands go with it.
        agent.terminate()
        agent.check(lambda: not agent.session_processes(), 10)

    def test_full_disk_keeps_the_source_and_uploads_it_again(self):
        agent = Agent(self, config={"FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "120",
                                    "FEATURE_CONFIG_AUTO_RETRY": "1", "FEATURE_CONFIG_AUTO_RETRY_INTERVAL": "1"})
        agent.small_disk("disk")
        own = "".join("DEVICE_KEY_%03d=device value %d\n" % (i, i) for i in range(300))  # ~9 KB
        agent.write("disk/cfg", own)
        server_text = "".join("SERVER_KEY_%04d=server value\n" % i for i in range(4000))  # ~110 KB
        agent.write("wget/answer.config", "301 Moved Permanently\n" + server_text + "ENDOFFILE\n")
        agent.started({"FEATURE_CONFIG_SOURCE": agent.path("disk", "cfg")})
        agent.accepts(lambda s: s.invite(0x2))
        agent.check(lambda: agent.wget_calls("config") >= 2, 60)
        agent.expect("Config Thread is going to sleep", 60)
        self.assertEqual(agent.read("disk/cfg"), own)
        self.assertEqual(os.listdir(agent.path("disk")), ["cfg"])  # no half copy left behind
        uploads = agent.bodies("config")
        self.assertEqual(len(uploads), 2)
        for body in uploads:
            self.assertIn("DEVICE_KEY_299=device value 299", body)
            self.assertNotIn("SERVER_KEY", body)
        agent.assert_serving()

    def test_missing_failing_garbage_or_hanging_tool(self):
        # A hanging tool is killed 5 s past its own limits, 10 s for authorisation
        # and 30 s for a feature exchange; both hang at once, so the waits overlap.
        # Where the clock runs ten times faster, the next authorisation may start
        # 10 s after a failed one: there the tool is missing at first, then fails.
        for mode, speed, ends in (("garbage", 10, "Get AUTH Fail"), ("hang", None, "Reestablish success")):
            with self.subTest(mode):
                agent = Agent(self, config={"FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "100"},
                              tool=None if mode == "garbage" else "fake", speed=speed)
                agent.config.update(FEATURE_CONFIG_SOURCE=agent.private("config.export"),
                                    FEATURE_CONFIG_FETCH_CMD="echo A=1 > " + agent.private("config.export"))
                agent.start()
                if mode == "garbage":  # no session, and the agent lives on
                    agent.expect("Get AUTH Fail")
                    agent.set_wget("fail")
                    shutil.copy(FAKE_WGET, agent.path("bin", "wget_https"))
                    agent.check(lambda: agent.wget_calls("register") >= 2, 40)
                    self.assertEqual(received(agent.sim, "keepalive"), [])
                    agent.set_wget("ok")
                agent.assert_serving(timeout=40)
                agent.set_wget(mode, "config")
                agent.accepts(lambda s: s.invite(0x2))
                agent.check(lambda: agent.wget_calls("config") >= 1, 20)
                agent.assert_serving()  # the channel goes on while the feature worker waits
                # A re-authorisation too: the channel must get past it.
                ended, calls = agent.log().count(ends), agent.wget_calls("register")
                agent.set_wget(mode, "register")
                agent.write("tmp/interface.update", "")
                agent.check(lambda: agent.wget_calls("register") > calls, 20)
                agent.set_wget("ok", "register")
                agent.check(lambda: agent.log().count(ends) > ended, 60)
                agent.assert_serving()
                agent.check(lambda: "Config sync error" in agent.log(), 60)
                agent.check(lambda: agent.leftover_temp_files() == [], 10)
                self.assertEqual(os.listdir(agent.private("")), ["config.export"])
