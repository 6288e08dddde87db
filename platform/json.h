// A small JSON writer and reader for the agent's status snapshot.
//
// The writer escapes every string it is given: quotes, backslashes and
// control characters, and any byte sequence that is not valid UTF-8 (a
// server's host name or a log line may hold anything) becomes U+FFFD, so the
// output is always valid JSON. Each string is cut at a byte limit on a
// character boundary, and the whole document at a size limit: past it the
// writer fails rather than produce a cut document.
//
// The reader takes a whole document of bounded size and nesting into a small
// tree; it is used by vtclient-status on the snapshot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class json_writer {
 public:
  // limit: the most bytes the document may take.
  explicit json_writer(size_t limit) : limit_(limit) {}

  void begin_object() { open("{"); }
  void end_object() { close("}"); }
  void begin_array() { open("["); }
  void end_array() { close("]"); }
  // The name of the next member of the object being written.
  void key(const char* name);
  // A string value, cut at max_bytes bytes of its escaped UTF-8 source.
  void string(std::string_view text, size_t max_bytes = 256);
  void number(int64_t value);
  void boolean(bool value);
  void null();
  // A time in seconds since the epoch, or null for 0 (never).
  void time_or_null(int64_t seconds) { seconds ? number(seconds) : null(); }
  // A member of the object being written: its name and a number or string.
  void field(const char* name, int64_t value) { key(name), number(value); }
  void field(const char* name, std::string_view text) { key(name), string(text); }

  // false when the document grew past its limit.
  bool ok() const { return !overflow_; }
  const std::string& text() const { return out_; }

 private:
  void separate();
  void open(const char* bracket);
  void close(const char* bracket);
  void put(std::string_view bytes);

  std::string out_;
  size_t limit_;
  bool overflow_ = false;
  bool need_comma_ = false;
  bool after_key_ = false;
};

// The escaped form of text as a JSON string with its quotes, cut at
// max_bytes bytes of the source.
std::string json_quote(std::string_view text, size_t max_bytes);

struct json_value {
  enum class kind { null, boolean, number, string, array, object };
  kind type = kind::null;
  bool flag = false;
  double number = 0;
  std::string text;
  std::vector<json_value> items;                            // array
  std::vector<std::pair<std::string, json_value>> members;  // object, in order

  // The member called name of an object; nullptr when there is none or
  // this is no object.
  const json_value* get(const char* name) const;
  bool is(kind k) const { return type == k; }
};

// Parses a whole document (nothing but white space after it). Nesting deeper
// than 16 levels fails. false on any fault; *out then holds no meaning.
bool json_parse(std::string_view text, json_value* out);
