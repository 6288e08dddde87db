"""What comes from outside is bounded: peak memory of the agent and of the
wget_https stand-in against idle under huge answers and a huge spool, and
the configuration answer on a full disk."""
import os
import signal
import subprocess
import tempfile
import unittest

from harness import BUILD_TYPE, EXEC_PREFIX, HERE, WGET_HTTPS, Agent, ask, event_record, require_agent, wait_until

MiB = 1024 * 1024
# Under a sanitizer or an emulator the figures are printed, not held to the bound.
FIGURES_ONLY = BUILD_TYPE in ("asan", "tsan") or bool(EXEC_PREFIX)


def write_streamed(path, head, size, tail=b""):
    """head, then size bytes of short lines, then tail, a MiB at a time."""
    chunk = (b"K=" + b"v" * 61 + b"\n") * (MiB // 64)
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(size // len(chunk)):
            f.write(chunk)
        f.write(tail)


@require_agent
class Bounds(unittest.TestCase):

    def test_peak_memory_against_idle(self):
        agent = Agent(self, config={
            "FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "120", "FEATURE_UPISPD_SUPPORT": "1",
            "FEATURE_UPISPD_TIMEOUT": "120", "FEATURE_UPISPD_PATH": "api/isp", "FEATURE_EVENT_SUPPORT": "1"})
        agent.config["FEATURE_CONFIG_SOURCE"] = agent.private("device.cfg")
        agent.write(agent.private("device.cfg"), "A=1\n")
        agent.start()
        agent.assert_serving()
        figures = [("idle", agent.memory_kib())]
        # A configuration answer of 150 MB: refused past its bound, the source kept.
        write_streamed(agent.path("wget", "answer.config"), b"301 Moved\n", 150 * MiB, b"ENDOFFILE\n")
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x2))["result"], "accepted")
        self.assertTrue(agent.wait_message("Config sync error (Code=301, interface=)", 120), agent.log()[-2000:])
        self.assertEqual(agent.read(agent.private("device.cfg")), "A=1\n")
        figures.append(("150 MB answer", agent.memory_kib()))
        # An extension text of 100 MB.
        write_streamed(agent.path("wget", "answer.isp"), b"302 Found\n", 100 * MiB)
        self.assertTrue(wait_until(lambda: ask(agent.sim, lambda s: s.invite(0x4))["result"] == "accepted", 60))
        self.assertTrue(agent.wait_message("ISP Thread is going to sleep", 120), agent.log()[-2000:])
        figures.append(("100 MB ISP text", agent.memory_kib()))
        # 50,000 spooled events, the first batch refused: all stay spooled.
        for i in range(50000):
            agent.write("spool/e%05d.event" % i, event_record(1, 1700000000 + i, b"event number %d" % i))
        agent.write("wget/answer.event", "413 Request Entity Too Large\n")
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: agent.wget_calls("event") >= 1, 120))
        agent.assert_serving()
        figures.append(("50,000 events", agent.memory_kib()))
        self.assertEqual(len(os.listdir(agent.path("spool"))), 50000)
        print("\nagent peak RSS (VmHWM), KiB: " + ", ".join("%s %d" % f for f in figures))
        if not FIGURES_ONLY:
            self.assertLessEqual(figures[-1][1], figures[0][1] + 4 * 1024)

    def test_largest_black_list_size_still_refuses_a_retransmitted_reboot(self):
        # A size whose lists cannot be allocated falls back to 10: the
        # server's retransmission of an answered reboot (new seq, same id)
        # is refused, not carried out again.
        agent = Agent(self, config={"DEVICE_BLACK_LIST_SIZE": "2147483647", "FEATURE_REBOOT_SUPPORT": "1",
                                    "FEATURE_REBOOT_ACTION_CMD": "echo >> reboots"})
        agent.start()
        agent.assert_serving()
        reboot = ask(agent.sim, lambda s: s.send_request(3))
        self.assertEqual(reboot["result"], "accepted")
        self.assertTrue(agent.wait_message("Reboot Thread is going to sleep", 20), agent.log()[-2000:])
        _, _, answered = agent.sim.retransmit(reboot["id"])
        # One command thread takes the requests in order: once a later one is
        # answered, the retransmission was handled.
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x8))["result"], "refused")
        if answered.is_set():
            agent.wait_message("Reboot Thread is going to sleep", 20, count=2)
        runs = agent.read("reboots").count("\n")
        print("\nreboot runs at DEVICE_BLACK_LIST_SIZE=2147483647: %d" % runs)
        self.assertFalse(answered.is_set(), "the retransmission was accepted")
        self.assertEqual(runs, 1)
        self.assertIn("Set BLACK LIST SIZE error, set to default(10).", agent.log_messages())

    @unittest.skipUnless(WGET_HTTPS and os.path.exists("/usr/bin/time"), "no wget_https stand-in or no GNU time")
    def test_stand_in_stops_past_its_bound(self):
        work = tempfile.mkdtemp(prefix="vtclient-bounds-")
        self.addCleanup(subprocess.run, ["rm", "-rf", work])
        write_streamed(os.path.join(work, "answer.1"), b"200 OK\n", 0, b"small")
        write_streamed(os.path.join(work, "answer.2"), b"200 OK\n", 150 * MiB)
        server = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "..", "support", "https_test_server.py"),
                                   work], start_new_session=True)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(work, "port")), 30))
        with open(os.path.join(work, "port")) as f:
            url = "https://127.0.0.1:%s/x" % f.read()
        figures = []
        for label, status in (("small answer", 0), ("150 MB answer", 6)):
            out, peak = os.path.join(work, "out"), os.path.join(work, "peak")
            # GNU time starts the tool afresh: a child of this process would
            # count the Python image it was forked from as its own peak.
            done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak, WGET_HTTPS, "-q", "-T60", "-O" + out, url],
                                  env=dict(os.environ, WGET_HTTPS_CA_FILE=os.path.join(work, "ca.pem")), timeout=120)
            with open(peak) as f:
                figures.append((label, int(f.read().split()[-1])))
            self.assertEqual(done.returncode, status, label)
            self.assertEqual(os.path.exists(out), status == 0, label)
            if status == 0:
                os.unlink(out)
        print("\nwget_https peak RSS, KiB: " + ", ".join("%s %d" % f for f in figures))
        if not FIGURES_ONLY:
            self.assertLessEqual(figures[1][1], figures[0][1] + 4 * 1024)

    def test_full_disk_keeps_the_source_and_uploads_it_again(self):
        agent = Agent(self, config={"FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "120",
                                    "FEATURE_CONFIG_AUTO_RETRY": "1", "FEATURE_CONFIG_AUTO_RETRY_INTERVAL": "1"})
        agent.small_disk("disk")
        own = "".join("DEVICE_KEY_%03d=device value %d\n" % (i, i) for i in range(300))  # ~9 KB
        agent.config["FEATURE_CONFIG_SOURCE"] = agent.path("disk", "cfg")
        agent.write("disk/cfg", own)
        server_text = "".join("SERVER_KEY_%04d=server value\n" % i for i in range(4000))  # ~110 KB
        agent.write("wget/answer.config", "301 Moved Permanently\n" + server_text + "ENDOFFILE\n")
        agent.start()
        agent.assert_serving()
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x2))["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.wget_calls("config") >= 2, 60), agent.log()[-2000:])
        self.assertTrue(agent.wait_message("Config Thread is going to sleep", 60))
        self.assertEqual(agent.read("disk/cfg"), own)
        self.assertEqual(os.listdir(agent.path("disk")), ["cfg"])  # no half copy left behind
        uploads = [agent.read("wget/bodies/" + n) for n in os.listdir(agent.path("wget", "bodies"))
                   if n.startswith("config.")]
        self.assertEqual(len(uploads), 2)
        for body in uploads:
            self.assertIn("DEVICE_KEY_299=device value 299", body)
            self.assertNotIn("SERVER_KEY", body)
        agent.assert_serving()
