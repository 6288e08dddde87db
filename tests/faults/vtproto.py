"""The channel's wire format, written independently of the agent's code.

Messages are a 16-byte big-endian header (crc, flags, seq, id, category,
type) and a payload; packets carry one AES-128-CBC encrypted message behind
the "vtup" magic, the addressee's serial and a letter IV.
"""
import random
import string
import struct
import zlib

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

MAGIC = b"vtup"
KIND_BY_NAME = 2
HEADER = struct.Struct(">IHIIBB")

REPLY_WANTED = 0x0001
REPLY_OK = 0x0101
REPLY_FAIL = 0x8101


def is_reply(flags):
    return (flags & 0x8100) != 0


def make_message(flags, seq, mid, category, mtype, payload=b""):
    rest = struct.pack(">HIIBB", flags, seq, mid, category, mtype) + payload
    return struct.pack(">I", zlib.crc32(rest) & 0xFFFFFFFF) + rest


def parse_message(data):
    """(flags, seq, id, category, type, payload), or None when the CRC is off."""
    if len(data) < 16:
        return None
    crc, flags, seq, mid, cat, typ = HEADER.unpack_from(data)
    if crc != zlib.crc32(data[4:]) & 0xFFFFFFFF:
        return None
    return flags, seq, mid, cat, typ, data[16:]


def _cipher(key, iv):
    return Cipher(algorithms.AES(key.encode()[:16]), modes.CBC(iv))


def make_packet(serial, key, message):
    iv = "".join(random.choice(string.ascii_lowercase) for _ in range(16)).encode()
    padder = padding.PKCS7(128).padder()
    plain = padder.update(message) + padder.finalize()
    enc = _cipher(key, iv).encryptor()
    ct = enc.update(plain) + enc.finalize()
    name = serial.encode()[:25]
    return (MAGIC + struct.pack(">HB", KIND_BY_NAME, len(name) & 0xFF)
            + name.ljust(25, b"\0") + struct.pack(">H", len(ct) // 16) + iv + ct)


def open_packet(data, key):
    """(serial, message) of a packet, or None when it does not decode."""
    if len(data) < 50 or data[:4] != MAGIC:
        return None
    kind, nlen = struct.unpack_from(">HB", data, 4)
    (blocks,) = struct.unpack_from(">H", data, 32)
    if kind != KIND_BY_NAME or len(data) != 50 + 16 * blocks:
        return None
    serial = data[7:7 + min(nlen, 25)].decode(errors="replace")
    try:
        dec = _cipher(key, data[34:50]).decryptor()
        plain = dec.update(data[50:]) + dec.finalize()
        unpadder = padding.PKCS7(128).unpadder()
        message = unpadder.update(plain) + unpadder.finalize()
    except ValueError:
        return None
    return serial, message


def random_key():
    return "".join(random.choice(string.ascii_letters + string.digits) for _ in range(16))


def action_payload(request_id, args):
    out = struct.pack(">Ib", request_id, len(args))
    for a in args:
        b = a.encode()
        out += struct.pack(">b", len(b)) + b
    return out


def gps_fields(payload):
    """(timestamp, latitude, longitude, valid) of a GPS report payload."""
    return struct.unpack(">Iiib", payload[:13])


