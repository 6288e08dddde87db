// Spooled event files of any length and content, read into the 140-byte
// record and turned into the upload's event parts. The content is always
// NUL-terminated within its 132 bytes, a short file leaves the rest of the
// record zero, and the parts never read past the record.
#include "features/event_record.h"
#include "fuzz/fuzz_support.h"
#include "https/cloud_requests.h"
#include "https/multipart_body.h"

void fuzz::one(const uint8_t* data, size_t size) {
  event_record record;
  memset(&record, 0x5a, sizeof record);
  fuzz::check(read_event_record(fuzz::scratch_file("spooled.event", data, size).c_str(), &record), "a file was not read");
  fuzz::check(memchr(record.content, '\0', sizeof record.content) != nullptr, "content without its NUL");
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  for (size_t i = size; i < sizeof record - 1; ++i) fuzz::check(bytes[i] == 0, "a short file left record bytes undefined");
  MultipartBody body;
  body.text("event1_code", std::to_string(record.code));
  body.text("event1_ts", std::to_string(static_cast<long>(record.timestamp)));
  body.text("event1_content", field_text(record.content, sizeof record.content));
  body.close_after_text();
  fuzz::check(body.data().size() < 1024, "event parts larger than a record allows");
  fuzz::check(!read_event_record(fuzz::scratch_file("missing.event").c_str(), &record), "a missing file was read");
}
