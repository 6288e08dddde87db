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

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

TEST(Crc, KnownVectorsAndEmptyInputs) {
  const struct {
    const char *text;
    int length;
    uint32_t value;
  } cases[] = {
      {"123456789", 9, 0xCBF43926u}, {"123456789", 0, 0}, {"123456789", -5, 0}, {nullptr, 9, 0},
      {"a", 1, 0xE8B7BE43u},         {"", 1, 0xD202EF8Du},  // one zero byte
      {"The quick brown fox jumps over the lazy dog", 43, 0x414FA339u},
  };
  for (const auto &c : cases) EXPECT_EQ(crc(c.text, c.length), c.value) << (c.text ? c.text : "null");
}

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
  // Back to host order.
  ASSERT_EQ(vtrp_decompose_message(out), 0);
  const vtrp_header h = vtrp_read_header(out);
  EXPECT_EQ(h.crc, crc(expected, 15));
  EXPECT_EQ(h.seq, 0x01020304u);
  EXPECT_EQ(h.id, 0xA0B0C0D0u);
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
  EXPECT_EQ(vtrp_decompose_message(nullptr), -1);
}

TEST(VtrpConvert, HostOrderReplyMatchesComposedWireImage) {
  // The command code goes out category first.
  uint8_t reply[20] = {};
  vtrp_write_header(reply, {0, VTRP_FLAGS_REPLY_FAILED, 77, 66, 1, 4});
  const uint8_t value[4] = {1, 2, 3, 4};
  std::memcpy(reply + 16, value, 4);
  ASSERT_EQ(vtrp_convert_message_to_network_order(reply, sizeof reply), 0);
  agenda_item r = record(VTRP_FLAGS_REPLY_FAILED, 77, 66, 1, 4, {1, 2, 3, 4});
  uint8_t composed[VTRP_MAX_MESSAGE];
  ASSERT_EQ(vtrp_compose_message(composed, &r, nullptr), 0);
  EXPECT_EQ(std::memcmp(reply, composed, sizeof reply), 0);
  EXPECT_EQ(vtrp_convert_message_to_network_order(nullptr, 16), -1);
  EXPECT_EQ(vtrp_convert_message_to_network_order(reply, 15), -1);
}
