// A debug dump: runs the configured dump command, saves its whole output
// and uploads it as a file. The dump is taken again only when it could not
// be taken; a failed upload sends the same file again.
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
enum dump_step : size_t { kDump, kUpload, kStepCount };
}  // namespace

void* __udp_client_debug_dump_thread_main(void* arg) {
  auto* param = static_cast<debug_dump_param*>(arg);
  __udp_client_log(VT_LOG_INFO, "Start Debug Dump ...");
  const taglist* config = *param->config;
  attempt_settings settings = read_attempt_settings(config, "DEBUG_DUMP");
  const std::string command = config_text(config, "FEATURE_DEBUG_DUMP_CMD");
  const std::string output = private_path("qdms_debug_dump.dump");

  auto step = [&](size_t n) -> step_result {
    if (n == kDump) {
      return capture_command_output(command.c_str(), output.c_str()) == kCaptureCopied
                 ? step_result::next
                 : step_result::failed;
    }
    int code = 0;
    return https_step(param->state->client, config, config_text(config, "FEATURE_DEBUG_DUMP_PATH"), &code,
                      VT_LOG_INFO, "Submit Debug Dump Fail (code=%d, interface=%s)",
                      [&](https_request* request, const char* interface, int* c) {
                        request->dump_path = output.c_str();
                        return vantor_https_submit_debug_dump(request, interface, c);
                      });
  };
  {
    feature_run run(FEATURE_ID_DEBUG_DUMP, param->stopping);
    run_attempt_loop(config, "DEBUG_DUMP", settings, vt_time(), param->stopping, kStepCount, step);
  }

  unlink(output.c_str());
  param->self->set_finished();
  return nullptr;
}
