"""Attackers: one on the path, spoofing datagrams from the server's address while it
is gone, or flooding; a local user (nobody, through setpriv) planting files, links,
FIFOs and a squatted private directory at the names the agent uses in its /tmp and
spool of mode 1777, like a device's, and forcing re-authorisation. Every plant is
made before the agent touches the name, or at a name it only ever replaces: nothing
depends on fs.protected_symlinks, _regular or _fifos."""
import os
import pwd
import shlex
import signal
import stat
import subprocess
import time
import unittest

from harness import (FAST_CLOCK, Agent, ask, event_record, received, require_agent, spooled_events, uploaded_events,
                     wait_until)

HOOK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "openwrt",
                    "vtclient.hotplug")
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def as_nobody(*argv):
    return subprocess.run(NOBODY + list(argv), capture_output=True, text=True, timeout=60, cwd="/")


def plant(agent, *steps):  # shell steps run as nobody in the sandbox, everything open to all (umask 0)
    done = as_nobody("sh", "-c", "cd %s && umask 0 && %s" % (shlex.quote(agent.root), " && ".join(steps)))
    agent.test.assertEqual(done.returncode, 0, "the attacker could not plant: " + done.stderr)


def shared_agent(test, config, *plants):  # /tmp and spool open to every user, like a device's, with plants
    agent = Agent(test, config=config)
    for name, mode in (("", 0o755), ("tmp", 0o1777), ("spool", 0o1777)):
        os.chmod(agent.path(name), mode)
    plant(agent, *plants)
    return agent


def run_hook(agent):  # the OpenWrt WAN hook, as hotplug runs it when the WAN comes up
    return subprocess.run(["sh", HOOK], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, ACTION="ifup", INTERFACE="wan", VTCLIENT_ROOT=agent.root)).returncode


def upload_status_event(agent):
    agent.write("spool/status.event", event_record(5, 1700000000, b"event number 9999"))
    agent.signal(signal.SIGUSR1)
    agent.check(lambda: 9999 in uploaded_events(agent) and "status.event" not in spooled_events(agent))


