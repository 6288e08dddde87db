// The command line of a remote action.
//
// The configured FEATURE_REMOTE_ACTION_CMD is used as written; each argument
// of the server's request is appended after one blank as a single quoted
// shell word, so an argument can never become a command of its own.
#pragma once

#include <cstddef>

#include "channel/vantor_udp_client.h"

// Writes the command line into buffer (size bytes). Returns false, with an
// empty buffer, when it does not fit. A count below 1 appends nothing.
bool __udp_client_build_action_command(char* buffer, size_t size, const char* command, int count,
                                       const vantor_udp_client_action_entry* entries);
