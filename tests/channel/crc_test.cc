#include "channel/crc.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Crc, StandardCheckValueAndEmptyInputs) {
  const char *digits = "123456789";
  EXPECT_EQ(crc(digits, 9), 0xCBF43926u);
  EXPECT_EQ(crc(digits, 0), 0u);
  EXPECT_EQ(crc(digits, -5), 0u);
  EXPECT_EQ(crc(nullptr, 9), 0u);
}

TEST(Crc, KnownVectors) {
  struct {
    const char *text;
    uint32_t value;
  } cases[] = {
      {"a", 0xE8B7BE43u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const auto &c : cases)
    EXPECT_EQ(crc(c.text, static_cast<int>(std::strlen(c.text))), c.value) << c.text;
  const uint8_t zero = 0;
  EXPECT_EQ(crc(&zero, 1), 0xD202EF8Du);
}
