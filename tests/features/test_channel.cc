// The channel as the workers see it in the unit tests: a fixed identity, no
// session interface, and GPS reports recorded as "valid time latitude
// longitude" (the channel's own tests follow them onto the wire).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "channel/vantor_udp_client.h"

std::vector<std::string> submitted_gps;

extern "C" int vantor_udp_client_get_identity(vantor_udp_client*, vantor_udp_client_identity* id) {
  *id = {};
  strcpy(id->serial, "123456789ABC");
  strcpy(id->model, "RT100");
  strcpy(id->variant, "EU");
  strcpy(id->version, "1.2.3");
  return 1;
}

extern "C" int vantor_udp_client_submit_gps(vantor_udp_client*, int valid, unsigned long time, double latitude,
                                            double longitude) {
  char line[128];
  snprintf(line, sizeof line, "%d %lu %.7f %.7f", valid, time, latitude, longitude);
  submitted_gps.push_back(line);
  return 0;
}
