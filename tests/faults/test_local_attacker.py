"""A local unprivileged user (nobody, through setpriv) against the agent, its
/tmp and spool of mode 1777 like a device's /tmp: files, links, FIFOs and a
squatted private directory planted at the names the agent uses, and
re-authorisation forced through the interface update file. Every plant is
made before the agent touches the name, or at a name it only ever replaces:
nothing depends on fs.protected_symlinks, _regular or _fifos."""
import os
import pwd
import shlex
import signal
import stat
import subprocess
import unittest

from harness import (Agent, ask, event_record, require_agent, spooled_events, uploaded_events, wait_keepalives,
                     wait_until)

HOOK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "openwrt",
                    "vtclient.hotplug")
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
PLANTS = {"file": ": > {p}", "link": "ln -s {t} {p}", "fifo": "mkfifo {p}", "dir": "mkdir {p}"}


def as_nobody(*argv):
    return subprocess.run(NOBODY + list(argv), capture_output=True, text=True, timeout=60, cwd="/")


def found_by_nobody(secret, *trees):
    """Files under trees that nobody can read and that hold secret (links
    not followed, FIFOs skipped)."""
    return as_nobody("grep", "-rlsF", "--devices=skip", "-e", secret, *trees).stdout


def shared_agent(test, config):
    """An agent whose /tmp and spool are open to every user, like a device's."""
    agent = Agent(test, config=config)
    os.chmod(agent.root, 0o755)
    for shared in ("tmp", "spool"):
        os.chmod(agent.path(shared), 0o1777)
    return agent


def plant(agent, items):
    """Plants [kind, path, link target] items as nobody, open to all (umask 0)."""
    steps = [PLANTS[k].format(p=shlex.quote(agent.path(p)), t=shlex.quote(agent.path(t or "")))
             for k, p, t in items]
    done = as_nobody("sh", "-c", "umask 0 && " + " && ".join(steps or [":"]))
    if done.returncode != 0:
        raise AssertionError("the attacker could not plant: " + done.stderr)


def run_hook(agent):
    """The OpenWrt WAN hook, as hotplug runs it when the WAN comes up."""
    return subprocess.run(["sh", HOOK], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, ACTION="ifup", INTERFACE="wan", VTCLIENT_ROOT=agent.root))


