// The agent's private directory, and reading a file at a name other users
// can reach: only a regular file, within its limit, and never past a stop.
#include "platform/private_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "platform/safe_file.h"
#include "platform/stop.h"
#include "tests/support/sandbox.h"

namespace {

// The private directory: made 0700 when missing, kept when it is ours;
// anything else at its name is left as it is for a fresh directory of ours.
TEST(PrivateDirectory, OnlyADirectoryOfOursWithMode0700IsUsed) {
  vt_test::Sandbox sandbox;
  const std::string fixed = sandbox.path("/tmp/vtclient"), real = fixed + ".real";
  const struct { const char* what; std::function<void()> plant; bool fixed_used; } cases[] = {
      {"missing", [] {}, true},
      {"ours", [&] { mkdir(fixed.c_str(), 0700); }, true},
      {"wider mode", [&] { mkdir(fixed.c_str(), 0700), chmod(fixed.c_str(), 0777); }, false},
      {"link", [&] { mkdir(real.c_str(), 0700), symlink(real.c_str(), fixed.c_str()); }, false},
      {"file", [&] { vt_test::write_text_file(fixed, ""); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::system(("rm -rf " + fixed + "*").c_str());
    c.plant();
    struct stat planted = {}, st = {}, after = {};
    lstat(fixed.c_str(), &planted);
    std::string dir = private_directory();
    EXPECT_EQ(dir == fixed, c.fixed_used);
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0700);
    lstat(fixed.c_str(), &after);
    EXPECT_TRUE(c.fixed_used || after.st_mode == planted.st_mode) << "the planted name was changed";
  }
}

TEST(SafeFile, ReadRegularFileTakesOnlyARegularFileWithinItsLimit) {
  vt_test::Sandbox sandbox;
  const std::string name = sandbox.path("/tmp/upload"), target = name + ".target";
  const auto write = [&](const char* text) { return [&name, text] { vt_test::write_text_file(name, text); }; };
  const struct { const char* what; std::function<void()> plant; file_read result; std::string content; } cases[] = {
      {"empty file", write(""), file_read::ok, ""},
      {"file at the limit", write("abcd"), file_read::ok, "abcd"},
      {"file past the limit", write("abcde"), file_read::too_big, ""},
      {"missing", [] {}, file_read::unreadable, ""},
      {"directory", [&] { mkdir(name.c_str(), 0755); }, file_read::not_regular, ""},
      {"FIFO without a writer", [&] { mkfifo(name.c_str(), 0666); }, file_read::not_regular, ""},
      {"link to a file", [&] { vt_test::write_text_file(target, "ab"), symlink(target.c_str(), name.c_str()); },
       file_read::not_regular, ""},
      {"stop requested", [&] { vt_test::write_text_file(name, "ab"), vt_request_stop(); }, file_read::stopped, ""},
  };
  for (const auto& c : cases) {
    c.plant();
    std::string out = "old";
    EXPECT_EQ(read_regular_file(name.c_str(), 4, &out), c.result) << c.what;
    EXPECT_EQ(out, c.content) << c.what;
    vt_clear_stop(), rmdir(name.c_str()), unlink(name.c_str());
  }
}

}  // namespace
