// vtclient: the router's management agent. Runs in the foreground until it
// is told to stop (SIGTERM, SIGINT) or killed.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "daemon/cycle.h"
#include "tools/status/status.h"

namespace {

const char kRevision[] = "$Name:  $";

void print_usage(const char* program) {
  printf("Vantor UDP Client daemon for real time protocol\n");
  printf("REV %s\n\n", kRevision);
  printf("Usage: %s [-v]\n", program);
  printf("-v:\tshow version\n");
}

}  // namespace

int main(int argc, char** argv) {
  // One executable, several programs: called through the vtclient-status
  // link, it is the status reader.
  const char* slash = argc > 0 && argv[0] ? strrchr(argv[0], '/') : nullptr;
  const char* name = slash ? slash + 1 : argc > 0 && argv[0] ? argv[0] : "";
  if (strcmp(name, "vtclient-status") == 0) return status_main(argc, argv);

  opterr = 0;  // an unknown option gets the usage text, not a complaint
  if (getopt(argc, argv, "v") != -1) {
    print_usage(argv[0]);
    return 0;
  }
  return __udp_client_daemon_main();
}
