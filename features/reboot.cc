// Reboot: one run of the configured command, no budget and no retry (a
// command that works does not come back).
#include "features/config_read.h"
#include "features/worker_common.h"
#include "features/daemon_state.h"
#include "features/workers.h"
#include "platform/log.h"

int __udp_client_reboot_thread_main(feature_param* param) {
  __udp_client_log(VT_LOG_INFO, "Start Reboot ...");
  return run_flash_command(config_text(*param->config, "FEATURE_REBOOT_ACTION_CMD"));
}
