#include "platform/taglist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

using TaglistFileTest = vt_test::SandboxTest;

// "key=value" in list order.
std::vector<std::string> pairs(const taglist* list) {
  std::vector<std::string> out;
  for (int i = 0; i < list->count; ++i) out.push_back(std::string(list->items[i]->tag) + "=" + list->items[i]->value);
  return out;
}

TEST(TaglistLineRules, QuotesCommentsAndSplitting) {
  const std::pair<const char*, const char*> cases[] = {  // line, "key|value" or "-" for no pair
      {"K=\"abc\"", "K|abc"},  {"K=abc", "K|abc"},       {"K=\"abc", "K|abc"},         {"K=abc\"", "K|abc"},
      {"K=\"\"", "K|"},        {"K=a=b", "K|a=b"},       {" K=v", " K|v"},             {"K=a\"b", "K|a\"b"},
      {"K=v # not a comment", "K|v # not a comment"},   {"K=\"\"a\"\"", "K|\"a\""},    {"=v", "|v"},
      {"K=v\r\n", "K|v"},      {"K=\"v\"\r\n", "K|v"},  {"K=v\n\r\n", "K|v"},          {"# K=v", "-"},
      {"no equals sign", "-"}, {"", "-"},               {"\r\n", "-"},
  };
  for (const auto& [text, expected] : cases) {
    std::string line = text;
    tagitem* item = __parse_tagitem(line.data());
    EXPECT_EQ(item ? std::string(item->tag) + "|" + item->value : "-", expected) << text;
    free_tagitem(item);
  }
}

TEST_F(TaglistFileTest, LoadOrderDuplicatesLineBreaksLongLinesAndLookup) {
  // text_only: a lone CR ends a line only in text.
  const struct { std::string text; int sorted; std::vector<std::string> pairs; bool text_only = false; } cases[] = {
      // Sorted inserts land before, between and after the keys there; the first of a key wins.
      {"m=1\nc=2\nx=3\nc=0\na=4\nn=5\nz=6\nb=7\nm=0\n", 1, {"a=4", "b=7", "c=2", "m=1", "n=5", "x=3", "z=6"}},
      {"c=3\na=1\nb=2\n", 0, {"c=3", "a=1", "b=2"}},
      {"B=1\nA=x\nB=2\nA=y\n", 0, {"B=1", "A=x"}},
      {"\r\nA=1\r\n\r\n\nB=2\rC=\"3\"", 0, {"A=1", "B=2", "C=3"}, true},
      {"A=\"1\"\r\nB=2\r\n# c=3\r\n\r\n", 1, {"A=1", "B=2"}},
      // A long line is read in pieces of 8191 characters: the first holds "K=" and 8189 x, the rest of the
      // line is a piece without "=" and is skipped; "T=" starts a piece and so a key.
      {"K=" + std::string(9000, 'x') + "\n" + std::string(8191, 'y') + "T=tail\nZ=1\n", 1,
       {"K=" + std::string(8189, 'x'), "T=tail", "Z=1"}},
  };
  for (const auto& c : cases) {
    sandbox.write_file("/etc/t.cfg", c.text);
    taglist_ptr from_text(load_taglist_string(c.text.c_str(), c.sorted));
    taglist_ptr from_file(load_taglist_ex(sandbox.path("/etc/t.cfg").c_str(), c.sorted));
    EXPECT_EQ(pairs(from_text.get()), c.pairs) << c.text.substr(0, 40);
    if (!c.text_only) { EXPECT_EQ(pairs(from_file.get()), c.pairs) << c.text.substr(0, 40); }
  }
  taglist_ptr missing(load_taglist_ex("/nonexistent/vtclient.cfg", 1));
  EXPECT_EQ(missing ? missing->count : -1, 0);
  // An empty value counts as absent, and a null list as empty.
  taglist_ptr list(load_taglist_string("EMPTY=\"\"\nSET=1\n", 1));
  EXPECT_EQ(std::string(get_taglist_default(list.get(), "EMPTY", "dflt")) + get_taglist_default(list.get(), "M", "") +
                get_taglist_default(list.get(), "SET", "") + get_taglist_default(nullptr, "a", "d"), "dflt1d");
}

}  // namespace
