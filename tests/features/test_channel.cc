// The channel as the workers see it in the unit tests: a fixed identity, no
// session interface, and GPS reports recorded as "valid time latitude
// longitude" (the channel's own tests follow them onto the wire).
#include <cstdio>
#include <string>
#include <vector>

#include "channel/vantor_udp_client.h"
#include "features/client_view.h"

std::vector<std::string> submitted_gps;

client_view view_client(vantor_udp_client*) {
  client_view v;
  v.serial = "123456789ABC";
  v.model = "RT100";
  v.variant = "EU";
  v.version = "1.2.3";
  return v;
}

extern "C" int vantor_udp_client_submit_gps(vantor_udp_client*, int valid, unsigned long time, double latitude,
                                            double longitude) {
  char line[128];
  snprintf(line, sizeof line, "%d %lu %.7f %.7f", valid, time, latitude, longitude);
  submitted_gps.push_back(line);
  return 0;
}
