#include "channel/vtrp_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char kKey[] = "0123456789abcdefTAIL";

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

vtrp_packet_ptr compose(size_t message_length, const char *identity, uint32_t *packet_length,
                        uint16_t kind = 2, const char *key = kKey) {
  uint8_t message[600] = {};
  return vtrp_packet_ptr(vtrp_compose_packet(message, static_cast<uint32_t>(message_length),
                                             identity, key, packet_length, kind));
}

}  // namespace

TEST(VtrpComposePacket, LengthsFollowThePadding) {
  struct {
    size_t message;
    uint32_t packet;
    uint16_t blocks;
  } cases[] = {
      {16, 82, 2},  // keepalive, empty payload: a whole block of padding
      {20, 82, 2},  // action reply
      {29, 82, 2},  // GPS report
      {31, 82, 2},  {32, 98, 3},  {0, 66, 1},
      {511, 562, 32},  // the largest message
  };
  for (const auto &c : cases) {
    uint32_t length = 0;
    vtrp_packet_ptr packet = compose(c.message, "SERIAL0001", &length);
    ASSERT_TRUE(packet) << c.message;
    EXPECT_EQ(length, c.packet) << c.message;
    EXPECT_EQ(be16(packet.get() + VTRP_OFFSET_BLOCKS), c.blocks) << c.message;
    EXPECT_EQ(vtrp_ciphertext_length(c.message) + 50, c.packet);
  }
}

TEST(VtrpComposePacket, HeaderFields) {
  uint32_t length = 0;
  vtrp_packet_ptr packet = compose(16, "SN12345678", &length);
  ASSERT_TRUE(packet);
  const uint8_t *p = packet.get();
  EXPECT_EQ(std::memcmp(p, "vtup", 4), 0);
  EXPECT_EQ(be16(p + 4), 2);
  EXPECT_EQ(p[6], 10);
  EXPECT_EQ(std::memcmp(p + 7, "SN12345678", 10), 0);
  for (int i = 17; i < 32; ++i) EXPECT_EQ(p[i], 0) << i;
  for (int i = 34; i < 50; ++i) EXPECT_TRUE(p[i] >= 'a' && p[i] <= 'z') << i;
}

TEST(VtrpComposePacket, TwentyFiveCharacterIdentityFillsTheNameUnterminated) {
  const std::string identity(25, 'Q');
  uint32_t length = 0;
  vtrp_packet_ptr packet = compose(16, identity.c_str(), &length);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet.get()[6], 25);
  EXPECT_EQ(std::memcmp(packet.get() + 7, identity.data(), 25), 0);
  EXPECT_EQ(be16(packet.get() + 32), 2);  // block count follows at once
}

TEST(VtrpComposePacket, TwoPacketsOfOneMessageDiffer) {
  uint32_t a_length = 0, b_length = 0;
  vtrp_packet_ptr a = compose(16, "SERIAL0001", &a_length);
  vtrp_packet_ptr b = compose(16, "SERIAL0001", &b_length);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a_length, b_length);
  EXPECT_NE(std::memcmp(a.get() + 34, b.get() + 34, 16), 0);
  EXPECT_NE(std::memcmp(a.get() + 50, b.get() + 50, a_length - 50), 0);
}

TEST(VtrpComposePacket, RefusesWhatCannotBeSent) {
  uint8_t message[16] = {};
  uint32_t length = 1234;
  EXPECT_EQ(compose(16, "SERIAL0001", &length, 0), nullptr);
  EXPECT_EQ(compose(16, "SERIAL0001", &length, 3), nullptr);
  EXPECT_EQ(compose(16, "SERIAL0001", &length, 2, nullptr), nullptr);
  EXPECT_EQ(compose(512, "SERIAL0001", &length), nullptr);  // would need 33 blocks
  EXPECT_EQ(vtrp_compose_packet(nullptr, 16, "SERIAL0001", kKey, &length, 2), nullptr);
  EXPECT_EQ(vtrp_compose_packet(message, 16, nullptr, kKey, &length, 2), nullptr);
  EXPECT_EQ(length, 1234u);
  // Kind 1 is still composed: only the receiver insists on 2.
  EXPECT_NE(compose(16, "SERIAL0001", &length, 1), nullptr);
}

TEST(VtrpSessionKey, ShortKeyTextIsZeroPadded) {
  uint8_t key[VTRP_KEY_LENGTH];
  vtrp_session_key_bytes("abc", key);
  const uint8_t expected[16] = {'a', 'b', 'c'};
  EXPECT_EQ(std::memcmp(key, expected, 16), 0);
  vtrp_session_key_bytes(kKey, key);
  EXPECT_EQ(std::memcmp(key, kKey, 16), 0);
}

TEST(RandomString, LettersOnlyAndNoTerminator) {
  char buffer[40];
  std::memset(buffer, '#', sizeof buffer);
  random_string(buffer, 32);
  for (int i = 0; i < 32; ++i) EXPECT_TRUE(buffer[i] >= 'a' && buffer[i] <= 'z');
  EXPECT_EQ(buffer[32], '#');
  random_string(buffer + 33, 0);
  random_string(buffer + 33, -1);
  random_string(nullptr, 5);
  EXPECT_EQ(buffer[33], '#');
}
