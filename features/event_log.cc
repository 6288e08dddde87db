#include "features/event_log.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
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
#include "features/feature_status.h"
#include "features/worker_common.h"
#include "https/cloud_requests.h"
#include "platform/log.h"
#include "platform/owned.h"
#include "platform/paths.h"
#include "platform/safe_file.h"

namespace {

// A batch holding an event of this code tells the device's other programs,
// through the status file, that it was delivered.
constexpr int32_t kStatusEventCode = 5;

// The order of the standard alphasort listing.
bool name_before(const std::string& a, const std::string& b) {
  return strcoll(a.c_str(), b.c_str()) < 0;
}

// The next batch: the first kEventBatch event names, in listing order, that
// come after `after` ("" for the first batch). One pass over the directory
// keeps only the batch in memory, so a spool of any size costs the same.
std::vector<std::string> next_batch(DIR* dir, const std::string& after, bool first) {
  std::vector<std::string> batch;  // a max-heap by name while it is filled
  batch.reserve(kEventBatch + 1);
  rewinddir(dir);
  while (const dirent* entry = readdir(dir)) {
    if (event_log_filter_func(entry) == 0) continue;
    std::string name(entry->d_name);
    if (!first && !name_before(after, name)) continue;
    if (batch.size() == kEventBatch && !name_before(name, batch.front())) continue;
    batch.push_back(std::move(name));
    std::push_heap(batch.begin(), batch.end(), name_before);
    if (batch.size() > kEventBatch) {
      std::pop_heap(batch.begin(), batch.end(), name_before);
      batch.pop_back();
    }
  }
  std::sort_heap(batch.begin(), batch.end(), name_before);
  return batch;
}

void write_status_file(const std::string& path) {
  // Other programs read this file: it is replaced whole, with ordinary
  // permissions, never written through whatever was put at its name.
  replace_file(path, "000", 3, 0644);
}

}  // namespace

int event_log_filter_func(const struct dirent* entry) {
  return (entry != nullptr && strstr(entry->d_name, ".event") != nullptr) ? 1 : 0;
}

int __udp_client_event_log_handler(vantor_udp_client* client, const taglist* config, char* buffer) {
  const char* spool = config_text(config, "FEATURE_EVENT_SPOOL");
  std::vector<char> own_buffer;
  // Succeeded once every batch was delivered (or there was none to send).
  feature_run run(FEATURE_ID_EVENT_LOG, nullptr);
  run.set_result(feature_result::failed);
  try {
    if (buffer == nullptr) {
      own_buffer.assign(DAEMON_BUFFER_SIZE, '\0');
      buffer = own_buffer.data();
    }
    owned_dir dir(opendir(spool));
    if (!dir) {
      __udp_client_log(VT_LOG_ERR, "Dir not found: %s", spool);
      return 0;
    }
    const std::string status_file = system_path("/tmp/qrms_eventlog.log");
    std::string last;
    for (bool first = true;; first = false) {
      std::vector<std::string> names = next_batch(dir.get(), last, first);
      if (names.empty()) {
        run.set_result(feature_result::succeeded);
        return 0;
      }
      if (first) __udp_client_log(VT_LOG_INFO, "Send event log");
      last = names.back();

      std::vector<event_record> events;
      std::vector<std::string> sent_files;
      events.reserve(names.size());
      sent_files.reserve(names.size());
      bool status_event = false;
      for (const std::string& name : names) {
        snprintf(buffer, DAEMON_BUFFER_SIZE, "%s%s", spool, name.c_str());
        event_record record;
        if (!read_event_record(buffer, &record)) {
          // A file that cannot be read (or is no regular file) can never be
          // sent; drop it.
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
      if (events.empty()) continue;

      int code = 0;
      const char* path = config_text(config, "FEATURE_EVENT_PATH");
      const int count = static_cast<int>(events.size());
      step_result sent = https_step(client, config, path, &code, 0, nullptr,
                                    [&](https_request* request, const char* interface, int* c) {
                                      return vantor_https_submit_event_log(request, interface, count,
                                                                           events.data(), c) == 1;
                                    });
      // This batch and the later ones stay spooled for the next request;
      // the batches before it are delivered and gone.
      if (sent != step_result::next) return 0;
      for (const std::string& file : sent_files) unlink(file.c_str());
      if (status_event) write_status_file(status_file);
    }
  } catch (const std::bad_alloc&) {
    // The files not yet delivered stay in the spool for the next SIGUSR1.
    return 0;
  }
}

size_t event_spool_count(const taglist* config, size_t limit, bool* complete) {
  *complete = true;
  owned_dir dir(opendir(config_text(config, "FEATURE_EVENT_SPOOL")));
  if (!dir) return 0;
  size_t count = 0;
  while (const dirent* entry = readdir(dir.get())) {
    if (event_log_filter_func(entry) == 0) continue;
    if (count == limit) {
      *complete = false;
      break;
    }
    ++count;
  }
  return count;
}
