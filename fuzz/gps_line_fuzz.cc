// Fuzzes the GPS position line: the first output line of the fetch command
// (at most 199 characters, as fgets reads it), scanned as
// "<valid> <timestamp> <latitude> <longitude>".
//
// Checks: an accepted position converts to the message's signed 32-bit
// millionths of a degree without overflow (UBSan would also flag the
// conversion), and a refused line leaves the previous position untouched.
#include <cmath>
#include <cstdint>
#include <string>

#include "features/gps_line.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line;
  for (size_t i = 0; i < size && line.size() < 199; ++i) {
    line.push_back(static_cast<char>(data[i]));
    if (data[i] == '\n') break;
  }
  gps_position pos;
  pos.valid = 42;
  if (parse_gps_line(line.c_str(), &pos)) {
    for (double degrees : {pos.latitude, pos.longitude}) {
      double scaled = degrees * 1000000.0;
      fuzz::check(std::isfinite(scaled) && scaled > -2147483648.0 && scaled < 2147483648.0,
                  "accepted coordinate does not fit the message");
      volatile int32_t sent = static_cast<int32_t>(scaled);
      (void)sent;
    }
  } else {
    fuzz::check(pos.valid == 42 && pos.timestamp == 0, "refused line changed the position");
  }
  return 0;
}
