// Signal handlers of the daemon. The flags they store (event_log_requested,
// stop_requested, exit_after_stop, debug_mode) are lock-free atomics.
#include "daemon/signals.h"

#include <csignal>

#include "features/daemon_state.h"
#include "platform/log_settings.h"
#include "platform/stop.h"

void signal_USR1_handler(int) { event_log_requested.store(1); }

void signal_USR2_handler(int) { debug_mode.fetch_xor(1); }

// Both also request the process-wide stop at once, which ends every wait of
// the cycle and the commands it runs, wherever they are. Leaving lets a
// command that writes flash go on running instead of waiting for it; a
// restart waits for it.
void signal_TERM_handler(int) {
  exit_after_stop.store(1);
  stop_requested.store(1);
  vt_request_leave();
}

// A restart leaves an earlier request to leave in force: termination wins.
void signal_HUP_handler(int) {
  stop_requested.store(1);
  vt_request_stop();
}

namespace {

void install(int signal_number, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Other threads blocked in reads and waits carry on when a signal lands on them.
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

}  // namespace

void __udp_client_install_signal_handlers() {
  vt_stop_fd();  // made before a handler may need it
  install(SIGUSR1, signal_USR1_handler);
  install(SIGUSR2, signal_USR2_handler);
  install(SIGTERM, signal_TERM_handler);
  install(SIGINT, signal_TERM_handler);
  install(SIGHUP, signal_HUP_handler);
}
