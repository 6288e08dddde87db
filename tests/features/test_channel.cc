// The channel as the workers see it in the unit tests: a fixed identity, no
// session interface, and GPS reports dropped (the tests with the real channel
// follow them onto the wire).
#include "channel/vantor_udp_client.h"
#include "features/client_view.h"

client_view view_client(const vantor_udp_client*) {
  client_view v;
  v.serial = "123456789ABC";
  v.model = "RT100";
  v.variant = "EU";
  v.version = "1.2.3";
  return v;
}

extern "C" int vantor_udp_client_submit_gps(vantor_udp_client*, int, unsigned long, double, double) { return 0; }
