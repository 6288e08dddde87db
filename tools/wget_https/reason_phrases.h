// Standard reason phrases, for servers that send a status line without one.
#pragma once

// "Found" for 302 and so on; "" for a code without a standard phrase.
const char* standard_reason_phrase(long code);
