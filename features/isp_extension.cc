// The ISP extension worker: asks the server for its extension, applies the
// ISP default URL with a device command, tells the server to delete the
// extension, and restarts the device when the extension asks for it.
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "features/attempt_loop.h"
#include "features/config_read.h"
#include "features/isp_extension.h"
#include "features/shell_word.h"
#include "features/worker_common.h"
#include "features/daemon_state.h"
#include "features/workers.h"
#include "https/cloud_requests.h"
#include "https/https_parsers.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/owned.h"
#include "platform/private_dir.h"
#include "platform/safe_file.h"

namespace {

enum isp_step : size_t { kInformation, kParse, kApply, kDelete, kRestart, kStepCount };

}  // namespace

void __udp_client_isp_thread_main(feature_param* param) {
  __udp_client_log(VT_LOG_INFO, "Start ISP ...");
  const taglist* config = *param->config;
  attempt_settings settings = read_attempt_settings(config, "UPISPD");
  const std::string info_file = private_path("ISP_tmp");
  int code = 0;
  owned_text name, url, apply_now;

  auto step = [&](size_t n) -> step_result {
    switch (n) {
      case kInformation:
        return https_step(param->state->client, config, config_text(config, "FEATURE_UPISPD_PATH"), &code,
                          VT_LOG_ERR, "Extension Fail (code=%d, interface=%s)",
                          [&](https_request* request, const char* interface, int* c) {
                            return vantor_https_extension_info(request, interface, info_file.c_str(), c);
                          });
      case kParse: {
        // 200: the server holds no extension for this device.
        if (code != 302) return step_result::finish;
        // The parser saved at most kExtensionTextMax bytes there.
        std::string text;
        if (read_regular_file(info_file.c_str(), kExtensionTextMax, &text) != file_read::ok) {
          return step_result::finish;
        }
        char *n = nullptr, *u = nullptr, *a = nullptr;
        if (get_isp_information(text.c_str(), &n, &u, &a) != 1) return step_result::finish;
        name.reset(n);
        url.reset(u);
        apply_now.reset(a);
        // The URL key was found but not at the start of a line: there is no
        // URL that could be applied.
        if (!url) return step_result::finish;
        return step_result::next;
      }
      case kApply: {
        // The URL comes from the server: it goes to the shell as one quoted word.
        std::string line = std::string(config_text(config, "FEATURE_UPISPD_ACTION_CMD")) + " " +
                           shell_quote(url.get());
        if (line.size() >= DAEMON_BUFFER_SIZE) return step_result::failed;
        memcpy(param->self->buffer(), line.c_str(), line.size() + 1);
        // Applying the ISP default writes the device's settings: never cut.
        return run_flash_command(param->self->buffer()) == 0 ? step_result::next : step_result::failed;
      }
      case kDelete: {
        int delete_code = 0;
        return https_step(param->state->client, config, config_text(config, "FEATURE_UPISPD_X_PATH"),
                          &delete_code, VT_LOG_ERR, "Delete Extension Fail (code=%d, interface=%s)",
                          [&](https_request* request, const char* interface, int* c) {
                            const char* text = name ? name.get() : "";
                            return vantor_https_extension_delete_info(request, interface, text, c);
                          });
      }
      default: {
        if (!apply_now || strcasecmp(apply_now.get(), "yes") != 0) return step_result::finish;
        int status = run_flash_command(config_text(config, "FEATURE_UPISPD_REBOOT_CMD"));
        if (status == 0) return step_result::next;
        if (status != kFlashCommandLeftRunning) __udp_client_log(VT_LOG_ERR, "Reboot fail");
        return step_result::failed;
      }
    }
  };
  run_attempt_loop(config, "UPISPD", settings, vt_time(), param->stopping, kStepCount, step);
  unlink(info_file.c_str());
}
