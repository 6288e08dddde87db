// The event-log spool.
//
// Programs on the device record an event by dropping a 140-byte record file
// whose name contains ".event" into the spool directory and sending the
// daemon SIGUSR1. The supervision loop then calls the handler, which uploads
// the spooled events in name order, in batches of at most kEventBatch per
// request, and removes each batch's files once the server accepted it.
#pragma once

#include <dirent.h>

#include <cstddef>

// The most events sent in one request.
constexpr size_t kEventBatch = 100;

struct taglist;
struct vantor_udp_client;

// Uploads the spool named by FEATURE_EVENT_SPOOL (a prefix: it ends in "/").
// buffer is the cycle's event-log buffer (65536 bytes), used for the paths.
// A batch's files are removed once the server accepted that batch; a failed
// batch ends the call and it and every later one stay for the next call.
// Memory stays bounded by the batch, however many files are spooled.
// Always returns 0.
int __udp_client_event_log_handler(vantor_udp_client* client, const taglist* config, char* buffer);

// The number of event files waiting in the spool (0 when there is none),
// counting at most limit of them; *complete is false when there were more.
size_t event_spool_count(const taglist* config, size_t limit, bool* complete);

// Listing filter: 1 when the entry's name contains ".event".
int event_log_filter_func(const struct dirent* entry);