@require_agent
class Attackers(unittest.TestCase):

    def test_planted_names_give_away_nothing_and_change_nothing(self):
        agent = shared_agent(self, {"FEATURE_EVENT_SUPPORT": "1", "FEATURE_REMOTE_ACTION_SUPPORT": "1",
                                    "FEATURE_REMOTE_ACTION_TIMEOUT": "60",
                                    "FEATURE_REMOTE_ACTION_CMD": "echo secret-action-output",
                                    "FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "60",
                                    "FEATURE_CONFIG_AUTO_RETRY": "-1", "FEATURE_CONFIG_FETCH_CMD": "true"},
            # Mode 0666 files at the configuration source and the log; the exchange files'
            # old shared names, pre-created for reading.
            ": > tmp/device.cfg", ": > tmp/udp_client.log", ": > tmp/udps_auth.dump", ": > tmp/udps_conf.in",
            ": > tmp/action_tmp",
            # The private directory's name, squatted, with a file waiting inside.
            "mkdir tmp/vtclient", ": > tmp/vtclient/udps_auth.dump",
            # Links from the names others read to a root-owned file; spool entries that are no event files.
            "ln -s ../etc/victim tmp/interface.using", "ln -s ../etc/victim tmp/qrms_eventlog.log",
            "mkfifo spool/a-fifo.event", "ln -s ../etc/victim spool/b-link.event",
            # A directory at the trigger's name.
            "mkdir tmp/interface.update")
        # A configuration source in the shared /tmp, as the checker warns
        # against; the apply command notes what it was given.
        source = agent.path("tmp", "device.cfg")
        agent.config["FEATURE_CONFIG_SOURCE"] = source
        agent.config["FEATURE_CONFIG_APPLY_FLASH_CMD"] = "stat -c '%%a %%U' %s > %s" % (source, agent.path("etc/applied"))
        agent.write("wget/answer.config", "301 Moved Permanently\nA=1\nENDOFFILE\n")
        agent.write("etc/victim", "precious")
        agent.started()
        # No trigger, logged once and ignored until it is gone, not an update again
        # and again: six keepalives, 5 s apart, over 30 s.
        ignored = "Trigger %s is not a regular file: ignored until it is gone" % agent.path("tmp/interface.update")
        agent.expect(ignored, 10)
        seen = len(received(agent.sim, "keepalive"))
        agent.check(lambda: len(received(agent.sim, "keepalive")) >= seen + 6, 60)
        self.assertNotEqual(run_hook(agent), 0)  # the WAN hook drops nothing inside it
        self.assertEqual(os.listdir(agent.path("tmp/interface.update")), [])
        self.assertEqual((agent.count(ignored), agent.count("Interface update"), agent.wget_calls("register")),
                         (1, 0, 1), agent.log()[-2000:])
        # Forced re-authorisation: the key is fetched again while the plants wait.
        plant(agent, "rmdir tmp/interface.update", ": > tmp/interface.update")
        agent.check(lambda: agent.wget_calls("register") >= 2)
        upload_status_event(agent)
        agent.check(lambda: spooled_events(agent) == [], 10)
        agent.accepts(lambda s: s.action(9, ["x"]))
        agent.check(lambda: agent.wget_calls("action") >= 1)
        agent.accepts(lambda s: s.invite(0x2))
        agent.check(lambda: agent.read("etc/applied"))

        for secret, trees in ((agent.sim.key, ("tmp", "spool")), ("secret-action-output", ("tmp",))):
            found = as_nobody("grep", "-rlsF", "--devices=skip", "-e", secret, *map(agent.path, trees)).stdout
            self.assertEqual(found, "", "the attacker read " + secret)
        self.assertEqual(agent.read("etc/victim"), "precious")
        for name, content in (("tmp/interface.using", ""), ("tmp/qrms_eventlog.log", "000")):
            self.assertEqual((os.path.islink(agent.path(name)), agent.read(name)), (False, content), name)
        for name in ("tmp/udps_auth.dump", "tmp/udps_conf.in", "tmp/action_tmp", "tmp/vtclient/udps_auth.dump"):
            self.assertEqual(os.path.getsize(agent.path(name)), 0, name + " was written")
        self.assertEqual(os.listdir(agent.path("spool")), [])
        self.assertIn("Private directory %s is not safe" % agent.path("tmp", "vtclient"), agent.log())
        # The configuration and the log are root's alone, and were so when
        # the apply command read the configuration.
        for name in ("tmp/device.cfg", "tmp/udp_client.log"):
            self.assertEqual(os.lstat(agent.path(name)).st_uid, os.geteuid(), name)
            self.assertNotEqual(as_nobody("sh", "-c", "echo X=1 >> " + shlex.quote(agent.path(name))).returncode,
                                0, name + " can be written by the attacker")
        owner = pwd.getpwuid(os.geteuid()).pw_name
        self.assertEqual(stat.S_IMODE(os.lstat(source).st_mode), 0o600)
        self.assertEqual(agent.read("etc/applied").split(), ["600", owner])
        self.assertIn("A=1", agent.read("tmp/device.cfg"))
        self.assertIn("Reestablish success", agent.read("tmp/udp_client.log"))
        agent.assert_serving()

    def test_fifos_at_the_fixed_names_block_nothing(self):
        # FIFOs at every fixed name at once: then the work that uses each name, a
        # request answered afterwards and the seconds from SIGTERM to exit. The report
        # file's FIFO is fed 200 MiB by its planter meanwhile: the upload must never read it.
        trigger, report = "tmp/interface.update", "tmp/report.gz"
        fifos = ["tmp/udp_client.log", "tmp/interface.using", trigger, "tmp/qrms_eventlog.log", "spool/fifo.event",
                 report]
        agent = shared_agent(self, {"FEATURE_EVENT_SUPPORT": "1", "FEATURE_REPORT_SUPPORT": "1",
                                    "FEATURE_REPORT_TIMEOUT": "60", "FEATURE_REPORT_FETCH_CMD": "true"},
                             *["mkfifo " + name for name in fifos])
        agent.config["FEATURE_REPORT_SOURCE"] = agent.path(report)
        feeder = subprocess.Popen(NOBODY + ["sh", "-c", "head -c 209715200 /dev/zero > " +
                                            shlex.quote(agent.path(report))], start_new_session=True)
        self.addCleanup(feeder.wait)  # after its group is killed, by its pid
        self.addCleanup(os.killpg, feeder.pid, signal.SIGKILL)
        agent.started()
        agent.expect("Upload file %s is not a regular file: not sent" % agent.path(report))
        # No trigger, logged and ignored until the WAN hook renames its file over it.
        agent.expect("Trigger %s is not a regular file: ignored until it is gone" % agent.path(trigger), 10)
        self.assertEqual(run_hook(agent), 0)
        agent.expect("Interface update", 10)
        agent.check(lambda: agent.wget_calls("register") >= 2)
        upload_status_event(agent)
        agent.check(lambda: not os.path.exists(agent.path("spool", "fifo.event")), 10)
        agent.assert_serving()
        agent.terminate()

    @unittest.skipUnless(FAST_CLOCK, "needs libfaketime inside the agent: minutes of agent time")
    def test_spoofed_datagrams_never_keep_a_dead_session(self):
        # The server falls silent and a new one (new key, new port) answers the next
        # authorisation, while datagrams keep coming from the old one's address: ones
        # that fail the key (one every 40 agent seconds, fewer than the 20 in a row that
        # end a session by themselves), a flood that fails the header, or the device's
        # own keepalive sent back to it (it decrypts and names the device). Were any a
        # sign of life, the agent would keep the dead session while they come: it must
        # reach the new server while they still come, within two real minutes (a loaded
        # machine and a flood slow it). The agent's clock runs ten times faster.
        agent = Agent(self, config={"DEVICE_DISCONNECT_TIMEOUT": "70"}, speed=10).started()
        for kind, burst, every, most in (("wrongkey", 1, 4.0, 19), ("garbage", 100, 0.05, 10 ** 9),
                                         ("echo", 2, 0.4, 10 ** 9)):
            with self.subTest(kind=kind):  # from the server the agent moved to before
                old, deadline, sent = agent.sims[-1], time.monotonic() + 120, 0
                old.answer_keepalives = False
                fresh = agent.new_simulator()
                moved = lambda: received(fresh, "keepalive")
                while not moved() and time.monotonic() < deadline and sent < most:
                    old.flood(kind, burst)
                    sent += burst
                    wait_until(moved, every)
                self.assertTrue(moved(), agent.log()[-2000:])
                agent.assert_serving(fresh, timeout=60)
                agent.check(lambda: agent.leftover_temp_files() == [], 10)

    def test_retransmitted_reboot_wrong_key_flood_then_a_closed_server_port(self):
        # The largest black list size: lists of that size cannot be allocated,
        # and it falls back to 10. The server's retransmission of an answered
        # reboot (new seq, same id) is refused all the same.
        agent = Agent(self, config={"DEVICE_LOG_FILE_SIZE": "16384", "DEVICE_LOG_NUM_FILE": "3",
                                    "DEVICE_BLACK_LIST_SIZE": "2147483647", "FEATURE_REBOOT_SUPPORT": "1",
                                    "FEATURE_REBOOT_ACTION_CMD": "echo >> reboots"}).started()
        fallback = "Set BLACK LIST SIZE error, set to default(10)."
        self.assertIn(fallback, agent.log_messages())
        reboot = ask(agent.sim, lambda s: s.send_request(3))
        self.assertEqual(reboot["result"], "accepted")
        agent.expect("Reboot Thread is going to sleep", 20)
        _, _, answered = agent.sim.retransmit(reboot["id"])
        # One command thread takes the requests in order: once a later one is
        # answered, the retransmission was handled.
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x8))["result"], "refused")
        if answered.is_set():
            wait_until(lambda: agent.count("Reboot Thread is going to sleep") >= 2, 20)
        self.assertFalse(answered.is_set(), "the retransmission was accepted")
        self.assertEqual(agent.read("reboots").count("\n"), 1)
        # A flood of datagrams that fail the key leaves the settings lines in
        # the rotated log: it is not logged datagram by datagram.
        agent.sim.flood("wrongkey", 20000)
        agent.assert_serving()
        self.assertIn(fallback, agent.log_messages())
        # Each keepalive sent into the closed port brings back an ICMP error
        # that stays pending on the socket until it is taken; left there, it
        # keeps the receive thread spinning. Two keepalives go out in the wait.
        agent.sim.stop()
        stat = "/proc/%d/stat" % agent.proc.pid
        cpu = lambda: sum(map(int, open(stat).read().rsplit(")", 1)[1].split()[11:13])) / os.sysconf("SC_CLK_TCK")
        before = cpu()
        self.assertFalse(wait_until(lambda: cpu() - before > 0.5, 12), "the agent spins with its server gone")
        self.assertTrue(agent.alive())
