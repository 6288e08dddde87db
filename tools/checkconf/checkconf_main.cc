// vtclient-checkconf [FILE]: checks the agent's configuration (by default
// its own file) and prints one line per finding. Exit status: 0 clean,
// 1 warnings, 2 errors.
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
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    fprintf(stderr, "Usage: %s [--version] [FILE]\n  FILE defaults to %s\n", argv[0],
            system_path("/etc/vtclient.cfg").c_str());
    return 2;
  }
  std::string path = argc == 2 ? argv[1] : system_path("/etc/vtclient.cfg");
  std::vector<std::string> findings;
  check_status status = check_configuration(path, &findings);
  for (const std::string& line : findings) printf("%s\n", line.c_str());
  return status;
}
