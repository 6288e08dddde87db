// Reading a file at a name other users can reach: only a regular file,
// within its limit, and never past a stop.
#include "platform/safe_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/stop.h"
#include "tests/support/sandbox.h"

namespace {

class SafeFileTest : public vt_test::SandboxTest {};

TEST_F(SafeFileTest, ReadRegularFileTakesOnlyARegularFileWithinItsLimit) {
  const std::string name = sandbox.path("/tmp/upload");
  const auto write = [&](const char* text) { return [&name, text] { vt_test::write_text_file(name, text); }; };
  const struct {
    const char* what;
    std::function<void()> plant;
    file_read result;
    std::string content;
  } cases[] = {
      {"empty file", write(""), file_read::ok, ""},
      {"file at the limit", write("abcd"), file_read::ok, "abcd"},
      {"file past the limit", write("abcde"), file_read::too_big, ""},
      {"missing", [] {}, file_read::unreadable, ""},
      {"directory", [&] { mkdir(name.c_str(), 0755); }, file_read::not_regular, ""},
      {"FIFO without a writer", [&] { mkfifo(name.c_str(), 0666); }, file_read::not_regular, ""},
      {"link to a file", [&] {
         vt_test::write_text_file(name + ".target", "ab");
         symlink((name + ".target").c_str(), name.c_str());
       }, file_read::not_regular, ""},
      {"stop requested", [&] {
         vt_test::write_text_file(name, "ab");
         vt_request_stop();
       }, file_read::stopped, ""},
  };
  for (const auto& c : cases) {
    c.plant();
    std::string out = "old";
    EXPECT_EQ(read_regular_file(name.c_str(), 4, &out), c.result) << c.what;
    EXPECT_EQ(out, c.content) << c.what;
    vt_clear_stop();
    rmdir(name.c_str());
    unlink(name.c_str());
  }
}

}  // namespace
