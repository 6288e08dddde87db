"""Command-line face of the simulator.

Events are printed one per line: the event name, then key=value fields whose
values are percent-encoded (so a line splits on blanks), for example

    recv n=3 from=127.0.0.1:40211 len=82 what=keepalive seq=1 id=1 flags=0x0001 code=0x0000 payload= ok=1 errors=
    send to=127.0.0.1:40211 len=82 what=keepalive-reply seq=1 id=1

Commands are read one per line from standard input; each is answered by an
"ok" or "error" event. Type "help" for the list.
"""

import argparse
import http
import shlex
import sys
import threading
import time
import urllib.parse

from .server import Simulator

HELP = """commands:
  invite MASK [flags=N] [seq=N] [id=N]   feature invitation (bit 0 firmware, 1 config, 2 extension)
  notice A B                             notice with an i16 and an i8
  reboot | dump                          reboot request, debug dump request
  action ID [ARG ...]                    remote action request with its arguments
  send CAT TYPE HEX [flags=N] [seq=N] [id=N]   any message
  retransmit [ID]                        the latest request (or request ID) again: new seq, same id
  replay [BACK]                          the BACK-th latest datagram again, byte for byte
  bad KIND [COUNT]                       damaged packets: {kinds}
  keepalives on|off|drop N|late SECONDS  answer keepalives, stop, leave the next N unanswered, or answer late
  reset-seq                              the next request carries the restart mark 0xFFFFFFFF
  auth ok|plain|broken|down|rekey        how the registration page answers (rekey: a new key each time)
  https PATH CODE [@FILE | TEXT]         scripted answer for a feature request path; TEXT is the
                                         rest of the line, with \n for a line end
  flood garbage|wrongkey|echo COUNT [PORT]  datagrams at full speed (to the device, or 127.0.0.1:PORT);
                                        echo: the device's latest keepalive, sent back
  latency COUNT [MASK]                   invitations one at a time; p50/p99 of the reply time
  status                                 counters
  quit"""


def format_event(name, fields):
    parts = [name]
    for key, value in fields.items():
        parts.append("%s=%s" % (key, urllib.parse.quote(str(value), safe="-_.:/,~+@")))
    return " ".join(parts)


def _options(tokens):
    """Splits "key=value" options (numbers in any base) from plain words."""
    words, opts = [], {}
    for token in tokens:
        key, eq, value = token.partition("=")
        if eq and key in ("flags", "seq", "id"):
            opts["msg_id" if key == "id" else key] = int(value, 0)
        else:
            words.append(token)
    return words, opts


