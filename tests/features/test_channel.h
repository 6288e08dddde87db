// The channel as the workers see it in the unit tests: a fixed identity,
// no session interface, and GPS reports recorded instead of sent.
#pragma once

#include <vector>

struct gps_submission {
  int valid;
  unsigned long timestamp;
  double latitude;
  double longitude;
};
std::vector<gps_submission> gps_submissions();
void clear_gps_submissions();
