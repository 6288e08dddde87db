#include "platform/stop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

std::atomic<int> requested{0};
std::atomic<int> leaving{0};
std::atomic<int> read_end{-1};
std::atomic<int> write_end{-1};
std::once_flag pipe_made;

// One byte keeps the read end readable; a full pipe is readable anyway.
void mark() {
  int fd = write_end.load();
  if (fd < 0) return;
  int saved = errno;
  char byte = 's';
  while (write(fd, &byte, 1) < 0 && errno == EINTR) {
  }
  errno = saved;
}

void make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  write_end.store(fds[1]);
  read_end.store(fds[0]);
  // A request made before the pipe existed has no byte in it yet.
  if (requested.load() != 0) mark();
}

void ensure_pipe() { std::call_once(pipe_made, make_pipe); }

}  // namespace

void vt_request_stop() {
  requested.store(1);
  mark();
}

void vt_request_leave() {
  leaving.store(1);
  vt_request_stop();
}

void vt_clear_stop() {
  ensure_pipe();
  leaving.store(0);
  requested.store(0);
  char drain[64];
  int fd = read_end.load();
  while (fd >= 0 && read(fd, drain, sizeof drain) > 0) {
  }
  // A request that came while the pipe was drained keeps its byte.
  if (requested.load() != 0) mark();
}

bool vt_stop_requested() { return requested.load() != 0; }

bool vt_leave_requested() { return leaving.load() != 0; }

int vt_stop_fd() {
  ensure_pipe();
  return read_end.load();
}

bool vt_wait_for_stop(std::chrono::milliseconds timeout) {
  using clock = std::chrono::steady_clock;
  const clock::time_point end = clock::now() + timeout;
  const int fd = vt_stop_fd();
  for (;;) {
    if (vt_stop_requested()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
    if (left.count() <= 0) return false;
    // Without a pipe the wait is cut into naps, each ended by a test of the flag.
    int nap = static_cast<int>(fd >= 0 ? std::min<long long>(left.count(), 60000)
                                       : std::min<long long>(left.count(), 100));
    if (fd >= 0) {
      pollfd p = {fd, POLLIN, 0};
      poll(&p, 1, nap);
    } else {
      usleep(static_cast<useconds_t>(nap) * 1000);
    }
  }
}
