// A remote action: runs the command line the action handler built, saves
// its whole output, and uploads it as the answer to the server's request.
// The command runs at most once; only the upload is retried.
#include <unistd.h>

#include <string>

#include "features/attempt_loop.h"
#include "features/config_read.h"
#include "features/feature_status.h"
#include "features/worker_common.h"
#include "features/daemon_state.h"
#include "https/cloud_requests.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/private_dir.h"

namespace {
enum action_step : size_t { kRun, kRespond, kStepCount };
}  // namespace

void* __udp_client_action_thread_main(void* arg) {
  auto* param = static_cast<action_param*>(arg);
  __udp_client_log(VT_LOG_INFO, "Start action request");
  const taglist* config = *param->config;
  const char* path = config_text(config, "FEATURE_REMOTE_ACTION_PATH");
  attempt_settings settings = read_attempt_settings(config, "REMOTE_ACTION");
  const std::string output = private_path("action_tmp");

  auto step = [&](size_t n) -> step_result {
    if (n == kRun) {
      // Without an output file the step still counts as run: the command is
      // not run twice, and the response then fails for want of a file. An
      // output cut short by the budget or a stop is no answer; the run ends.
      switch (capture_command_output(param->self->buffer(), output.c_str())) {
        case kCaptureNotStarted:
          __udp_client_log(VT_LOG_INFO, "Action failed");
          return step_result::failed;
        case kCaptureEnded:
          return step_result::failed;
        default:
          return step_result::next;
      }
    }
    int code = 0;
    return https_step(param->state->client, config, path, &code, VT_LOG_ERR,
                      "Submit Action Response Error (code=%d, interface=%s)",
                      [&](https_request* request, const char* interface, int* c) {
                        request->action_id = static_cast<int32_t>(*param->request_id);
                        return vantor_https_submit_action_response(request, interface, c, output.c_str());
                      });
  };
  {
    feature_run run(FEATURE_ID_REMOTE_ACTION, param->stopping);
    run_attempt_loop(config, "REMOTE_ACTION", settings, vt_time(), param->stopping, kStepCount, step);
  }

  unlink(output.c_str());
  param->self->set_finished();
  return nullptr;
}
