#include "platform/paths.h"

#include <cstdlib>

std::string system_root() {
  const char* root = std::getenv("VTCLIENT_ROOT");
  if (root == nullptr || root[0] == '\0') return std::string();
  std::string r(root);
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return r;
}

std::string system_path(const char* absolute_path) {
  std::string path(absolute_path ? absolute_path : "");
  std::string root = system_root();
  if (root.empty()) return path;
  if (path.empty() || path[0] != '/') return root + "/" + path;
  return root + path;
}