class Console:
    def __init__(self, sim, out=sys.stdout):
        self.sim = sim
        self.out = out
        self.out_lock = threading.Lock()
        sim.listeners.append(self.print_event)

    def print_event(self, name, fields):
        with self.out_lock:
            self.out.write(format_event(name, fields) + "\n")
            self.out.flush()

    def run_command(self, line):
        # A scripted answer's text is taken as typed, up to the end of the
        # line: split like a shell line, its "\n" escapes would lose their
        # backslashes.
        if line.split(None, 1)[:1] == ["https"]:
            tokens = line.split(None, 3)
        else:
            tokens = shlex.split(line)
        if not tokens:
            return True
        command, args = tokens[0], tokens[1:]
        try:
            result = self._dispatch(command, args)
        except Exception as exc:  # a person typing: report and go on
            self.sim.emit("error", cmd=command, reason=str(exc))
            return True
        if result is False:
            return False
        fields = result if isinstance(result, dict) else {}
        self.sim.emit("ok", cmd=command, **fields)
        return True

    def _dispatch(self, command, args):
        sim = self.sim
        words, opts = _options(args) if command != "https" else (args, {})

        def sent(result):
            seq, msg_id, _ = result
            return {"seq": seq, "id": msg_id}

        if command == "help":
            self.out.write(HELP.format(kinds=", ".join(Simulator.BAD_KINDS)) + "\n")
        elif command == "invite":
            return sent(sim.invite(int(words[0], 0), **opts))
        elif command == "notice":
            return sent(sim.notice(int(words[0], 0), int(words[1], 0), **opts))
        elif command == "reboot":
            return sent(sim.send_request(3, b"", **opts))
        elif command == "dump":
            return sent(sim.send_request(5, b"", **opts))
        elif command == "action":
            return sent(sim.action(int(words[0], 0), words[1:], **opts))
        elif command == "send":
            return sent(sim.send_request(int(words[1], 0), bytes.fromhex(words[2] if len(words) > 2 else ""),
                                         category=int(words[0], 0), **opts))
        elif command == "retransmit":
            return sent(sim.retransmit(int(words[0], 0) if words else None))
        elif command == "replay":
            sim.replay(int(words[0]) if words else 1)
        elif command == "bad":
            for _ in range(int(words[1]) if len(words) > 1 else 1):
                sim.bad_packet(words[0])
        elif command == "keepalives":
            with sim.lock:
                if words[0] == "drop":
                    sim.drop_keepalives = int(words[1])
                elif words[0] == "late":
                    sim.keepalive_delay = float(words[1])
                else:
                    sim.answer_keepalives = words[0] == "on"
        elif command == "reset-seq":
            with sim.lock:
                sim.next_seq = 0xFFFFFFFF
        elif command == "auth":
            if words[0] not in ("ok", "plain", "broken", "down", "rekey"):
                raise ValueError("auth mode is ok, plain, broken, down or rekey")
            sim.web.auth_mode = words[0]
        elif command == "https":
            code = int(words[1])
            status = "%d %s" % (code, http.HTTPStatus(code).phrase)
            body = b""
            if len(words) > 2:
                text = " ".join(words[2:])
                if text.startswith("@"):
                    with open(text[1:], "rb") as f:
                        body = f.read()
                else:
                    body = text.encode().decode("unicode_escape").encode("latin-1")
            sim.web.script(words[0], status, body)
        elif command == "flood":
            port = int(words[2]) if len(words) > 2 else None
            return {"seconds": "%.3f" % sim.flood(words[0], int(words[1]), port)}
        elif command == "latency":
            return sim.latency(int(words[0]), int(words[1], 0) if len(words) > 1 else 2)
        elif command == "status":
            with sim.lock:
                bad = sum(1 for r in sim.received if not r["ok"])
                return {"received": len(sim.received), "invalid": bad, "sent": len(sim.sent),
                        "https": len(sim.web.requests), "peer": "%s:%d" % sim.peer if sim.peer else ""}
        elif command in ("quit", "exit"):
            return False
        else:
            raise ValueError("unknown command (try help)")
        return None


def main(argv=None):
    parser = argparse.ArgumentParser(description="Vantor management-server simulator")
    parser.add_argument("--serial", required=True, help="the device serial the packets are addressed to")
    parser.add_argument("--key", help="16-character session key (random by default)")
    parser.add_argument("--registration-path", default="udps/register")
    parser.add_argument("--workdir", help="where the certificate and request bodies go")
    parser.add_argument("--udp-port", type=int, default=0)
    parser.add_argument("--https-port", type=int, default=0)
    parser.add_argument("--invite-every", type=float, default=0,
                        help="demo: send a configuration invitation every N seconds")
    parser.add_argument("--no-stdin", action="store_true",
                        help="read no commands; serve until killed (background demo)")
    args = parser.parse_args(argv)

    sim = Simulator(args.serial, args.key, args.registration_path, args.workdir,
                    args.udp_port, args.https_port)
    console = Console(sim)
    sim.start()
    if args.invite_every > 0:
        def demo():
            while not sim.stopping.wait(args.invite_every):
                console.run_command("invite 2")
        threading.Thread(target=demo, daemon=True).start()
    try:
        if args.no_stdin:
            while True:
                time.sleep(3600)
        # End of input ends the simulator, so it never outlives its driver.
        for line in sys.stdin:
            if not console.run_command(line.strip()):
                break
    except KeyboardInterrupt:
        pass
    finally:
        sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
