// What wire_interop.py cannot reach from outside: argument and buffer checks,
// the cipher's refusals and the per-packet vector. Kept cipher contexts (one per
// direction wherever used) following a new key or a failed packet are the
// client test's: its rekeyed sessions and its runs of undecryptable packets.
#include <gtest/gtest.h>

#include <cstring>

#include "channel/packet_cipher.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"

TEST(Codec, MessagesAndPacketsThatDoNotFitAreRefused) {
  agenda_item r{};
  uint8_t message[VTRP_MAX_MESSAGE + 1] = {};
  uint32_t length = 0;
  r.payload_length = 496;
  EXPECT_EQ(vtrp_compose_message(message, &r, &length), -1);
  // Converting in place needs a whole header.
  EXPECT_EQ(vtrp_convert_message_to_network_order(message, 15) + vtrp_convert_message_to_network_order(nullptr, 16), -2);
  // packet_length 0: refused, and the length is left alone
  const struct { const uint8_t *message; uint32_t size; const char *identity; uint16_t kind; uint32_t packet_length; } cases[] = {
      {message, 512, "SERIAL0001", 2, 0},  // 33 blocks
      {message, 16, "SERIAL0001", 1, 82},  // only the receiver insists on kind 2
      {message, 16, "SERIAL0001", 0, 0},    {message, 16, "SERIAL0001", 3, 0},
      {nullptr, 16, "SERIAL0001", 2, 0},    {message, 16, nullptr, 2, 0},
  };
  for (const auto &c : cases) {
    length = 0;
    vtrp_packet_ptr packet(vtrp_compose_packet(c.message, c.size, c.identity, "0123456789abcdef", &length, c.kind));
    EXPECT_EQ(packet != nullptr, c.packet_length != 0) << c.size << " " << c.kind;
    EXPECT_EQ(length, c.packet_length) << c.size << " " << c.kind;
  }
  // Each packet draws its own vector.
  vtrp_packet_ptr a(vtrp_compose_packet(message, 16, "SERIAL0001", "key", &length, 2));
  vtrp_packet_ptr b(vtrp_compose_packet(message, 16, "SERIAL0001", "key", &length, 2));
  ASSERT_TRUE(a && b);
  EXPECT_NE(std::memcmp(a.get() + VTRP_OFFSET_IV, b.get() + VTRP_OFFSET_IV, VTRP_IV_LENGTH), 0);
  // The cipher refuses negative lengths, missing buffers and partial blocks.
  const uint8_t key[16] = {'a'}, iv[16] = {'v'};
  uint8_t out[VTRP_MAX_CIPHERTEXT];
  int n = 0;
  EXPECT_EQ(udp_aes_128_cbc_cipher(nullptr, message, -16, out, &n, key, iv, UDP_CIPHER_ENCRYPT) +
                udp_aes_128_cbc_cipher(nullptr, message, -16, out, &n, key, iv, UDP_CIPHER_DECRYPT) +
                udp_aes_128_cbc_cipher(nullptr, message, 16, nullptr, &n, key, iv, UDP_CIPHER_ENCRYPT) +
                udp_aes_128_cbc_cipher(nullptr, message, 47, out, &n, key, iv, UDP_CIPHER_DECRYPT), 0);
}
