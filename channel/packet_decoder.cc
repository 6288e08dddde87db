#include "channel/packet_decoder.h"

#include <cstring>

#include "channel/byte_order.h"
#include "channel/crc.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"

namespace {

packet_verdict check_header(const uint8_t *d, size_t length, const char *serial) {
  if (length < VTRP_MIN_DATAGRAM) return packet_verdict::too_short;
  if (std::memcmp(d + VTRP_OFFSET_MAGIC, "vtup", 4) != 0) return packet_verdict::bad_magic;
  if (vt_load_be16(d + VTRP_OFFSET_KIND) != VTRP_PACKET_KIND_NAME) return packet_verdict::bad_kind;

  const size_t blocks = vt_load_be16(d + VTRP_OFFSET_BLOCKS);
  if (length != VTRP_PACKET_HEADER_LENGTH + VTRP_CIPHER_BLOCK * blocks || length > VTRP_MAX_PACKET)
    return packet_verdict::bad_length;

  // The server addresses the device by its serial; the name is compared up to
  // its length byte, and like C text it ends at a zero byte.
  const size_t name_length = d[VTRP_OFFSET_NAME_LENGTH];
  if (name_length < VTRP_MIN_NAME_LENGTH || name_length > VTRP_NAME_FIELD_LENGTH)
    return packet_verdict::bad_name;
  if (serial == nullptr ||
      std::strncmp(reinterpret_cast<const char *>(d + VTRP_OFFSET_NAME), serial, name_length) != 0)
    return packet_verdict::bad_name;
  return packet_verdict::ok;
}

}  // namespace

const char *packet_verdict_name(packet_verdict verdict) {
  switch (verdict) {
    case packet_verdict::ok: return "ok";
    case packet_verdict::too_short: return "too short";
    case packet_verdict::bad_magic: return "bad magic";
    case packet_verdict::bad_kind: return "bad kind";
    case packet_verdict::bad_length: return "bad length";
    case packet_verdict::bad_name: return "bad name";
    case packet_verdict::decrypt_failed: return "decrypt failed";
    case packet_verdict::short_message: return "short message";
    case packet_verdict::crc_mismatch: return "crc mismatch";
  }
  return "unknown";
}

packet_verdict vtrp_decode_packet(const uint8_t *datagram, size_t datagram_length,
                                  const char *serial, const char *session_key, uint8_t *message,
                                  uint32_t *message_length, vtrp_header *header,
                                  udp_cipher_context *context) {
  if (datagram == nullptr) return packet_verdict::too_short;
  const packet_verdict outer = check_header(datagram, datagram_length, serial);
  if (outer != packet_verdict::ok) return outer;
  if (session_key == nullptr || message == nullptr) return packet_verdict::decrypt_failed;

  uint8_t key[VTRP_KEY_LENGTH];
  vtrp_session_key_bytes(session_key, key);
  int length = 0;
  if (udp_aes_128_cbc_cipher(context, datagram + VTRP_OFFSET_CIPHERTEXT,
                             static_cast<int>(datagram_length - VTRP_PACKET_HEADER_LENGTH), message,
                             &length, key, datagram + VTRP_OFFSET_IV, UDP_CIPHER_DECRYPT) != 1)
    return packet_verdict::decrypt_failed;
  if (static_cast<size_t>(length) < VTRP_HEADER_LENGTH) return packet_verdict::short_message;

  if (crc(message + 4, length - 4) != vt_load_be32(message + VTRP_OFFSET_CRC))
    return packet_verdict::crc_mismatch;

  if (header != nullptr) *header = vtrp_decode_header(message);
  if (message_length != nullptr) *message_length = static_cast<uint32_t>(length);
  return packet_verdict::ok;
}
