#include "channel/crc.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t value = n;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
    table[n] = value;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = make_crc_table();
static_assert(kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du, "standard CRC-32 table");

}  // namespace

// Filled at compile time from the polynomial rather than typed in, so a
// mistyped entry cannot slip in; the asserts above pin two known entries.
const uint32_t crc_table[256] = {
#define VT_CRC_ROW(i)                                                                     \
  kTable[i], kTable[i + 1], kTable[i + 2], kTable[i + 3], kTable[i + 4], kTable[i + 5], \
      kTable[i + 6], kTable[i + 7]
    VT_CRC_ROW(0),   VT_CRC_ROW(8),   VT_CRC_ROW(16),  VT_CRC_ROW(24),  VT_CRC_ROW(32),
    VT_CRC_ROW(40),  VT_CRC_ROW(48),  VT_CRC_ROW(56),  VT_CRC_ROW(64),  VT_CRC_ROW(72),
    VT_CRC_ROW(80),  VT_CRC_ROW(88),  VT_CRC_ROW(96),  VT_CRC_ROW(104), VT_CRC_ROW(112),
    VT_CRC_ROW(120), VT_CRC_ROW(128), VT_CRC_ROW(136), VT_CRC_ROW(144), VT_CRC_ROW(152),
    VT_CRC_ROW(160), VT_CRC_ROW(168), VT_CRC_ROW(176), VT_CRC_ROW(184), VT_CRC_ROW(192),
    VT_CRC_ROW(200), VT_CRC_ROW(208), VT_CRC_ROW(216), VT_CRC_ROW(224), VT_CRC_ROW(232),
    VT_CRC_ROW(240), VT_CRC_ROW(248),
#undef VT_CRC_ROW
};

uint32_t crc(const void *data, int length) {
  if (data == nullptr || length <= 0) return 0;
  const auto *bytes = static_cast<const uint8_t *>(data);
  uint32_t value = 0xFFFFFFFFu;
  for (int i = 0; i < length; ++i) value = crc_table[(value ^ bytes[i]) & 0xFF] ^ (value >> 8);
  return value ^ 0xFFFFFFFFu;
}
