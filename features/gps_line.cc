#include "features/gps_line.h"

#include <cmath>
#include <cstdio>

namespace {

bool sendable_degrees(double degrees) { return std::fabs(degrees) < 2147.483647; }

}  // namespace

bool parse_gps_line(const char* line, gps_position* out) {
  if (line == nullptr || out == nullptr) return false;
  gps_position p;
  if (sscanf(line, "%d %lu %le %le", &p.valid, &p.timestamp, &p.latitude, &p.longitude) != 4) {
    return false;
  }
  if (!sendable_degrees(p.latitude) || !sendable_degrees(p.longitude)) return false;
  *out = p;
  return true;
}
