// The daemon's signals. Every handler only stores into a process-wide
// lock-free flag; the supervision loop acts on the flags once a second.
//   SIGUSR1          upload the spooled event logs now
//   SIGUSR2          toggle debug logging
//   SIGTERM, SIGINT  tear the cycle down and leave with status 0
//   SIGHUP           tear the cycle down and start a new one, re-reading the configuration
#pragma once

void signal_USR1_handler(int signal_number);
void signal_USR2_handler(int signal_number);
void signal_TERM_handler(int signal_number);
void signal_HUP_handler(int signal_number);

// Installs the handlers above, once per process.
void __udp_client_install_signal_handlers();
