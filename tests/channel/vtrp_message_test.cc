#include "channel/vtrp_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "channel/crc.h"

namespace {

agenda_item record(uint16_t flags, uint32_t seq, uint32_t id, uint8_t category, uint8_t type,
                   std::vector<uint8_t> payload = {}) {
  agenda_item r{};
  r.flags = flags;
  r.seq = seq;
  r.id = id;
  r.category = category;
  r.type = type;
  if (!payload.empty()) std::memcpy(r.payload, payload.data(), payload.size());
  r.payload_length = static_cast<uint32_t>(payload.size());
  return r;
}

uint32_t be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

TEST(VtrpComposeMessage, WritesBigEndianHeaderPayloadAndCrc) {
  agenda_item r = record(0x0001, 0x01020304, 0xA0B0C0D0, 2, 3, {0xDE, 0xAD, 0xBE});
  uint8_t out[VTRP_MAX_MESSAGE];
  uint32_t length = 0;
  ASSERT_EQ(vtrp_compose_message(out, &r, &length), 0);
  ASSERT_EQ(length, 19u);
  const uint8_t expected[] = {0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0,
                              0xC0, 0xD0, 0x02, 0x03, 0xDE, 0xAD, 0xBE};
  EXPECT_EQ(std::memcmp(out + 4, expected, sizeof expected), 0);
  EXPECT_EQ(be32(out), crc(out + 4, 15));
}

TEST(VtrpComposeMessage, RefusesBadArguments) {
  agenda_item r = record(0, 0, 0, 0, 0);
  uint8_t out[VTRP_MAX_MESSAGE];
  EXPECT_EQ(vtrp_compose_message(nullptr, &r, nullptr), -1);
  EXPECT_EQ(vtrp_compose_message(out, nullptr, nullptr), -1);
  r.payload_length = 496;
  EXPECT_EQ(vtrp_compose_message(out, &r, nullptr), -1);
  r.payload_length = 495;
  uint32_t length = 0;
  EXPECT_EQ(vtrp_compose_message(out, &r, &length), 0);
  EXPECT_EQ(length, 511u);
}

TEST(VtrpConvert, HostOrderReplyMatchesComposedWireImage) {
  // A reply built in host order and converted must equal what the composer
  // writes for the same header: the command code goes out category first.
  uint8_t reply[20] = {};
  vtrp_write_header(reply, {0, VTRP_FLAGS_REPLY_FAILED, 77, 66, 1, 4});
  const uint8_t value[4] = {1, 2, 3, 4};
  std::memcpy(reply + 16, value, 4);
  ASSERT_EQ(vtrp_convert_message_to_network_order(reply, sizeof reply), 0);

  agenda_item r = record(VTRP_FLAGS_REPLY_FAILED, 77, 66, 1, 4, {1, 2, 3, 4});
  uint8_t composed[VTRP_MAX_MESSAGE];
  ASSERT_EQ(vtrp_compose_message(composed, &r, nullptr), 0);
  EXPECT_EQ(std::memcmp(reply, composed, sizeof reply), 0);
  EXPECT_EQ(reply[14], 1);
  EXPECT_EQ(reply[15], 4);
}

TEST(VtrpConvert, RefusesNullAndHeaderlessMessages) {
  uint8_t small[15] = {};
  EXPECT_EQ(vtrp_convert_message_to_network_order(nullptr, 16), -1);
  EXPECT_EQ(vtrp_convert_message_to_network_order(small, sizeof small), -1);
  EXPECT_EQ(vtrp_decompose_message(nullptr), -1);
}

TEST(VtrpDecompose, RestoresTheHostOrderHeader) {
  agenda_item r = record(0x8101, 0xFFFFFFFF, 12345, 1, 5);
  uint8_t wire[VTRP_MAX_MESSAGE];
  ASSERT_EQ(vtrp_compose_message(wire, &r, nullptr), 0);
  const uint32_t wire_crc = be32(wire);
  ASSERT_EQ(vtrp_decompose_message(wire), 0);
  const vtrp_header h = vtrp_read_header(wire);
  EXPECT_EQ(h.crc, wire_crc);
  EXPECT_EQ(h.flags, 0x8101);
  EXPECT_EQ(h.seq, 0xFFFFFFFFu);
  EXPECT_EQ(h.id, 12345u);
  EXPECT_EQ(h.category, 1);
  EXPECT_EQ(h.type, 5);
  EXPECT_TRUE(vtrp_is_reply(h.flags));
}
