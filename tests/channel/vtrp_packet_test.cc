#include "channel/vtrp_packet.h"

#include <gtest/gtest.h>

#include <cstring>

// Header bytes, vectors and names are checked by wire_interop.py.
namespace {

const char kKey[] = "0123456789abcdefTAIL";  // only the first 16 characters count

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

vtrp_packet_ptr compose(size_t message_length, const char *identity, uint32_t *packet_length,
                        uint16_t kind = 2, const char *key = kKey) {
  uint8_t message[600] = {};
  return vtrp_packet_ptr(vtrp_compose_packet(message, static_cast<uint32_t>(message_length), identity, key,
                                             packet_length, kind));
}

}  // namespace

TEST(VtrpComposePacket, LengthsFollowThePadding) {
  const struct {
    size_t message;
    uint32_t packet;
    uint16_t blocks;
  } cases[] = {
      {16, 82, 2},  // keepalive, empty payload: a whole block of padding
      {31, 82, 2},  {32, 98, 3}, {0, 66, 1},
      {511, 562, 32},  // the largest message
  };
  for (const auto &c : cases) {
    uint32_t length = 0;
    vtrp_packet_ptr packet = compose(c.message, "SERIAL0001", &length);
    ASSERT_TRUE(packet) << c.message;
    EXPECT_EQ(length, c.packet) << c.message;
    EXPECT_EQ(be16(packet.get() + VTRP_OFFSET_BLOCKS), c.blocks) << c.message;
  }
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
  EXPECT_NE(compose(16, "SERIAL0001", &length, 1), nullptr) << "only the receiver insists on kind 2";
}

TEST(VtrpSessionKey, ShortKeyTextIsZeroPadded) {
  uint8_t key[VTRP_KEY_LENGTH];
  vtrp_session_key_bytes("abc", key);
  const uint8_t expected[16] = {'a', 'b', 'c'};
  EXPECT_EQ(std::memcmp(key, expected, 16), 0);
}

TEST(RandomString, WritesOnlyTheLettersAskedFor) {
  char buffer[40];
  std::memset(buffer, '#', sizeof buffer);
  random_string(buffer, 32);
  random_string(buffer + 33, -1);
  random_string(nullptr, 5);
  EXPECT_EQ(buffer[32], '#');
  EXPECT_EQ(buffer[33], '#');
}
