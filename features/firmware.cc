// Firmware upgrade: the configured command does all the work; the daemon
// only retries it within the upgrade's budget. The budget ends retries,
// never a running upgrade: the command writes flash.
#include "features/attempt_loop.h"
#include "features/config_read.h"
#include "features/worker_common.h"
#include "features/daemon_state.h"
#include "features/workers.h"
#include "platform/clock.h"
#include "platform/log.h"

void __udp_client_firmware_thread_main(feature_param* param) {
  __udp_client_log(VT_LOG_INFO, "Start firmware upgrade ...");
  const taglist* config = *param->config;
  attempt_settings settings = read_attempt_settings(config, "FIRMWARE");
  run_attempt_loop(config, "FIRMWARE", settings, vt_time(), param->stopping, 1,
                   [&](size_t) -> step_result {
                     int status = run_flash_command(config_text(config, "FEATURE_FIRMWARE_ACTION_CMD"));
                     if (status == 0) return step_result::next;
                     if (status != kFlashCommandLeftRunning) __udp_client_log(VT_LOG_ERR, "ERROR");
                     return step_result::failed;
                   });
}
