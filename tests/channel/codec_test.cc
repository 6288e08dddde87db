// What wire_interop.py cannot reach from outside: argument and buffer checks,
// the cipher's refusals and kept context, and the per-packet vector.
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
  r.payload_length = 495;
  EXPECT_EQ(vtrp_compose_message(message, &r, &length), 0);
  EXPECT_EQ(length, 511u);
  // Converting in place needs a whole header.
  EXPECT_EQ(vtrp_convert_message_to_network_order(message, 15) + vtrp_convert_message_to_network_order(nullptr, 16), -2);
  // packet_length 0: refused, and the length is left alone
  const struct { const uint8_t *message; uint32_t size; const char *identity; uint16_t kind; uint32_t packet_length; } cases[] = {
      {message, 511, "SERIAL0001", 2, 562}, {message, 512, "SERIAL0001", 2, 0},  // 33 blocks
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
}

// A context kept for the session must give the bytes a fresh one gives, with
// no key schedule left over from the last key or direction.
TEST(Codec, KeptContextFollowsKeyAndDirection) {
  const uint8_t key_a[16] = {'a'}, key_b[16] = {'b'}, iv[16] = {'v'};
  uint8_t plain[40] = {1, 2, 3}, cipher_a[48], cipher_b[48], out[64];
  int n = 0;
  ASSERT_EQ(udp_aes_128_cbc_cipher(nullptr, plain, 40, cipher_a, &n, key_a, iv, UDP_CIPHER_ENCRYPT), 1);
  ASSERT_EQ(udp_aes_128_cbc_cipher(nullptr, plain, 40, cipher_b, &n, key_b, iv, UDP_CIPHER_ENCRYPT), 1);
  // Negative lengths and missing buffers are refused.
  EXPECT_EQ(udp_aes_128_cbc_cipher(nullptr, plain, -16, out, &n, key_a, iv, UDP_CIPHER_ENCRYPT) +
                udp_aes_128_cbc_cipher(nullptr, cipher_a, -16, out, &n, key_a, iv, UDP_CIPHER_DECRYPT) +
                udp_aes_128_cbc_cipher(nullptr, plain, 16, nullptr, &n, key_a, iv, UDP_CIPHER_ENCRYPT), 0);
  // expected null: refused (bad padding)
  const struct { const uint8_t *key; int direction; const uint8_t *input; int length; const uint8_t *expected; } steps[] = {
      {key_a, UDP_CIPHER_ENCRYPT, plain, 40, cipher_a}, {key_a, UDP_CIPHER_DECRYPT, cipher_a, 48, plain},
      {key_a, UDP_CIPHER_DECRYPT, cipher_b, 48, nullptr}, {key_b, UDP_CIPHER_DECRYPT, cipher_b, 48, plain},
      {key_b, UDP_CIPHER_ENCRYPT, plain, 40, cipher_b}, {key_a, UDP_CIPHER_ENCRYPT, plain, 40, cipher_a},
      {key_a, UDP_CIPHER_DECRYPT, cipher_a, 47, nullptr},  // not whole blocks
      {key_a, UDP_CIPHER_DECRYPT, cipher_a, 48, plain},    // a failure leaves nothing behind
  };
  udp_cipher_context_ptr context(udp_cipher_context_new());
  ASSERT_TRUE(context);
  for (size_t step = 0; step < std::size(steps); ++step) {
    const auto &s = steps[step];
    const int expected_length = s.direction == UDP_CIPHER_ENCRYPT ? 48 : 40;
    n = 0;
    const int ok = udp_aes_128_cbc_cipher(context.get(), s.input, s.length, out, &n, s.key, iv, s.direction);
    EXPECT_EQ(ok, s.expected ? 1 : 0) << "step " << step;
    EXPECT_TRUE(!ok || !s.expected || (n == expected_length && std::memcmp(out, s.expected, n) == 0)) << "step " << step;
  }
}
