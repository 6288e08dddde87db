// The feature worker: one long-lived thread that runs the features handed
// to it, one at a time, so that no two of them compete for the device.
#include <optional>

#include "features/feature_status.h"
#include "features/daemon_state.h"
#include "features/workers.h"
#include "features/worker_common.h"
#include "platform/log.h"
#include "platform/stop.h"

void* __udp_client_feature_thread_main(void* arg) {
  auto* param = static_cast<feature_param*>(arg);
  __udp_client_log(VT_LOG_INFO, "Feature Thread Started");
  for (;;) {
    if (param->stopping->load() != 0) break;
    if (!param->self->wait(*param->stopping)) break;

    const uint32_t request = param->self->request();
    // Only the features this worker carries out get a run record.
    std::optional<feature_run> run;
    if (request == FEATURE_ID_CONFIG || request == FEATURE_ID_FIRMWARE || request == FEATURE_ID_ISP ||
        request == FEATURE_ID_REBOOT || request == FEATURE_ID_GPS) {
      run.emplace(request, param->stopping);
    }
    switch (request) {
      case FEATURE_ID_CONFIG:
        __udp_client_config_thread_main(param);
        __udp_client_log(VT_LOG_INFO, "Config Thread is going to sleep");
        break;
      case FEATURE_ID_FIRMWARE:
        __udp_client_firmware_thread_main(param);
        __udp_client_log(VT_LOG_INFO, "Firmware Thread is going to sleep");
        break;
      case FEATURE_ID_ISP:
        __udp_client_isp_thread_main(param);
        __udp_client_log(VT_LOG_INFO, "ISP Thread is going to sleep");
        break;
      case FEATURE_ID_REBOOT:
        // No attempt loop: the command's own status is the result.
        run->set_result(__udp_client_reboot_thread_main(param) == 0 ? feature_result::succeeded
                       : param->stopping->load() != 0 || vt_stop_requested() ? feature_result::stopped
                                                                                : feature_result::failed);
        __udp_client_log(VT_LOG_INFO, "Reboot Thread is going to sleep");
        break;
      case FEATURE_ID_GPS:
        __udp_client_gps_thread_main(param);
        __udp_client_log(VT_LOG_INFO, "GPS Thread is going to sleep");
        break;
      default:
        // The other ids have workers of their own; nothing runs here.
        break;
    }
    run.reset();
    param->self->finish();
  }
  param->self->set_finished();
  return nullptr;
}
