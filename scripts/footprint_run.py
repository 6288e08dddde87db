"""Run-time footprint of vtclient against the simulator, with `sleep` as floor.

Two runs in a sandbox (VTCLIENT_ROOT), the wget_https stand-in speaking TLS
to the simulator on loopback:

1. Idle, in real time: the agent authorises and then only keeps its channel
   alive. Measured: resident and private memory after start-up, threads,
   CPU time over the idle window scaled to an hour, and wake-ups per second
   (voluntary plus involuntary context switches of all its threads, with an
   strace count of its system calls beside it). A `sleep` process is measured
   the same way at the same time.
2. One simulated hour of activity under libfaketime (the clock 20 times
   faster, see RATE): configuration sync, device reports and GPS on their timetables,
   server invitations and remote actions, event uploads after SIGUSR1.
   Resident and private memory are sampled every simulated minute; the first
   and the last quarter of the hour are compared.

Private memory is Private_Clean + Private_Dirty of /proc/PID/smaps_rollup.
Prints Markdown. Every process it starts is stopped by its pid.

    /usr/bin/python3 scripts/footprint_run.py --vtclient BUILD/daemon/vtclient \
        --wget-https BUILD/tools/wget_https/wget_https [--idle-seconds 120]
"""

import argparse
import glob
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(REPO, "tools", "vtsim"))

from vtsim import Simulator  # noqa: E402

SERIAL = "1234-5678-ABCD"
PACKED_SERIAL = "12345678ABCD"
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
RATE = 20              # simulated seconds per real second
SIMULATED_HOUR = 3600


# --- /proc readers ----------------------------------------------------------

