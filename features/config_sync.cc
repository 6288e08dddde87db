// Configuration sync: export the device's configuration, upload it, and
// apply what the server sends back, until the server confirms with 200.
#include <unistd.h>

#include <cstring>

#include "features/attempt_loop.h"
#include "features/config_read.h"
#include "features/worker_common.h"
#include "features/daemon_state.h"
#include "features/workers.h"
#include "https/cloud_requests.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

// An applied configuration is synced again so that the server can confirm
// it; a server that keeps sending changes is cut off after this many turns.
constexpr int kMaxTurns = 11;

enum config_step : size_t { kFetch, kSync, kApply, kStepCount };

enum class turn_end { applied, in_sync, other };

}  // namespace

void __udp_client_config_thread_main(feature_param* param) {
  __udp_client_log(VT_LOG_INFO, "Start configuration sync ...");
  const taglist* config = *param->config;
  const char* path = config_text(config, "FEATURE_CONFIG_PATH");
  const char* source = config_text(config, "FEATURE_CONFIG_SOURCE");
  const attempt_settings base = read_attempt_settings(config, "CONFIG");

  for (int turns = 0; turns < kMaxTurns;) {
    // Each turn has its own budget and its own retry count.
    attempt_settings settings = base;
    settings.timeout = read_attempt_timeout(config, "CONFIG");
    int code = 0;
    turn_end end = turn_end::other;

    auto step = [&](size_t n) -> step_result {
      switch (n) {
        case kFetch: {
          int status = run_device_command(config_text(config, "FEATURE_CONFIG_FETCH_CMD"));
          if (status == 0 && access(source, F_OK) == 0) return step_result::next;
          __udp_client_log(VT_LOG_ERR, "Fetch fail");
          return step_result::failed;
        }
        case kSync:
          return https_step(param->state->client, config, path, &code, VT_LOG_ERR,
                            "Config sync error (Code=%d, interface=%s)",
                            [&](https_request* request, const char* interface, int* c) {
                              strncpy(request->config_path, source, sizeof(request->config_path) - 1);
                              return vantor_https_config_sync(request, interface, c, source);
                            });
        default: {
          if (code == 200) {
            end = turn_end::in_sync;
            return step_result::finish;
          }
          const char* key = code == 301 ? "FEATURE_CONFIG_APPLY_FLASH_CMD" : "FEATURE_CONFIG_APPLY_CMD";
          int status = run_flash_command(config_text(config, key));
          if (status == 0) {
            end = turn_end::applied;
            return step_result::finish;
          }
          if (status != kFlashCommandLeftRunning) __udp_client_log(VT_LOG_ERR, "Apply fail");
          return step_result::failed;
        }
      }
    };

    attempt_result r =
        run_attempt_loop(config, "CONFIG", settings, vt_time(), param->stopping, kStepCount, step);
    ++turns;
    // A negative retry count ends the run even after an applied turn: the
    // failed count (0) is already above it.
    if (r.outcome != attempt_outcome::done || end != turn_end::applied ||
        r.failed > settings.auto_retry) {
      break;
    }
  }
}
