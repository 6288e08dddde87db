// The channel as the workers see it, for tests: a fixed device identity,
// the session's interface the test chooses, and a record of GPS reports.
#include <mutex>
#include <vector>

#include "channel/vantor_udp_client.h"
#include "test_channel.h"
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
  return gps_record;
}

void clear_gps_submissions() {
  std::lock_guard<std::mutex> lock(gps_mutex);
  gps_record.clear();
}