def status_fields(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def memory(pid):
    """(RSS KiB, private KiB, threads)."""
    rollup = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            m = re.match(r"(\w+):\s+(\d+) kB", line)
            if m:
                rollup[m.group(1)] = int(m.group(2))
    threads = int(status_fields(pid)["Threads"])
    return rollup["Rss"], rollup["Private_Clean"] + rollup["Private_Dirty"], threads


def cpu_ns(pid):
    """CPU time of all live threads, nanoseconds (schedstat)."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def process_cpu_seconds(pid):
    """utime + stime of the process, dead threads included."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    total = 0
    for path in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def strace_calls(pid, seconds):
    """System calls per second of all threads, counted by strace -c."""
    if not shutil.which("strace"):
        return None
    out = tempfile.NamedTemporaryFile(prefix="footprint-strace-", delete=False)
    out.close()
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-c", "-o", out.name, "-p", str(pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    stop(tracer, signal.SIGINT, 10)  # strace writes its counts on SIGINT
    calls = {}
    with open(out.name) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 5 and parts[-1] not in ("total", "syscall") and parts[3].isdigit():
                calls[parts[-1]] = int(parts[3])
    os.unlink(out.name)
    return calls


# --- the agent in its sandbox -----------------------------------------------

class Sandbox:
    def __init__(self, wget_https):
        self.root = tempfile.mkdtemp(prefix="vtclient-footprint-")
        for sub in ("etc", "tmp", "bin", "spool", "sim", "var/run"):
            os.makedirs(os.path.join(self.root, sub))
        # The files the agent uploads live in a directory of root's alone.
        os.makedirs(self.path("var", "run", "vtclient"), mode=0o700)
        os.symlink(os.path.abspath(wget_https), os.path.join(self.root, "bin", "wget_https"))
        self.sim = Simulator(PACKED_SERIAL, workdir=os.path.join(self.root, "sim"))
        self.sim.start()

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def base_config(self):
        return {
            "VANTOR_HOST": "127.0.0.1:%d" % self.sim.web.port,
            "UDP_REG_PATH": "udps/register",
            "DEVICE_SERIAL": SERIAL,
            "DEVICE_MODEL": "RT100",
            "DEVICE_VARIANT": "EU",
            "DEVICE_FIRMWARE": "2.4.1",
            "DEVICE_LOG_FILE_SIZE": "16384",
        }

    def activity_config(self):
        tmp = self.path("var", "run", "vtclient")
        config = self.base_config()
        config.update({
            # The channel's one-second ticks stay in real time (see
            # start_agent), so the clock's acceleration squeezes the 70-second
            # silence margin into a few real seconds, which a busy build
            # machine can miss; a wider margin keeps the hour free of
            # re-establishments that would only be an artefact of the run.
            "DEVICE_DISCONNECT_TIMEOUT": "600",
            "FEATURE_CONFIG_SUPPORT": "1",
            "FEATURE_CONFIG_PATH": "api/config",
            "FEATURE_CONFIG_TIMEOUT": "120",
            "FEATURE_CONFIG_SOURCE": tmp + "/running.cfg",
            "FEATURE_CONFIG_FETCH_CMD": "echo hostname=router > %s/running.cfg" % tmp,
            "FEATURE_CONFIG_APPLY_CMD": "true",
            "FEATURE_CONFIG_AUTO_REPEAT": "1",
            "FEATURE_CONFIG_AUTO_REPEAT_INTERVAL": "600",
            "FEATURE_REPORT_SUPPORT": "1",
            "FEATURE_REPORT_PATH": "api/report",
            "FEATURE_REPORT_TIMEOUT": "120",
            "FEATURE_REPORT_SOURCE": tmp + "/report.gz",
            "FEATURE_REPORT_FETCH_CMD": "echo report > %s/report.gz" % tmp,
            "FEATURE_REPORT_NOTIFY_CMD": "true",
            "FEATURE_REPORT_NOTIFY_SUCCEED": "ok",
            "FEATURE_REPORT_NOTIFY_FAILED": "failed",
            "FEATURE_REPORT_AUTO_REPEAT": "1",
            "FEATURE_REPORT_AUTO_REPEAT_INTERVAL": "900",
            "FEATURE_GPSDATA_SUPPORT": "1",
            "FEATURE_GPSDATA_TIMEOUT": "60",
            "FEATURE_GPSDATA_FETCH_CMD": "echo 1 1700000000 48.5 -10.25",
            "FEATURE_GPSDATA_AUTO_START": "1",
            "FEATURE_GPSDATA_AUTO_START_TIME": "30",
            "FEATURE_GPSDATA_AUTO_REPEAT": "1",
            "FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL": "120",
            "FEATURE_REMOTE_ACTION_SUPPORT": "1",
            "FEATURE_REMOTE_ACTION_PATH": "api/action",
            "FEATURE_REMOTE_ACTION_TIMEOUT": "120",
            "FEATURE_REMOTE_ACTION_CMD": "echo",
            "FEATURE_EVENT_SPOOL": self.path("spool") + "/",
            "FEATURE_EVENT_PATH": "api/event",
        })
        return config

    def start_agent(self, vtclient, config, faketime=False):
        with open(self.path("etc", "vtclient.cfg"), "w") as f:
            f.writelines('%s="%s"\n' % kv for kv in config.items())
        env = dict(os.environ, VTCLIENT_ROOT=self.root, WGET_HTTPS_CA_FILE=self.sim.web.ca_file,
                   PATH=self.path("bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"))
        if faketime:
            # The wall clock runs RATE times faster and so do sleep() and
            # friends. The monotonic clock stays real: libfaketime does not
            # shift the deadlines of condition-variable waits on it, which
            # would otherwise stall the channel threads' one-second ticks. So
            # those ticks come once per real second (RATE simulated seconds).
            env.update(LD_PRELOAD=FAKETIME_LIB, FAKETIME="+0 x%d" % RATE, FAKETIME_NO_CACHE="1",
                       FAKETIME_DONT_FAKE_MONOTONIC="1")
        return subprocess.Popen([os.path.abspath(vtclient)], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_authorised(self, agent, timeout):
        log = self.path("tmp", "udp_client.log")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and agent.poll() is None:
            if self.sim.peer is not None and os.path.exists(log):
                with open(log, encoding="latin-1") as f:
                    if "Target Server" in f.read():
                        return True
            time.sleep(0.1)
        return False

    def drop_event(self, number):
        record = struct.pack("=ii132s", 1, int(time.time()), b"footprint event %d" % number)
        temp = self.path("spool", "e%04d.part" % number)
        with open(temp, "wb") as f:
            f.write(record)
        os.rename(temp, self.path("spool", "e%04d.event" % number))

    def close(self):
        self.sim.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def stop(process, how=signal.SIGTERM, timeout=20):
    if process.poll() is None:
        process.send_signal(how)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# --- the two runs -----------------------------------------------------------

def idle_run(box, vtclient, seconds):
    agent = box.start_agent(vtclient, box.base_config())
    floor = subprocess.Popen(["sleep", "100000"])
    try:
        if not box.wait_authorised(agent, 30):
            raise SystemExit("the agent did not authorise with the simulator (see %s)" % box.root)
        time.sleep(5)  # first keepalive exchanged, threads settled
        start = {"agent": memory(agent.pid), "sleep": memory(floor.pid)}
        before = {p: (cpu_ns(p), context_switches(p)) for p in (agent.pid, floor.pid)}
        t0 = time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - t0
        after = {p: (cpu_ns(p), context_switches(p)) for p in (agent.pid, floor.pid)}
        calls = {"agent": strace_calls(agent.pid, 10), "sleep": strace_calls(floor.pid, 10)}
        result = {}
        for name, pid in (("agent", agent.pid), ("sleep", floor.pid)):
            cpu = (after[pid][0] - before[pid][0]) / 1e9
            switches = after[pid][1] - before[pid][1]
            result[name] = {
                "memory": start[name],
                "cpu_per_hour": cpu * 3600 / elapsed,
                "wakeups": switches / elapsed,
                "syscalls": calls[name],
            }
        if agent.poll() is not None:
            raise SystemExit("the agent ended during the idle run")
        return result, elapsed
    finally:
        stop(agent)
        stop(floor)


def activity_run(box, vtclient, hours):
    for name in os.listdir(box.path("tmp")):
        os.unlink(box.path("tmp", name))
    box.sim.web.script("api/config", "200 OK", b"")
    agent = box.start_agent(vtclient, box.activity_config(), faketime=True)
    stop_flag = threading.Event()
    counts = {"invitations": 0, "actions": 0, "event uploads": 0}

    def server_and_device():
        # Every simulated 5 minutes something from outside: an invitation, a
        # remote action, or spooled events and SIGUSR1, in turn.
        turn = 0
        while not stop_flag.wait(300 / RATE):
            turn += 1
            if turn % 3 == 1:
                box.sim.invite(0x2)
                counts["invitations"] += 1
            elif turn % 3 == 2:
                box.sim.action(1000 + turn, ["footprint", str(turn)])
                counts["actions"] += 1
            else:
                for n in range(3):
                    box.drop_event(turn * 10 + n)
                agent.send_signal(signal.SIGUSR1)
                counts["event uploads"] += 1

    samples = []
    try:
        if not box.wait_authorised(agent, 30):
            raise SystemExit("the agent did not authorise under libfaketime (see %s)" % box.root)
        threading.Thread(target=server_and_device, daemon=True).start()
        cpu0 = process_cpu_seconds(agent.pid)
        t0 = time.monotonic()
        minute = 0
        while minute < hours * SIMULATED_HOUR // 60:
            minute += 1
            time.sleep(max(0.0, t0 + minute * 60 / RATE - time.monotonic()))
            if agent.poll() is not None:
                raise SystemExit("the agent ended during the simulated hour")
            samples.append(memory(agent.pid))
        cpu = process_cpu_seconds(agent.pid) - cpu0
    finally:
        stop_flag.set()
        stop(agent)
    requests = {}
    for r in list(box.sim.web.requests):
        requests[r.path] = requests.get(r.path, 0) + 1
    return samples, cpu, counts, requests


def mib(kib):
    return "%.2f MiB" % (kib / 1024)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vtclient", required=True)
    parser.add_argument("--wget-https", required=True)
    parser.add_argument("--idle-seconds", type=float, default=120)
    parser.add_argument("--hours", type=int, default=1, help="simulated hours of activity")
    args = parser.parse_args()

    box = Sandbox(args.wget_https)
    try:
        idle, elapsed = idle_run(box, args.vtclient, args.idle_seconds)
        samples, active_cpu, counts, requests = activity_run(box, args.vtclient, args.hours)
    finally:
        box.close()

    a, s = idle["agent"], idle["sleep"]
    print()
    print("### Run time (x86-64 release build, against the simulator on loopback)")
    print()
    print("After start-up (authorised, first keepalive exchanged); idle window %.0f s of real time." % elapsed)
    print()
    print("| figure | vtclient | sleep (floor) |")
    print("|---|---|---|")
    print("| resident memory (RSS) | %s | %s |" % (mib(a["memory"][0]), mib(s["memory"][0])))
    print("| private memory (Private_Clean + Private_Dirty) | %s | %s |" % (mib(a["memory"][1]), mib(s["memory"][1])))
    print("| threads | %d | %d |" % (a["memory"][2], s["memory"][2]))
    print("| idle CPU per hour | %.2f s | %.2f s |" % (a["cpu_per_hour"], s["cpu_per_hour"]))
    print("| wake-ups per second (context switches) | %.1f | %.1f |" % (a["wakeups"], s["wakeups"]))
    for name, figures in (("vtclient", a), ("sleep", s)):
        calls = figures["syscalls"]
        if calls is not None:
            top = ", ".join("%s %.1f" % (k, v / 10) for k, v in sorted(calls.items(), key=lambda kv: -kv[1])[:6])
            print("| system calls per second, %s (strace -c, 10 s) | %s |  |" % (name, top or "none")
                  if name == "vtclient" else
                  "| system calls per second, sleep (strace -c, 10 s) |  | %s |" % (top or "none"))

    quarter = len(samples) // 4
    first, last = samples[:quarter], samples[-quarter:]
    avg = lambda rows, i: sum(r[i] for r in rows) / len(rows)  # noqa: E731
    growth = avg(last, 1) - avg(first, 1)
    print()
    print("%d simulated hour(s) of activity (libfaketime, clock x%d; sampled every simulated minute): "
          "%s; HTTPS requests served: %s." % (
              args.hours, RATE, ", ".join("%d %s" % (v, k) for k, v in counts.items()),
              ", ".join("%s %d" % (k, v) for k, v in sorted(requests.items()))))
    print()
    print("| figure | first quarter (avg) | last quarter (avg) | end | maximum |")
    print("|---|---|---|---|---|")
    print("| RSS | %s | %s | %s | %s |" % (mib(avg(first, 0)), mib(avg(last, 0)), mib(samples[-1][0]),
                                          mib(max(r[0] for r in samples))))
    print("| private | %s | %s | %s | %s |" % (mib(avg(first, 1)), mib(avg(last, 1)), mib(samples[-1][1]),
                                              mib(max(r[1] for r in samples))))
    print("| threads | %.1f | %.1f | %d | %d |" % (avg(first, 2), avg(last, 2), samples[-1][2],
                                                  max(r[2] for r in samples)))
    print()
    print("Private memory every 5 simulated minutes (KiB): %s." % ", ".join(
        str(r[1]) for r in samples[4::5]))
    print()
    print("CPU of the agent per simulated active hour: %.2f s (includes libfaketime's own cost)."
          % (active_cpu / args.hours))
    print()
    third = samples[2 * quarter:3 * quarter]
    settled = avg(last, 1) - avg(third, 1)
    print("Aims: private memory at the end under 2 MiB: %s (%s). Private memory from the first to the "
          "last quarter: %+.0f KiB; from the third to the last quarter: %+.0f KiB. (The first run of "
          "each kind of work - a new thread's stack and malloc arena, the C library's first popen "
          "and TLS exchange - settles within the first quarter; growth that goes on into the second "
          "half would be a leak.)" % ("met" if samples[-1][1] < 2048 else "NOT met", mib(samples[-1][1]),
                                      growth, settled))


if __name__ == "__main__":
    main()
