"""The management server's UDP side, plus the glue to its HTTPS side.

A Simulator owns one UDP socket on 127.0.0.1 and the HTTPS server. It
records every datagram that arrives, checks it strictly (packet layout,
cipher, CRC, flags, command code, payload, sequence numbers and ids), answers
keepalives, and on request sends the server's messages: invitations,
notices, reboot, action and debug dump requests, retransmissions (new seq,
same id), byte-exact replays, out-of-order sequence numbers and damaged
packets of every kind the device must reject.

Everything that happens is reported to the listeners as an event: a name and
a dict of fields (see cli.py for the text form).
"""

import os
import random
import socket
import string
import struct
import tempfile
import threading
import time

from . import wire
from .web import WebSide

MASK32 = 0xFFFFFFFF


class Simulator:
    def __init__(self, serial, key=None, registration_path="udps/register", workdir=None,
                 udp_port=0, https_port=0):
        self.serial = serial
        self.key = key or "".join(random.choice(string.ascii_letters + string.digits) for _ in range(16))
        self.workdir = workdir or tempfile.mkdtemp(prefix="vtsim-")
        os.makedirs(self.workdir, exist_ok=True)
        self.listeners = []
        self.lock = threading.RLock()
        self.stopping = threading.Event()

        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind(("127.0.0.1", udp_port))
        self.sock.settimeout(0.2)
        self.udp_port = self.sock.getsockname()[1]
        self.web = WebSide(self, self.workdir, registration_path, https_port)

        self.peer = None              # device address, from its latest valid packet
        self.received = []            # records of datagrams from the device
        self.sent = []                # (bytes, address) of everything sent, for replays
        self.next_seq = wire.RESTART_SEQ
        self.requests = {}            # seq -> request record (our transmissions)
        self.last_request = None
        self.by_id = {}               # id -> the latest request sent with it
        self.device_seq = None        # latest seq of a device-originated message
        self.device_ids = {}          # id -> (code, payload) of device messages
        self.device_keepalive = None  # the latest keepalive packet of the device, as it came
        self.answer_keepalives = True
        self.drop_keepalives = 0      # keepalives left unanswered before answering again
        self.keepalive_delay = 0.0    # seconds each keepalive reply is held back
        self.quiet = False            # no per-datagram events (bulk runs)
        self.reply_waiters = {}       # seq -> threading.Event
        self.thread = threading.Thread(target=self._receive_loop, daemon=True)

    # ----- life cycle -----

    def start(self):
        self.web.start()
        self.thread.start()
        self.emit("ready", udp="127.0.0.1:%d" % self.udp_port, https="127.0.0.1:%d" % self.web.port,
                  ca=self.web.ca_file, key=self.key, serial=self.serial, workdir=self.workdir,
                  registration=self.web.registration_path)

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=2)
        self.web.stop()
        self.sock.close()

    def emit(self, name, **fields):
        for listener in list(self.listeners):
            listener(name, fields)

    # ----- receiving -----

    def _receive_loop(self):
        while not self.stopping.is_set():
            try:
                data, address = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return
            arrival = time.perf_counter_ns()
            self._on_datagram(data, address, arrival)

    def _on_datagram(self, data, address, arrival):
        message, errors = wire.parse_packet(data, self.serial, self.key)
        record = {"n": len(self.received) + 1, "from": "%s:%d" % address, "len": len(data)}
        with self.lock:
            if message is not None and "name" not in errors:
                self.peer = address
            if message is not None:
                errors += self._check_message(message, record, arrival)
            record["errors"] = ",".join(errors)
            record["ok"] = 0 if errors else 1
            self.received.append(record)
        if not self.quiet:
            self.emit("recv", **record)
        if message is not None and message.category == 0 and not message.is_reply:
            self.device_keepalive = data
            self._answer_keepalive(message)
        waiter = self.reply_waiters.pop(record.get("seq"), None) if message and message.is_reply else None
        if waiter:
            waiter.set()

    def _check_message(self, m, record, arrival):
        """Message-level rules for what the device sends; returns error words."""
        record.update(what=m.name, seq=m.seq, id=m.id, flags="0x%04x" % m.flags,
                      code="0x%04x" % m.code, payload=m.payload.hex())
        if m.is_reply:
            return self._check_reply(m, record, arrival)
        errors = []
        if m.flags not in (0, wire.FLAG_WANT_REPLY):
            errors.append("flags")
        if (m.category, m.type) == (0, 0):
            if m.flags != wire.FLAG_WANT_REPLY or m.payload:
                errors.append("keepalive-form")
        elif (m.category, m.type) == (2, 3):
            if m.flags != 0 or len(m.payload) != 13 or m.payload[12] not in (0, 1):
                errors.append("gps-form")
            else:
                stamp, lat, lon, valid = struct.unpack(">IiiB", m.payload)
                record.update(gps="%d,%d,%d,%d" % (stamp, lat, lon, valid))
        else:
            errors.append("code")
        # Sequence numbers: the restart mark, then one more each transmission.
        if m.seq == wire.RESTART_SEQ:
            record["restart"] = 1
        elif self.device_seq is None:
            errors.append("first-seq")
        elif m.seq != (self.device_seq + 1) & MASK32:
            errors.append("seq-skip")
        self.device_seq = m.seq
        # Ids: a new message takes the seq of its transmission as id; a
        # retransmission keeps the id of the message it repeats.
        known = self.device_ids.get(m.id)
        if known is not None and known != (m.code, m.payload):
            errors.append("id-reused")
        elif known is None and m.id != m.seq:
            errors.append("id")
        if known is not None:
            record["retransmission"] = 1
        self.device_ids[m.id] = (m.code, m.payload)
        return errors

    def _check_reply(self, m, record, arrival):
        errors = []
        request = self.requests.get(m.seq)
        if m.flags not in (wire.REPLY_OK, wire.REPLY_FAIL):
            errors.append("flags")
        record["result"] = "accepted" if m.flags == wire.REPLY_OK else "refused"
        if request is None:
            return errors + ["unmatched"]
        if request["id"] != m.id:
            errors.append("id")
        if request["code"] != m.code:
            errors.append("code")
        expected = request["payload"][:4] if m.code == 0x0104 else b""
        if m.payload != expected:
            errors.append("payload")
        if request.get("answered"):
            errors.append("second-reply")
        request["answered"] = True
        record["latency_us"] = (arrival - request["sent_ns"]) // 1000
        return errors

    def _answer_keepalive(self, m):
        with self.lock:
            if not self.answer_keepalives:
                return
            if self.drop_keepalives > 0:
                self.drop_keepalives -= 1
                self.emit("keepalive-unanswered", seq=m.seq, id=m.id)
                return
            delay = self.keepalive_delay
        reply = wire.Message(wire.REPLY_OK, m.seq, m.id, 0, 0).encode()
        if delay <= 0:
            self._send(reply, what="keepalive-reply", seq=m.seq, id=m.id)
            return

        def late():
            if not self.stopping.is_set():
                self._send(reply, what="keepalive-reply", seq=m.seq, id=m.id, late=delay)
        timer = threading.Timer(delay, late)
        timer.daemon = True
        timer.start()

    # ----- sending -----

    def _send(self, data, quiet=False, **fields):
        with self.lock:
            address = self.peer
            if address is None:
                raise RuntimeError("no device address yet (wait for its first keepalive)")
            packet = wire.build_packet(self.serial, self.key, data) if "raw" not in fields else data
            fields.pop("raw", None)
            self.sent.append((packet, address))
            self.last_send_ns = time.perf_counter_ns()
        self.sock.sendto(packet, address)
        if not (quiet or self.quiet):
            self.emit("send", to="%s:%d" % address, len=len(packet), **fields)
        return packet

    def take_seq(self):
        with self.lock:
            seq = self.next_seq
            self.next_seq = (seq + 1) & MASK32
            return seq

    def send_request(self, type_, payload=b"", flags=wire.FLAG_WANT_REPLY, seq=None, msg_id=None,
                     category=1):
        """Sends one server message; returns (seq, id)."""
        if seq is None:
            seq = self.take_seq()
        if msg_id is None:
            msg_id = seq
        message = wire.Message(flags, seq, msg_id, category, type_, payload)
        waiter = threading.Event()
        with self.lock:
            self.reply_waiters[seq] = waiter
            self.requests[seq] = {"id": msg_id, "code": message.code, "payload": bytes(payload)}
            self.last_request = (type_, bytes(payload), flags, msg_id, category)
            self.by_id[msg_id] = self.last_request
            packet = self._send(message.encode(), what=message.name, seq=seq, id=msg_id,
                                flags="0x%04x" % flags, payload=bytes(payload).hex())
            self.requests[seq].update(sent_ns=self.last_send_ns, packet=packet)
        return seq, msg_id, waiter

    def invite(self, mask, **kw):
        return self.send_request(1, struct.pack(">I", mask), **kw)

    def notice(self, a, b, **kw):
        return self.send_request(2, struct.pack(">hb", a, b), **kw)

    def action(self, request_id, args, **kw):
        payload = struct.pack(">Ib", request_id, len(args))
        for arg in args:
            text = arg.encode() if isinstance(arg, str) else arg
            payload += struct.pack(">b", len(text)) + text
        return self.send_request(4, payload, **kw)

    def retransmit(self, msg_id=None):
        """A request again (the latest, or the one with msg_id): a fresh seq, the same id."""
        request = self.last_request if msg_id is None else self.by_id.get(msg_id)
        if request is None:
            raise RuntimeError("no such request sent yet")
        type_, payload, flags, msg_id, category = request
        return self.send_request(type_, payload, flags=flags, msg_id=msg_id, category=category)

    def replay(self, back=1):
        """Sends the back-th latest datagram again, byte for byte."""
        packet, _ = self.sent[-back]
        self._send(packet, raw=True, what="replay", back=back)

    def replay_request(self, seq):
        """The packet of the request sent with seq again, byte for byte, to
        the device's current address: what someone who recorded it can do."""
        self._send(self.requests[seq]["packet"], raw=True, what="replay", seq=seq)

    def bad_packet(self, kind):
        """One packet that the device must reject; returns its bytes."""
        good = wire.build_packet(self.serial, self.key,
                                 wire.Message(1, self.next_seq, self.next_seq, 1, 1, b"\0\0\0\2").encode())
        b = bytearray(good)
        if kind == "short":
            b = b[:35]
        elif kind == "magic":
            b[0:4] = b"vtux"
        elif kind == "kind":
            b[4:6] = b"\0\1"
        elif kind == "length":
            b = b[:-1]
        elif kind == "namelen-short":
            b[6] = 7
        elif kind == "namelen-long":
            b[6] = 26
        elif kind == "serial":
            b[7] ^= 0x01
        elif kind == "oversize":
            b = b[:32] + struct.pack(">H", 33) + b[34:50] + os.urandom(33 * 16)
        elif kind == "key":
            b = bytearray(wire.build_packet(self.serial, "wrongwrongwrong!",
                                            wire.Message(1, 1, 1, 1, 1, b"\0\0\0\2").encode()))
        elif kind == "crc":
            message = wire.Message(1, self.next_seq, self.next_seq, 1, 1, b"\0\0\0\2")
            b = bytearray(wire.build_packet(self.serial, self.key, message.encode(crc=0x12345678)))
        elif kind == "garbage":
            b = bytearray(wire.garbage())
        elif kind == "tiny-message":
            # Decrypts and passes the CRC, yet is shorter than a message header.
            body = b"\0\1\0\0\0\0"
            b = bytearray(wire.build_packet(self.serial, self.key, struct.pack(">I", wire.crc32(body)) + body))
        else:
            raise ValueError("unknown bad packet kind: %s" % kind)
        self._send(bytes(b), raw=True, what="bad-" + kind)
        return bytes(b)

    BAD_KINDS = ("short", "magic", "kind", "length", "namelen-short", "namelen-long", "serial",
                 "oversize", "key", "crc", "garbage", "tiny-message")

    # ----- bulk runs -----

    def flood(self, kind, count, port=None):
        """count datagrams at full speed: "garbage" or "wrongkey" packets,
        or "echo", the device's latest keepalive sent back to it as it came,
        to the device or to another port on 127.0.0.1 (a bench's bare loop)."""
        if kind == "garbage":
            pool = [wire.garbage() for _ in range(256)]
        elif kind == "echo":
            if self.device_keepalive is None:
                raise RuntimeError("no keepalive of the device recorded yet")
            pool = [self.device_keepalive] * 256
        elif kind == "wrongkey":
            pool = [wire.build_packet(self.serial, "%016x" % random.getrandbits(64),
                                      wire.Message(1, i, i, 1, 1, b"\0\0\0\2").encode())
                    for i in range(256)]
        else:
            raise ValueError("flood kind is garbage, wrongkey or echo")
        with self.lock:
            address = ("127.0.0.1", port) if port else self.peer
        if address is None:
            raise RuntimeError("no device address yet")
        start = time.perf_counter()
        for i in range(count):
            try:
                self.sock.sendto(pool[i & 255], address)
            except OSError:
                pass  # a full socket buffer only loses that datagram
            if (i & 1023) == 0 and not port:
                with self.lock:
                    address = self.peer or address  # follows a re-created socket
        seconds = time.perf_counter() - start
        self.emit("flood-done", kind=kind, count=count, seconds="%.3f" % seconds)
        return seconds

    def latency(self, count, mask=2, timeout=2.0):
        """count invitations, one at a time; percentiles of send-to-reply time."""
        samples, lost = [], 0
        was_quiet, self.quiet = self.quiet, True
        try:
            for _ in range(count):
                seq, _, waiter = self.invite(mask)
                if not waiter.wait(timeout):
                    lost += 1
                    continue
                record = next((r for r in reversed(self.received) if r.get("seq") == seq and
                               "latency_us" in r), None)
                if record:
                    samples.append(record["latency_us"])
        finally:
            self.quiet = was_quiet
        samples.sort()

        def pct(p):
            return samples[min(len(samples) - 1, int(len(samples) * p))] if samples else -1

        result = {"count": count, "answered": len(samples), "lost": lost, "p50_us": pct(0.50),
                  "p99_us": pct(0.99), "max_us": samples[-1] if samples else -1}
        self.emit("latency", **result)
        return result

    # ----- HTTPS side -----

    def rekey(self):
        """A new session key, and the server's numbering starts again with
        the restart mark, as after a restart of the server."""
        with self.lock:
            self.key = "".join(random.choice(string.ascii_letters + string.digits) for _ in range(16))
            self.next_seq = wire.RESTART_SEQ
        self.emit("rekey", key=self.key)

    def on_registration(self):
        # A freshly authorised device starts its sequence numbers, and with
        # them its message ids, again.
        with self.lock:
            self.device_seq = None
            self.device_ids.clear()

    def on_web_request(self, request):
        path = os.path.join(self.workdir, "https-%04d.body" % request.number)
        with open(path, "wb") as f:
            f.write(request.body)
        fields = {"n": request.number, "method": request.method, "path": request.path,
                  "status": request.status, "len": len(request.body), "body_file": path}
        if request.path == self.web.registration_path:
            form = request.form()
            missing = [k for k in ("serial", "model", "variant", "version", "time") if k not in form]
            errors = ["missing-" + k for k in missing]
            if form.get("serial") != self.serial:
                errors.append("serial")
            fields.update(serial=form.get("serial", ""), model=form.get("model", ""),
                          version=form.get("version", ""), errors=",".join(errors))
        self.emit("https", **fields)
