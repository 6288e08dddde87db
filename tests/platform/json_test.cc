#include "platform/json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JsonText, EveryStringIsEscapedCutOnACharacterAndReadsBack) {
  const std::string bad = "\xEF\xBF\xBD";  // each byte of a malformed sequence becomes U+FFFD
  const struct { std::string in; size_t max; std::string written; } rows[] = {
      {"plain", 256, "\"plain\""}, {"a\"b\\c/", 256, "\"a\\\"b\\\\c/\""},
      {"\n\t\r\x01\x1f\x7f", 256, "\"\\n\\t\\r\\u0001\\u001f\\u007f\""},
      {std::string("nul\0in", 6), 256, "\"nul\\u0000in\""},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 256, "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      // Not UTF-8: a stray byte, an overlong slash, a surrogate, a cut sequence, past U+10FFFF.
      {"a\xFF" "b", 256, "\"a" + bad + "b\""}, {"\xC0\xAF", 256, "\"" + bad + bad + "\""},
      {"\xED\xA0\x80", 256, "\"" + bad + bad + bad + "\""}, {"\xE2\x82", 256, "\"" + bad + bad + "\""},
      {"\xF4\x90\x80\x80", 256, "\"" + bad + bad + bad + bad + "\""},
      // The limit counts source bytes and never splits a character.
      {"abcdef", 3, "\"abc\""}, {"a\xC3\xA9", 2, "\"a\""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.written);
    const std::string quoted = json_quote(row.in, row.max);
    EXPECT_EQ(quoted, row.written);
    json_value value;
    ASSERT_TRUE(json_parse(quoted, &value));
    EXPECT_EQ(json_quote(value.text, 256), quoted) << "read back differently";
  }
}

TEST(JsonText, SizeLimitAndRefusedInput) {
  json_writer small(10);
  small.begin_object(), small.key("long"), small.string("more than ten bytes");
  EXPECT_FALSE(small.ok());
  EXPECT_LE(small.text().size(), 10u);
  json_value doc;
  for (const char* bad : {"{\"a\":1", "{\"a\" 1}", "[1,]", "\"\\x\"", "\"\\ud800\"", "\"a\nb\"", "\"\xFF\"",
                          "01x", "{} {}", "[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]"})
    EXPECT_FALSE(json_parse(bad, &doc)) << bad;
}

}  // namespace
