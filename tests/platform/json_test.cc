#include "platform/json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JsonText, EveryStringIsEscapedCutOnACharacterAndReadsBack) {
  const struct {
    std::string in;
    size_t max;
    const char* written;
    std::string read;  // what the reader gives back
  } rows[] = {
      {"plain", 256, "\"plain\"", "plain"},
      {"a\"b\\c/", 256, "\"a\\\"b\\\\c/\"", "a\"b\\c/"},
      {"\n\t\r\x01\x1f\x7f", 256, "\"\\n\\t\\r\\u0001\\u001f\\u007f\"", "\n\t\r\x01\x1f\x7f"},
      {std::string("nul\0in", 6), 256, "\"nul\\u0000in\"", std::string("nul\0in", 6)},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 256, "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      // Not UTF-8: a stray byte, an overlong slash, a surrogate, a cut sequence, past U+10FFFF.
      {"a\xFF" "b", 256, "\"a\xEF\xBF\xBD" "b\"", "a\xEF\xBF\xBD" "b"},
      {"\xC0\xAF", 256, "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", 256, "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xE2\x82", 256, "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF4\x90\x80\x80", 256, "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      // The limit counts source bytes and never splits a character.
      {"abcdef", 3, "\"abc\"", "abc"},
      {"a\xC3\xA9", 2, "\"a\"", "a"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.written);
    const std::string quoted = json_quote(row.in, row.max);
    EXPECT_EQ(quoted, row.written);
    json_value value;
    ASSERT_TRUE(json_parse(quoted, &value));
    EXPECT_EQ(value.text, row.read);
  }
}

TEST(JsonText, DocumentShapeSizeLimitAndRefusedInput) {
  json_writer w(200);
  w.begin_object(), w.key("a"), w.begin_array(), w.number(-1), w.string("x"), w.null(), w.end_array();
  w.key("b"), w.begin_object(), w.key("c"), w.boolean(true), w.key("t"), w.time_or_null(0), w.end_object();
  w.end_object();
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(w.text(), "{\"a\":[-1,\"x\",null],\"b\":{\"c\":true,\"t\":null}}");
  json_value doc;
  ASSERT_TRUE(json_parse(" " + w.text() + "\n", &doc));
  EXPECT_EQ(doc.get("a")->items[0].number, -1);
  EXPECT_TRUE(doc.get("b")->get("c")->flag);

  json_writer small(10);
  small.begin_object(), small.key("long"), small.string("more than ten bytes");
  EXPECT_FALSE(small.ok());
  EXPECT_LE(small.text().size(), 10u);

  for (const char* bad : {"{\"a\":1", "{\"a\" 1}", "[1,]", "\"\\x\"", "\"\\ud800\"", "\"a\nb\"", "\"\xFF\"",
                          "01x", "{} {}", "[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]"})
    EXPECT_FALSE(json_parse(bad, &doc)) << bad;
}

}  // namespace