def stop_process(process):
    """Ends a helper the test started, with its whole group, by its pid."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def drop_status_event(agent):
    agent.write("spool/status.event", event_record(5, 1700000000, b"event number 9999"))


@require_agent
class LocalAttacker(unittest.TestCase):

    def test_planted_names_give_away_nothing_and_change_nothing(self):
        agent = shared_agent(self, {"FEATURE_EVENT_SUPPORT": "1", "FEATURE_REMOTE_ACTION_SUPPORT": "1",
                                    "FEATURE_REMOTE_ACTION_TIMEOUT": "60",
                                    "FEATURE_REMOTE_ACTION_CMD": "echo secret-action-output",
                                    "FEATURE_CONFIG_SUPPORT": "1", "FEATURE_CONFIG_TIMEOUT": "60",
                                    "FEATURE_CONFIG_AUTO_RETRY": "-1", "FEATURE_CONFIG_FETCH_CMD": "true"})
        # A configuration source in the shared /tmp, as the checker warns
        # against; the apply command notes what it was given.
        source = agent.path("tmp", "device.cfg")
        agent.config["FEATURE_CONFIG_SOURCE"] = source
        agent.config["FEATURE_CONFIG_APPLY_FLASH_CMD"] = "stat -c '%%a %%U' %s > %s" % (
            source, agent.path("etc", "applied"))
        agent.write("wget/answer.config", "301 Moved Permanently\nA=1\nENDOFFILE\n")
        agent.write("etc/victim", "precious")
        plant(agent, [
            # Mode 0666 files at the configuration source and the log.
            ("file", "tmp/device.cfg", None), ("file", "tmp/udp_client.log", None),
            # The exchange files' old shared names, pre-created for reading.
            ("file", "tmp/udps_auth.dump", None), ("file", "tmp/udps_conf.in", None),
            ("file", "tmp/action_tmp", None),
            # The private directory's name, squatted, with a file waiting inside.
            ("dir", "tmp/vtclient", None), ("file", "tmp/vtclient/udps_auth.dump", None),
            # Links from the names others read to a root-owned file.
            ("link", "tmp/interface.using", "etc/victim"), ("link", "tmp/qrms_eventlog.log", "etc/victim"),
            # Spool entries that are no event files.
            ("fifo", "spool/a-fifo.event", None), ("link", "spool/b-link.event", "etc/victim"),
        ])
        agent.start()
        agent.assert_serving()
        # Forced re-authorisation: the key is fetched again while the plants wait.
        plant(agent, [("file", "tmp/interface.update", None)])
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 30), agent.log()[-2000:])
        drop_status_event(agent)
        agent.signal(signal.SIGUSR1)
        self.assertTrue(wait_until(lambda: 9999 in uploaded_events(agent) and not spooled_events(agent), 30),
                        agent.log()[-2000:])
        self.assertEqual(ask(agent.sim, lambda s: s.action(9, ["x"]))["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.wget_calls("action") >= 1, 30), agent.log()[-2000:])
        self.assertEqual(ask(agent.sim, lambda s: s.invite(0x2))["result"], "accepted")
        self.assertTrue(wait_until(lambda: agent.read("etc/applied"), 30), agent.log()[-2000:])

        self.assertEqual(found_by_nobody(agent.sim.key, agent.path("tmp"), agent.path("spool")), "",
                         "the session key reached the attacker")
        self.assertEqual(found_by_nobody("secret-action-output", agent.path("tmp")), "")
        self.assertEqual(agent.read("etc/victim"), "precious")
        for name, content in (("tmp/interface.using", ""), ("tmp/qrms_eventlog.log", "000")):
            self.assertFalse(os.path.islink(agent.path(name)), name)
            self.assertEqual(agent.read(name), content, name)
        for name in ("tmp/udps_auth.dump", "tmp/udps_conf.in", "tmp/action_tmp", "tmp/vtclient/udps_auth.dump"):
            self.assertEqual(os.path.getsize(agent.path(name)), 0, name + " was written")
        self.assertEqual(os.listdir(agent.path("spool")), [])
        self.assertIn("Private directory %s is not safe" % agent.path("tmp", "vtclient"), agent.log())
        # The configuration and the log are root's alone, and were so when
        # the apply command read the configuration.
        figures = {}
        for name in ("tmp/device.cfg", "tmp/udp_client.log"):
            st = os.lstat(agent.path(name))
            figures[name] = "%o %s" % (stat.S_IMODE(st.st_mode), pwd.getpwuid(st.st_uid).pw_name)
        print("\nmode and owner after the attack: " + ", ".join("%s %s" % kv for kv in sorted(figures.items())))
        for name in figures:
            self.assertEqual(os.lstat(agent.path(name)).st_uid, os.geteuid(), name)
            self.assertNotEqual(as_nobody("sh", "-c", "echo X=1 >> " + shlex.quote(agent.path(name))).returncode,
                                0, name + " can be written by the attacker")
        self.assertEqual(figures["tmp/device.cfg"], "600 " + pwd.getpwuid(os.geteuid()).pw_name)
        self.assertEqual(agent.read("etc/applied").split(), figures["tmp/device.cfg"].split())
        self.assertIn("A=1", agent.read("tmp/device.cfg"))
        self.assertIn("Reestablish success", agent.read("tmp/udp_client.log"))
        agent.assert_serving()

    def test_directory_at_the_trigger_name_is_no_trigger(self):
        # A directory at the interface update name is logged once and ignored,
        # not an interface update and a re-authorisation again and again;
        # the WAN hook refuses to drop its file inside it. Counted over about
        # 30 s: six keepalives, 5 s apart.
        agent = shared_agent(self, {})
        plant(agent, [("dir", "tmp/interface.update", None)])
        agent.start()
        agent.assert_serving()
        self.assertTrue(wait_keepalives(agent.sim, 6, 60))
        refused = run_hook(agent)
        ignored = "Trigger %s is not a regular file: ignored until it is gone" % agent.path("tmp", "interface.update")
        figures = (agent.count(ignored), agent.count("Interface update"), agent.wget_calls("register") - 1)
        print("\ndirectory at the trigger name, in 30 s: %d line(s) saying so, %d interface updates, "
              "%d re-authorisations" % figures)
        self.assertEqual(figures, (1, 0, 0), agent.log()[-2000:])
        self.assertNotEqual(refused.returncode, 0)
        self.assertEqual(os.listdir(agent.path("tmp", "interface.update")), [])
        # Once the name is free, the hook's file is a trigger again.
        self.assertEqual(as_nobody("rmdir", agent.path("tmp", "interface.update")).returncode, 0)
        self.assertEqual(run_hook(agent).returncode, 0)
        self.assertTrue(agent.wait_message("Interface update", 10), agent.log()[-2000:])
        self.assertTrue(wait_until(lambda: agent.wget_calls("register") == 2, 30))
        agent.assert_serving()

    def test_fifo_at_each_fixed_name_blocks_nothing(self):
        # Each run: a FIFO at one fixed name, then the work that uses it, a
        # request answered afterwards, the agent's peak memory and the
        # seconds from SIGTERM to exit. The report file's FIFO is fed 200 MiB
        # by its planter meanwhile: the upload must never read it.
        report = {"FEATURE_REPORT_SUPPORT": "1", "FEATURE_REPORT_TIMEOUT": "60",
                  "FEATURE_REPORT_FETCH_CMD": "true"}
        names = [("tmp/udp_client.log", {}), ("tmp/interface.using", {}), ("tmp/interface.update", {}),
                 ("tmp/qrms_eventlog.log", {}), ("spool/fifo.event", {}), ("tmp/report.gz", report)]
        figures = []
        for name, config in names:
            with self.subTest(name=name):
                agent = shared_agent(self, dict(config, FEATURE_EVENT_SUPPORT="1"))
                plant(agent, [("fifo", name, None)])
                if config:
                    agent.config["FEATURE_REPORT_SOURCE"] = agent.path(name)
                    feeder = subprocess.Popen(NOBODY + ["sh", "-c", "head -c 209715200 /dev/zero > " +
                                                        shlex.quote(agent.path(name))], start_new_session=True)
                    self.addCleanup(stop_process, feeder)
                agent.start()
                agent.assert_serving()
                if config:
                    refused = "Upload file %s is not a regular file: not sent" % agent.path(name)
                    self.assertTrue(agent.wait_message(refused, 30), agent.log()[-2000:])
                if name == "tmp/interface.update":
                    # No trigger, until the WAN hook renames its file over it.
                    self.assertTrue(agent.wait_message("Trigger %s is not a regular file: ignored until it is gone"
                                                       % agent.path(name), 10), agent.log()[-2000:])
                    self.assertEqual(run_hook(agent).returncode, 0)
                else:
                    plant(agent, [("file", "tmp/interface.update", None)])
                self.assertTrue(wait_until(lambda: agent.wget_calls("register") >= 2, 30))
                drop_status_event(agent)
                agent.signal(signal.SIGUSR1)
                self.assertTrue(wait_until(lambda: 9999 in uploaded_events(agent), 30))
                self.assertTrue(wait_until(lambda: not os.path.exists(agent.path("spool", "fifo.event")), 10))
                agent.assert_serving()
                peak = agent.memory_kib()
                seconds = agent.terminate()
                figures.append((name, seconds or 99, peak))
                self.assertLessEqual(figures[-1][1], 5.0, name)
        print("\nFIFO at: seconds from SIGTERM to exit, agent peak RSS (KiB)")
        for name, seconds, peak in figures:
            print("  %-24s %.2f %7d" % (name, seconds, peak))
