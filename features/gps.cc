// GPS submission: reads the position from a device command and hands it to
// the real-time channel, which sends it as a GPS report.
#include "channel/vantor_udp_client.h"
#include "features/attempt_loop.h"
#include "features/config_read.h"
#include "features/gps_line.h"
#include "features/worker_common.h"
#include "features/daemon_state.h"
#include "features/workers.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

enum gps_step : size_t { kFetch, kSubmit, kNotify, kStepCount };

}  // namespace

void __udp_client_gps_thread_main(feature_param* param) {
  __udp_client_log(VT_LOG_INFO, "Start GPS Submission");
  const taglist* config = *param->config;
  attempt_settings settings = read_attempt_settings(config, "GPSDATA");
  gps_position pos;

  auto step = [&](size_t n) -> step_result {
    switch (n) {
      case kFetch: {
        // Only the first line counts: "<valid> <time> <latitude> <longitude>".
        char line[200] = {};
        bool started = false;
        bool read = read_command_first_line(config_text(config, "FEATURE_GPSDATA_FETCH_CMD"), line,
                                            sizeof(line), &started);
        if (!started) {
          __udp_client_log(VT_LOG_ERR, "GPS Fetch Data - Open error");
          return step_result::failed;
        }
        if (!read || !parse_gps_line(line, &pos)) {
          __udp_client_log(VT_LOG_ERR, "GPS Fetch Data - Read Error");
          return step_result::failed;
        }
        return step_result::next;
      }
      case kSubmit:
        // A report the channel refuses is dropped there; the notification
        // still runs.
        vantor_udp_client_submit_gps(param->state->client, pos.valid, pos.timestamp, pos.latitude,
                                     pos.longitude);
        return step_result::next;
      default:
        run_device_command(config_text(config, "FEATURE_GPSDATA_NOTIFY_CMD"));
        return step_result::next;
    }
  };
  run_attempt_loop(config, "GPSDATA", settings, vt_time(), param->stopping, kStepCount, step);
}
