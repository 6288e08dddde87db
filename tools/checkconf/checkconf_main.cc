// vtclient-checkconf [--root DIR] [FILE]: checks the agent's configuration
// (by default its own file, or the one in DIR) and prints one line per
// finding. Exit status: 0 clean, 1 warnings, 2 errors.
#include "tools/checkconf/checkconf_main.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/version.h"
#include "tools/checkconf/check.h"

int checkconf_main(int argc, char** argv) {
  if (argc > 1 && (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0)) {
    printf("vtclient-checkconf %s\n", vtclient_version);
    return 0;
  }
  // --root DIR: a staged root file system of the device, against which
  // commands and paths are checked.
  std::string root;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "--root") == 0 && argv[2][0] != '\0') {
    root = argv[2];
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    first = 3;
  }
  int rest = argc - first;
  if (rest > 1 || (rest == 1 && argv[first][0] == '-')) {
    fprintf(stderr,
            "Usage: %s [--version] [--root DIR] [FILE]\n"
            "  FILE defaults to %s, or to DIR/etc/vtclient.cfg\n"
            "  --root DIR  check commands and paths in the staged root file system DIR\n",
            argv[0], system_path("/etc/vtclient.cfg").c_str());
    return 2;
  }
  std::string path = rest == 1                ? argv[first]
                     : root.empty()           ? system_path("/etc/vtclient.cfg")
                                              : root + "/etc/vtclient.cfg";
  std::vector<std::string> findings;
  check_status status = check_configuration(path, &findings, root == "/" ? "" : root);
  for (const std::string& line : findings) printf("%s\n", line.c_str());
  return status;
}
