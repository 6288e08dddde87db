// The channel as the workers see it in the unit tests: a fixed identity, no
// session interface, and GPS reports recorded instead of sent.
#include <mutex>

#include "channel/vantor_udp_client.h"
#include "feature_harness.h"
#include "features/client_view.h"

namespace {
std::mutex gps_mutex;
std::vector<gps_submission> gps_record;
}  // namespace

client_view view_client(const vantor_udp_client*) {
  client_view v;
  v.serial = "123456789ABC";
  v.model = "RT100";
  v.variant = "EU";
  v.version = "1.2.3";
  return v;
}

extern "C" int vantor_udp_client_submit_gps(vantor_udp_client*, int valid, unsigned long timestamp,
                                            double latitude, double longitude) {
  std::lock_guard<std::mutex> lock(gps_mutex);
  gps_record.push_back({valid, timestamp, latitude, longitude});
  return 0;
}

std::vector<gps_submission> gps_submissions() {
  std::lock_guard<std::mutex> lock(gps_mutex);
  auto taken = std::move(gps_record);
  gps_record.clear();
  return taken;
}
