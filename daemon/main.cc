// vtclient: the router's management agent. Runs in the foreground until it
// is told to stop (SIGTERM, SIGINT) or killed.
//
// One program, several tools, as busybox does it: started under the name of
// one of the tools below (a link to vtclient), it is that tool. Firmware
// then carries the agent's code once, however many tools share it.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "daemon/cycle.h"
#include "tools/status/status.h"
#include "tools/checkconf/checkconf_main.h"

namespace {

const char kRevision[] = "$Name:  $";

struct tool_mode {
  const char* name;  // the link's name, matched against the base name of argv[0]
  int (*main)(int argc, char** argv);
};

const tool_mode kToolModes[] = {
    {"vtclient-checkconf", checkconf_main},
    {"vtclient-status", status_main},
};

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void print_usage(const char* program) {
  printf("Vantor UDP Client daemon for real time protocol\n");
  printf("REV %s\n\n", kRevision);
  printf("Usage: %s [-v]\n", program);
  printf("-v:\tshow version\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0) {
    const char* name = base_name(argv[0]);
    for (const tool_mode& mode : kToolModes) {
      if (strcmp(name, mode.name) == 0) return mode.main(argc, argv);
    }
  }
  opterr = 0;  // an unknown option gets the usage text, not a complaint
  if (getopt(argc, argv, "v") != -1) {
    print_usage(argv[0]);
    return 0;
  }
  return __udp_client_daemon_main();
}
