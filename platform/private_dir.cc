#include "platform/private_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/log.h"
#include "platform/paths.h"

namespace {

std::mutex dir_mutex;
// The fixed name that was found unsafe, and the directory used instead.
std::string refused_dir;
std::string fallback_dir;

// A directory (not a link to one) of this user with exactly this mode.
bool is_own_directory(const std::string& path, mode_t mode) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == mode;
}

// Ours alone: mode 0700.
bool is_private(const std::string& path) { return is_own_directory(path, 0700); }

// mkdir() leaves the mode to the umask; the directory is set to exactly
// mode through a descriptor, so nothing put at the name since is touched.
bool make_own_directory(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) != 0) return false;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  close(fd);
  return ok && is_own_directory(path, mode);
}

bool make_private(const std::string& path) { return make_own_directory(path, 0700); }

// Whether the status directory was refused at its last check, so that the
// refusal is logged once and not at every write. Guarded by dir_mutex.
bool status_dir_refused = false;

}  // namespace

std::string private_directory() {
  const std::string dir = system_path("/tmp/vtclient");
  std::lock_guard<std::mutex> lock(dir_mutex);
  if (is_private(dir) || make_private(dir)) return dir;
  if (refused_dir == dir && is_private(fallback_dir)) return fallback_dir;

  std::vector<char> name(dir.begin(), dir.end());
  static const char kSuffix[] = ".XXXXXX";
  name.insert(name.end(), kSuffix, kSuffix + sizeof(kSuffix));
  if (mkdtemp(name.data()) == nullptr || !is_private(name.data())) {
    __udp_client_log(VT_LOG_ERR, "No private directory: %s is not safe and no other can be made",
                     dir.c_str());
    return std::string();
  }
  refused_dir = dir;
  fallback_dir.assign(name.data());
  __udp_client_log(VT_LOG_ERR, "Private directory %s is not safe, using %s", dir.c_str(),
                   fallback_dir.c_str());
  return fallback_dir;
}

std::string private_path(const char* base_name) {
  std::string dir = private_directory();
  if (dir.empty() || base_name == nullptr) return std::string();
  return dir + "/" + base_name;
}

std::string status_directory() {
  const std::string dir = system_path("/var/run/vtclient");
  std::lock_guard<std::mutex> lock(dir_mutex);
  if (is_own_directory(dir, 0755) || make_own_directory(dir, 0755)) {
    status_dir_refused = false;
    return dir;
  }
  if (!status_dir_refused) {
    status_dir_refused = true;
    __udp_client_log(VT_LOG_ERR, "No status directory: %s is not safe or cannot be made", dir.c_str());
  }
  return std::string();
}
