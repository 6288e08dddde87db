// The position line that the GPS fetch command prints first:
// "<valid> <timestamp> <latitude> <longitude>", read with "%d %lu %le %le".
#pragma once

struct gps_position {
  int valid = 0;
  unsigned long timestamp = 0;
  double latitude = 0;
  double longitude = 0;
};

// Scans the line into out; false when fewer than four values are there or a
// coordinate cannot be sent: the channel carries degrees times 1000000 as a
// signed 32-bit number, so |degrees| must stay below 2147.483647 (NaN and
// infinity are refused too).
bool parse_gps_line(const char* line, gps_position* out);
