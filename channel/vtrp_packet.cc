#include "channel/vtrp_packet.h"

#include <cstring>

#include "channel/byte_order.h"

void vtrp_session_key_bytes(const char *session_key, uint8_t key[VTRP_KEY_LENGTH]) {
  std::memset(key, 0, VTRP_KEY_LENGTH);
  if (session_key != nullptr) std::memcpy(key, session_key, strnlen(session_key, VTRP_KEY_LENGTH));
}

void random_string(char *buffer, int length) {
  if (buffer == nullptr || length <= 0) return;
  // The letters are the base-26 digits of draw / 2^31, six per draw (26^6 <
  // 2^31 - 1, the RAND_MAX of the C libraries the agent runs on), each found
  // by one multiplication. They need no cryptographic strength, only to
  // differ between packets.
  int left = 0;
  uint32_t draw = 0;
  for (int i = 0; i < length; ++i, --left) {
    if (left == 0) {
      draw = static_cast<uint32_t>(rand()) & 0x7FFFFFFFu;
      left = 6;
    }
    const uint64_t scaled = static_cast<uint64_t>(draw) * 26;
    buffer[i] = static_cast<char>('a' + (scaled >> 31));
    draw = static_cast<uint32_t>(scaled) & 0x7FFFFFFFu;
  }
}

uint32_t vtrp_compose_packet_into(uint8_t *p, const uint8_t *message, uint32_t message_length,
                                  const char *identity, const char *session_key, uint16_t kind,
                                  udp_cipher_context *context) {
  if (p == nullptr || message == nullptr || identity == nullptr || session_key == nullptr ||
      message_length > VTRP_MAX_MESSAGE || kind == 0 || kind > VTRP_PACKET_KIND_NAME)
    return 0;

  random_string(reinterpret_cast<char *>(p + VTRP_OFFSET_IV), VTRP_IV_LENGTH);
  uint8_t key[VTRP_KEY_LENGTH];
  vtrp_session_key_bytes(session_key, key);
  int cipher_length = 0;
  if (udp_aes_128_cbc_cipher(context, message, static_cast<int>(message_length),
                             p + VTRP_OFFSET_CIPHERTEXT, &cipher_length, key, p + VTRP_OFFSET_IV,
                             UDP_CIPHER_ENCRYPT) != 1)
    return 0;

  std::memcpy(p + VTRP_OFFSET_MAGIC, "vtup", 4);
  vt_store_be16(p + VTRP_OFFSET_KIND, kind);
  const size_t identity_length = std::strlen(identity);
  p[VTRP_OFFSET_NAME_LENGTH] = static_cast<uint8_t>(identity_length);
  std::memset(p + VTRP_OFFSET_NAME, 0, VTRP_NAME_FIELD_LENGTH);
  std::memcpy(p + VTRP_OFFSET_NAME, identity,
              identity_length < VTRP_NAME_FIELD_LENGTH ? identity_length : VTRP_NAME_FIELD_LENGTH);
  vt_store_be16(p + VTRP_OFFSET_BLOCKS, static_cast<uint16_t>(cipher_length / VTRP_CIPHER_BLOCK));
  return static_cast<uint32_t>(cipher_length) + VTRP_PACKET_HEADER_LENGTH;
}

uint8_t *vtrp_compose_packet(const uint8_t *message, uint32_t message_length, const char *identity,
                             const char *session_key, uint32_t *packet_length, uint16_t kind) {
  if (message == nullptr || identity == nullptr || session_key == nullptr ||
      message_length > VTRP_MAX_MESSAGE || kind == 0 || kind > VTRP_PACKET_KIND_NAME)
    return nullptr;

  vtrp_packet_ptr packet(static_cast<uint8_t *>(std::malloc(VTRP_MAX_PACKET)));
  if (!packet) return nullptr;
  const uint32_t length = vtrp_compose_packet_into(packet.get(), message, message_length, identity,
                                                   session_key, kind, nullptr);
  if (length == 0) return nullptr;
  if (packet_length != nullptr) *packet_length = length;
  return packet.release();
}
