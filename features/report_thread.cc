// The device report worker: on request, has the device produce its report
// file, uploads it, and tells a local command whether it got through.
#include <cstdio>
#include <string>

#include "features/attempt_loop.h"
#include "features/config_read.h"
#include "features/feature_status.h"
#include "features/worker_common.h"
#include "features/daemon_state.h"
#include "https/cloud_requests.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

enum report_step : size_t { kFetch, kSubmit, kNotify, kStepCount };

// The settings that stay in force for the worker's whole cycle.
struct report_settings {
  std::string path;
  std::string source;
  attempt_settings attempts;
};

// Runs "<notify command> <value>" from the worker's buffer.
int notify(const report_param* param, const taglist* config, const char* value) {
  snprintf(param->self->buffer(), DAEMON_BUFFER_SIZE, "%s %s",
           config_text(config, "FEATURE_REPORT_NOTIFY_CMD"), value);
  return run_device_command(param->self->buffer());
}

void run_one_report(const report_param* param, const taglist* config, const report_settings& s) {
  int code = 0;
  auto step = [&](size_t n) -> step_result {
    switch (n) {
      case kFetch:
        if (run_device_command(config_text(config, "FEATURE_REPORT_FETCH_CMD")) == 0) {
          return step_result::next;
        }
        __udp_client_log(VT_LOG_ERR, "Fetch err");
        return step_result::failed;
      case kSubmit:
        return https_step(param->state->client, config, s.path.c_str(), &code, VT_LOG_ERR,
                          "Device Report Submission error (Code=%d, interface=%s)",
                          [&](https_request* request, const char* interface, int* c) {
                            return vantor_https_device_report(request, interface, s.source.c_str(), c);
                          });
      default: {
        const char* value = config_text(
            config, code == 200 ? "FEATURE_REPORT_NOTIFY_SUCCEED" : "FEATURE_REPORT_NOTIFY_FAILED");
        if (notify(param, config, value) == 0) return step_result::next;
        __udp_client_log(VT_LOG_ERR, "Report Notify Command failed (cmd=%s %s)",
                         config_text(config, "FEATURE_REPORT_NOTIFY_CMD"), value);
        return step_result::failed;
      }
    }
  };

  attempt_result r =
      run_attempt_loop(config, "REPORT", s.attempts, vt_time(), param->stopping, kStepCount, step);
  // Only a report whose attempts ran out is announced as failed; one cut
  // off by the deadline or a stop is not announced at all.
  if (r.outcome == attempt_outcome::used_up) {
    const char* value = config_text(config, "FEATURE_REPORT_NOTIFY_FAILED");
    if (notify(param, config, value) != 0) {
      __udp_client_log(VT_LOG_ERR, "Report Notify Command failed with all attempt (cmd=%s %s)",
                       config_text(config, "FEATURE_REPORT_NOTIFY_CMD"), value);
    }
  }
}

}  // namespace

void* __udp_client_report_thread_main(void* arg) {
  auto* param = static_cast<report_param*>(arg);
  const taglist* config = *param->config;
  report_settings s;
  s.path = config_text(config, "FEATURE_REPORT_PATH");
  s.source = config_text(config, "FEATURE_REPORT_SOURCE");
  s.attempts = read_attempt_settings(config, "REPORT");

  while (param->stopping->load() == 0) {
    __udp_client_log(VT_LOG_INFO, "Report Thread going to sleep");
    if (!param->self->wait(*param->stopping)) break;
    __udp_client_log(VT_LOG_INFO, "Start device reporting ...");
    {
      feature_run run(FEATURE_ID_REPORT, param->stopping);
      run_one_report(param, config, s);
    }
    param->self->finish();
  }
  param->self->set_finished();
  return nullptr;
}
