// Reading one spooled event record (140 bytes, machine byte order) from its
// file in the event spool.
#pragma once

#include "https/cloud_requests.h"

// Reads the record at the start of the file into out. A file shorter than a
// record leaves the rest zero; a content without NUL is cut at 131
// characters. False when the file cannot be opened or is not a regular
// file (a link is not followed, a FIFO not waited on).
bool read_event_record(const char* path, event_record* out);
