// The one decoder of received datagrams, shared by the receive thread, the
// tests and the fuzzer.
//
// It checks the packet header, decrypts the message, checks its CRC and
// decodes its header, and says which check failed. It never reads
// beyond the datagram nor writes beyond the message buffer: a ciphertext of
// more than 512 bytes is not decrypted, and a decrypted message shorter than
// the 16-byte header is refused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/packet_cipher.h"
#include "channel/vtrp_message.h"

enum class packet_verdict {
  ok,
  too_short,      // fewer than 36 bytes
  bad_magic,      // not "vtup"
  bad_kind,       // packet kind other than 2
  bad_length,     // length is not 50 + 16 * blocks, or more than 32 blocks
  bad_name,       // name length outside 8..25 or another device's serial
  decrypt_failed, // no key, or the cipher refused the data (bad padding)
  short_message,  // decrypted to fewer than 16 bytes: no header to read
  crc_mismatch,   // message CRC differs from its content
};

// Rejected before decryption: counted by the receiver as a header error.
// Every other failure counts as a decryption error.
constexpr bool packet_verdict_is_header_error(packet_verdict verdict) {
  return verdict == packet_verdict::too_short || verdict == packet_verdict::bad_magic ||
         verdict == packet_verdict::bad_kind || verdict == packet_verdict::bad_length ||
         verdict == packet_verdict::bad_name;
}

// Short lower-case name of a verdict, for traces and test output.
const char *packet_verdict_name(packet_verdict verdict);

// Decodes one datagram addressed to the device with the given serial, under
// the session key text (null: not authorised, every packet fails decryption).
// message receives the decrypted message as it travels (network order) and
// must hold VTRP_MAX_CIPHERTEXT (512) bytes; message_length receives its
// length and header, when not null, its header decoded to host order: the
// one decoding the header gets. They are written only when the verdict is ok
// (the message buffer may hold partial data otherwise). context is the
// receiver's cipher context, kept for the session (null: a temporary one for
// this packet).
packet_verdict vtrp_decode_packet(const uint8_t *datagram, size_t datagram_length,
                                  const char *serial, const char *session_key, uint8_t *message,
                                  uint32_t *message_length, vtrp_header *header,
                                  udp_cipher_context *context = nullptr);
