"""The channel's packets as the management server sees them.

Written independently of the agent's own codec so that each checks the other.

Packet: "vtup", kind u16 (2), name length u8, name (25 bytes, zero padded),
block count u16, 16 lowercase letters of IV, AES-128-CBC/PKCS#7 ciphertext.
Message: crc u32 (CRC-32 of bytes 4..end), flags u16, seq u32, id u32,
category u8, type u8, payload. All integers big-endian.
"""

import os
import random
import struct
import zlib

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

MAGIC = b"vtup"
KIND = 2
HEADER = 50          # bytes before the ciphertext
MESSAGE_HEADER = 16  # bytes before the payload
MAX_PAYLOAD = 495
MAX_PACKET = 562

FLAG_WANT_REPLY = 0x0001
FLAG_REPLY = 0x0100
FLAG_FAILURE = 0x8000
REPLY_OK = 0x0101
REPLY_FAIL = 0x8101

RESTART_SEQ = 0xFFFFFFFF

# (category, type) -> name, for the conversation log.
CODE_NAMES = {
    (0, 0): "keepalive",
    (1, 1): "invitation",
    (1, 2): "notice",
    (1, 3): "reboot",
    (1, 4): "action",
    (1, 5): "debug-dump",
    (2, 3): "gps",
}


def crc32(data):
    """CRC-32 of IEEE 802.3; zlib's is the same function."""
    return zlib.crc32(data) & 0xFFFFFFFF if data else 0


def _cipher(key, iv):
    return Cipher(algorithms.AES(key_bytes(key)), modes.CBC(iv))


def key_bytes(key):
    """The AES key is the first 16 bytes of the session key text."""
    raw = key.encode() if isinstance(key, str) else bytes(key)
    return raw[:16].ljust(16, b"\0")


def encrypt(key, iv, plain):
    padder = padding.PKCS7(128).padder()
    data = padder.update(plain) + padder.finalize()
    enc = _cipher(key, iv).encryptor()
    return enc.update(data) + enc.finalize()


def decrypt(key, iv, cipher_text):
    """Returns the plain text, or None when the padding is not valid."""
    dec = _cipher(key, iv).decryptor()
    data = dec.update(cipher_text) + dec.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    try:
        return unpadder.update(data) + unpadder.finalize()
    except ValueError:
        return None


def random_iv():
    return bytes(random.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(16))


class Message:
    """One decoded message; fields in host order."""

    def __init__(self, flags, seq, msg_id, category, type_, payload=b"", crc=None):
        self.flags = flags
        self.seq = seq
        self.id = msg_id
        self.category = category
        self.type = type_
        self.payload = bytes(payload)
        self.crc = crc

    @property
    def code(self):
        return self.category * 256 + self.type

    @property
    def is_reply(self):
        return bool(self.flags & 0x8100)

    @property
    def name(self):
        return CODE_NAMES.get((self.category, self.type), "code-%04x" % self.code)

    def encode(self, crc=None):
        body = struct.pack(">HIIBB", self.flags, self.seq, self.id, self.category, self.type)
        body += self.payload
        value = crc32(body) if crc is None else crc
        return struct.pack(">I", value) + body

    @classmethod
    def decode(cls, data):
        flags, seq, msg_id, category, type_ = struct.unpack_from(">HIIBB", data, 4)
        (crc,) = struct.unpack_from(">I", data, 0)
        return cls(flags, seq, msg_id, category, type_, data[16:], crc)


def build_packet(serial, key, message_bytes, iv=None, kind=KIND):
    """Wraps already encoded message bytes into a packet addressed to serial."""
    iv = iv or random_iv()
    name = serial.encode()[:25]
    cipher_text = encrypt(key, iv, message_bytes)
    head = MAGIC + struct.pack(">HB", kind, len(serial) & 0xFF) + name.ljust(25, b"\0")
    return head + struct.pack(">H", len(cipher_text) // 16) + iv + cipher_text


def parse_packet(data, serial, key):
    """Decodes and strictly checks one packet from the device.

    Returns (message or None, list of error words). Every deviation from the
    packet layout is reported, not only the first.
    """
    errors = []
    if len(data) < HEADER + 16:
        return None, ["short"]
    if data[:4] != MAGIC:
        errors.append("magic")
    kind, name_len = struct.unpack_from(">HB", data, 4)
    if kind != KIND:
        errors.append("kind")
    expected_name = serial.encode()[:25]
    if name_len != (len(serial) & 0xFF):
        errors.append("name-length")
    if data[7:32] != expected_name.ljust(25, b"\0"):
        errors.append("name")
    (blocks,) = struct.unpack_from(">H", data, 32)
    if len(data) != HEADER + 16 * blocks or blocks == 0:
        errors.append("block-count")
    if len(data) > MAX_PACKET:
        errors.append("too-long")
    iv = data[34:50]
    if any(c < ord("a") or c > ord("z") for c in iv):
        errors.append("iv-letters")
    cipher_text = data[HEADER:]
    if len(cipher_text) % 16:
        return None, errors + ["cipher-length"]
    plain = decrypt(key, iv, cipher_text)
    if plain is None:
        return None, errors + ["decrypt"]
    if len(plain) < MESSAGE_HEADER:
        return None, errors + ["message-short"]
    message = Message.decode(plain)
    if message.crc != crc32(plain[4:]):
        errors.append("crc")
    if len(cipher_text) != 16 * (len(plain) // 16 + 1):
        errors.append("padding-length")
    return message, errors


def garbage(rng=random):
    """A datagram of random bytes that is not a packet of this channel."""
    return os.urandom(rng.randint(1, 600))
