#include "features/gps_line.h"

#include <gtest/gtest.h>

namespace {

struct LineCase {
  const char* line;
  bool accepted;
};

TEST(GpsLine, AcceptsFourValuesThatFitTheMessage) {
  const LineCase cases[] = {
      {"1 1700000000 48.5 -10.25\n", true},
      {"0 0 0 0", true},
      {"  1\t1700000000   0.0000019 -0.0000019 trailing words", true},
      {"1 1700000000 2147.48 0", true},
      {"1 1700000000 48.5", false},            // three values
      {"", false},
      {"gps: 1 1700000000 48.5 -10.25", false},
      {"1 1700000000 nan 0", false},           // not a number cannot be sent
      {"1 1700000000 0 inf", false},
      {"1 1700000000 2147.483648 0", false},   // beyond a signed 32-bit millionth
      {"1 1700000000 -3000 0", false},
  };
  for (const LineCase& c : cases) {
    gps_position pos;
    EXPECT_EQ(parse_gps_line(c.line, &pos), c.accepted) << c.line;
  }
}

TEST(GpsLine, RefusedLineKeepsThePreviousPosition) {
  gps_position pos;
  ASSERT_TRUE(parse_gps_line("1 1700000000 48.5 -10.25", &pos));
  EXPECT_FALSE(parse_gps_line("1 2", &pos));
  EXPECT_EQ(pos.valid, 1);
  EXPECT_EQ(pos.timestamp, 1700000000ul);
  EXPECT_DOUBLE_EQ(pos.latitude, 48.5);
  EXPECT_DOUBLE_EQ(pos.longitude, -10.25);
}

}  // namespace
