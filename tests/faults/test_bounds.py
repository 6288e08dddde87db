"""What comes from outside is bounded: peak memory of the agent and of the
wget_https stand-in against idle under huge answers and a huge spool, the
largest black list size, and the configuration answer on a full disk."""
import os
import signal
import subprocess
import unittest

from harness import EXEC_PREFIX, SANITIZED, WGET_HTTPS, Agent, ask, event_record, require_agent, wait_until

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
class Bounds(unittest.TestCase):

    def test_peak_memory_against_idle(self):
        agent = Agent(self, config={
            "FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "120", "FEATURE_UPISPD_SUPPORT": "1",
            "FEATURE_UPISPD_TIMEOUT": "120", "FEATURE_UPISPD_PATH": "api/isp", "FEATURE_EVENT_SUPPORT": "1"})
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
        agent.assert_serving()
        self.assertEqual(len(os.listdir(agent.path("spool"))), 50000)
        if BOUND_HOLDS:
            self.assertLessEqual(agent.memory_kib(), idle + 4 * 1024)

    def test_largest_black_list_size_still_refuses_a_retransmitted_reboot(self):
        # A size whose lists cannot be allocated falls back to 10: the server's
        # retransmission of an answered reboot (new seq, same id) is refused.
        agent = Agent(self, config={"DEVICE_BLACK_LIST_SIZE": "2147483647", "FEATURE_REBOOT_SUPPORT": "1",
                                    "FEATURE_REBOOT_ACTION_CMD": "echo >> reboots"}).started()
        reboot = ask(agent.sim, lambda s: s.send_request(3))
        self.assertEqual(reboot["result"], "accepted")
        agent.expect("Reboot Thread is going to sleep", 20)
        _, _, answered = agent.sim.retransmit(reboot["id"])
        # One command thread takes the requests in order: once a later one is
        # answered, the retransmission was handled.
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x8))["result"], "refused")
        if answered.is_set():
            agent.wait_log("Reboot Thread is going to sleep", 20, count=2)
        self.assertFalse(answered.is_set(), "the retransmission was accepted")
        self.assertEqual(agent.read("reboots").count("\n"), 1)
        self.assertIn("Set BLACK LIST SIZE error, set to default(10).", agent.log_messages())

    @unittest.skipUnless(WGET_HTTPS and os.path.exists("/usr/bin/time"), "no wget_https stand-in or no GNU time")
    def test_stand_in_stops_past_its_bound(self):
        agent = Agent(self)  # not started: its simulator's web side answers
        web, out, peaks = agent.sim.web, agent.path("out"), []
        web.script("small", "200 OK", b"small")
        web.script("large", "200 OK", (b"K=" + b"v" * 61 + b"\n") * (150 * MiB // 64))
        for name, status in (("small", 0), ("large", 6)):
            # GNU time starts the tool afresh: a child of this process would
            # count the Python image it was forked from as its own peak.
            done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", agent.path("peak"), WGET_HTTPS, "-q", "-T60",
                                   "-O" + out, "https://127.0.0.1:%d/%s" % (web.port, name)],
                                  env=dict(os.environ, WGET_HTTPS_CA_FILE=web.ca_file), timeout=120)
            peaks.append(int(agent.read("peak").split()[-1]))
            self.assertEqual((done.returncode, os.path.exists(out)), (status, status == 0))
            if status == 0:
                os.unlink(out)
        if BOUND_HOLDS:
            self.assertLessEqual(peaks[1], peaks[0] + 4 * 1024)

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
