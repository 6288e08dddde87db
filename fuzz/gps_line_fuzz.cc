// The GPS position line (the first line of the fetch command's output, at most
// 199 characters as fgets reads it). An accepted position converts to the
// message's signed 32-bit millionths of a degree without overflow; a refused
// line leaves the previous position untouched.
#include <cmath>

#include "features/gps_line.h"
#include "fuzz/fuzz_support.h"

void fuzz::one(const uint8_t* data, size_t size) {
  const std::string line = fuzz::first_line(data, size, 200);
  gps_position pos;
  pos.valid = 42;
  if (!parse_gps_line(line.c_str(), &pos))
    return fuzz::check(pos.valid == 42 && pos.timestamp == 0, "refused line changed the position");
  for (double degrees : {pos.latitude, pos.longitude}) {
    const double scaled = degrees * 1000000.0;
    fuzz::check(std::isfinite(scaled) && scaled > -2147483648.0 && scaled < 2147483648.0, "does not fit the message");
    volatile int32_t sent = static_cast<int32_t>(scaled);  // UBSan also watches the conversion
    (void)sent;
  }
}
