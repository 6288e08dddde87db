#include "features/worker_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "features/config_read.h"

int run_device_command(const char* command) {
  return system(command ? command : "");
}

void fill_https_request(https_request* request, const taglist* config, const char* path,
                        const client_view& client) {
  memset(request, 0, sizeof(*request));
  snprintf(request->url, sizeof(request->url), "https://%s/%s", config_text(config, "VANTOR_HOST"),
           path ? path : "");
  strncpy(request->serial, client.serial.c_str(), sizeof(request->serial) - 1);
  strncpy(request->model, client.model.c_str(), sizeof(request->model) - 1);
  strncpy(request->variant, client.variant.c_str(), sizeof(request->variant) - 1);
  strncpy(request->version, client.version.c_str(), sizeof(request->version) - 1);
}

namespace {
struct pipe_closer {
  void operator()(FILE* f) const { pclose(f); }
};
struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};
}  // namespace

FILE* create_output_file(const char* path, int mode) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "w");
  if (f == nullptr) close(fd);
  return f;
}

int capture_command_output(const char* command, const char* path) {
  std::unique_ptr<FILE, pipe_closer> pipe(popen(command ? command : "", "r"));
  if (!pipe) return -1;
  std::unique_ptr<FILE, file_closer> out(create_output_file(path, 0600));
  if (!out) return 0;
  char chunk[1024];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe.get())) > 0) {
    fwrite(chunk, 1, n, out.get());
  }
  return 1;
}

void wait_for_request(std::mutex* mutex, std::condition_variable* cond, uint32_t* busy,
                      const std::atomic<uint32_t>* stopping) {
  std::unique_lock<std::mutex> lock(*mutex);
  *busy = 0;
  do {
    // Five seconds measured on the monotonic clock: they only bound how late
    // a stop is seen, and a wall clock set back must not stretch them.
    cond->wait_for(lock, std::chrono::seconds(5));
  } while (*busy == 0 && stopping->load() == 0);
}
