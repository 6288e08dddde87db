#include "features/event_log.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "features/config_read.h"
#include "features/daemon_state.h"
#include "features/event_record.h"
#include "features/worker_common.h"
#include "https/cloud_requests.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

// A batch holding an event of this code tells the device's other programs,
// through the status file, that it was delivered.
constexpr int32_t kStatusEventCode = 5;

struct listing {
  dirent** entries = nullptr;
  int count = 0;
  ~listing() {
    for (int i = 0; i < count; ++i) free(entries[i]);
    free(entries);
  }
};

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};

void write_status_file(const std::string& path) {
  // Other programs read this file; it is recreated with ordinary permissions.
  std::unique_ptr<FILE, file_closer> f(create_output_file(path.c_str(), 0644));
  if (f) fputs("000", f.get());
}

}  // namespace

int event_log_filter_func(const struct dirent* entry) {
  return (entry != nullptr && strstr(entry->d_name, ".event") != nullptr) ? 1 : 0;
}

int __udp_client_event_log_handler(vantor_udp_client* client, const taglist* config, char* buffer) {
  const char* spool = config_text(config, "FEATURE_EVENT_SPOOL");
  std::vector<char> own_buffer;
  if (buffer == nullptr) {
    try {
      own_buffer.assign(DAEMON_BUFFER_SIZE, '\0');
    } catch (const std::bad_alloc&) {
      return 0;
    }
    buffer = own_buffer.data();
  }
  listing list;
  list.count = scandir(spool, &list.entries, event_log_filter_func, alphasort);
  if (list.count < 0) {
    list.count = 0;
    __udp_client_log(3, "Dir not found: %s", spool);
    return 0;
  }
  if (list.count == 0) return 0;

  __udp_client_log(6, "Send event log");
  std::vector<event_record> events;
  std::vector<std::string> sent_files;
  try {
    events.reserve(static_cast<size_t>(list.count));
    sent_files.reserve(static_cast<size_t>(list.count));
  } catch (const std::bad_alloc&) {
    // The files stay in the spool; the next SIGUSR1 tries again.
    return 0;
  }

  const std::string status_file = system_path("/tmp/qrms_eventlog.log");
  bool status_event = false;
  for (int i = 0; i < list.count; ++i) {
    snprintf(buffer, DAEMON_BUFFER_SIZE, "%s%s", spool, list.entries[i]->d_name);
    event_record record;
    if (!read_event_record(buffer, &record)) {
      // A file that cannot be read can never be sent; drop it.
      unlink(buffer);
      continue;
    }
    if (record.code == kStatusEventCode) {
      status_event = true;
      unlink(status_file.c_str());
    }
    events.push_back(record);
    sent_files.emplace_back(buffer);
  }
  if (events.empty()) return 0;

  client_view view = view_client(client);
  https_request request;
  fill_https_request(&request, config, config_text(config, "FEATURE_EVENT_PATH"), view);
  int code = 0;
  int ok = vantor_https_submit_event_log(&request, request_interface(view),
                                         static_cast<int>(events.size()), events.data(), &code);
  if (ok != 1) return 0;  // the events stay spooled for the next request

  // Only now that the server has them are the records removed.
  for (const std::string& file : sent_files) unlink(file.c_str());
  if (status_event) write_status_file(status_file);
  return 0;
}
