// The event-log spool.
//
// Programs on the device record an event by dropping a 140-byte record file
// whose name contains ".event" into the spool directory and sending the
// daemon SIGUSR1. The supervision loop then calls the handler, which uploads
// every spooled event in one request and removes the files it sent.
#pragma once

#include <dirent.h>

struct taglist;
struct vantor_udp_client;

// Uploads the spool named by FEATURE_EVENT_SPOOL (a prefix: it ends in "/").
// buffer is the cycle's event-log buffer (65536 bytes), used for the paths.
// A file is removed once the server accepted the upload; after a failed
// upload the files stay for the next call. Always returns 0.
int __udp_client_event_log_handler(vantor_udp_client* client, const taglist* config, char* buffer);

// Listing filter: 1 when the entry's name contains ".event".
int event_log_filter_func(const struct dirent* entry);
