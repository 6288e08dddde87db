#include "channel/vtrp_packet.h"

#include <cstring>

#include "channel/byte_order.h"
#include "channel/packet_cipher.h"

void vtrp_session_key_bytes(const char *session_key, uint8_t key[VTRP_KEY_LENGTH]) {
  std::memset(key, 0, VTRP_KEY_LENGTH);
  if (session_key != nullptr) std::memcpy(key, session_key, strnlen(session_key, VTRP_KEY_LENGTH));
}

void random_string(char *buffer, int length) {
  if (buffer == nullptr || length <= 0) return;
  for (int i = 0; i < length; ++i) buffer[i] = static_cast<char>('a' + rand() % 26);
}

uint8_t *vtrp_compose_packet(const uint8_t *message, uint32_t message_length, const char *identity,
                             const char *session_key, uint32_t *packet_length, uint16_t kind) {
  if (message == nullptr || identity == nullptr || session_key == nullptr ||
      message_length > VTRP_MAX_MESSAGE || kind == 0 || kind > VTRP_PACKET_KIND_NAME)
    return nullptr;

  vtrp_packet_ptr packet(static_cast<uint8_t *>(std::malloc(VTRP_MAX_PACKET)));
  if (!packet) return nullptr;
  uint8_t *p = packet.get();

  random_string(reinterpret_cast<char *>(p + VTRP_OFFSET_IV), VTRP_IV_LENGTH);
  uint8_t key[VTRP_KEY_LENGTH];
  vtrp_session_key_bytes(session_key, key);
  int cipher_length = 0;
  if (udp_aes_128_cbc_cipher(nullptr, message, static_cast<int>(message_length),
                             p + VTRP_OFFSET_CIPHERTEXT, &cipher_length, key, p + VTRP_OFFSET_IV,
                             UDP_CIPHER_ENCRYPT) != 1)
    return nullptr;

  std::memcpy(p + VTRP_OFFSET_MAGIC, "vtup", 4);
  vt_store_be16(p + VTRP_OFFSET_KIND, kind);
  const size_t identity_length = std::strlen(identity);
  p[VTRP_OFFSET_NAME_LENGTH] = static_cast<uint8_t>(identity_length);
  std::memset(p + VTRP_OFFSET_NAME, 0, VTRP_NAME_FIELD_LENGTH);
  std::memcpy(p + VTRP_OFFSET_NAME, identity,
              identity_length < VTRP_NAME_FIELD_LENGTH ? identity_length : VTRP_NAME_FIELD_LENGTH);
  vt_store_be16(p + VTRP_OFFSET_BLOCKS, static_cast<uint16_t>(cipher_length / VTRP_CIPHER_BLOCK));

  if (packet_length != nullptr)
    *packet_length = static_cast<uint32_t>(cipher_length) + VTRP_PACKET_HEADER_LENGTH;
  return packet.release();
}
