#include "platform/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/clock.h"
#include "tests/support/sandbox.h"

namespace {

using vt_test::lines_of;

// The messages (or levels) of the lines in text, joined by "|"; the exact prefix is checked once, in FixedPrefix...
std::string messages(const std::string& text, int n = 3) {
  std::string out;
  for (const std::string& line : lines_of(text)) {
    auto [level, message] = vt_test::log_fields(line);
    out += (out.empty() ? "" : "|") + (n == 2 ? level : message);
  }
  return out;
}

class LogTest : public vt_test::SandboxTest {
 protected:
  void TearDown() override { reset_log_settings(); }
  bool exists(const std::string& p) const { return access(p.c_str(), F_OK) == 0; }
  std::string copy(int i) const { return path + "." + std::to_string(i); }
  std::string path = sandbox.path("/tmp/udp_client.log");
};

TEST_F(LogTest, FixedPrefixLevelNamesAndDebugOnlyInDebugModeOrThroughTheChannelsLogger) {
  setenv("TZ", "UTC", 1);  // no other test here depends on the zone
  tzset();
  vt_set_clock(+[]() -> time_t { return 1700000000; });
  int n = __udp_client_log(6, "hello %d", 42);
  vt_set_clock(nullptr);
  char pid[16];
  snprintf(pid, sizeof pid, "%05d", getpid());
  std::string text = vt_test::read_text_file(path);
  EXPECT_EQ(text, "[Tue Nov 14 22:13:20 UTC 2023] [" + std::string(pid) + "] [info] hello 42\n");
  EXPECT_EQ(static_cast<size_t>(n) + 1, text.size());  // prefix and message, no newline
  unlink(path.c_str());

  EXPECT_EQ(__udp_client_log(7, "hidden"), 0);
  log_enable = 0;
  EXPECT_EQ(__udp_client_log(3, "nothing"), 0);
  EXPECT_FALSE(exists(path));
  log_enable = 1, debug_mode = 1;
  for (int level = -1; level <= 8; ++level) __udp_client_log(level, "level %d", level);
  EXPECT_EQ(messages(vt_test::read_text_file(path), 2), "info|emerg|alert|crit|err|warn|notice|info|debug|info");

  // The channel's default logger writes every level, debug too, to standard error.
  debug_mode = 0;
  testing::internal::CaptureStderr();
  __vantor_udp_client_default_log(7, "debug %d", 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(messages(err) + "|" + messages(err, 2), "debug 1|debug");
}

TEST_F(LogTest, NameHeldByAnotherFileIsReplacedOrSaidOnceOnStandardError) {
  // A second name of another file: replaced, the other file untouched.
  const std::string other = sandbox.path("/tmp/other");
  vt_test::write_text_file(other, "kept\n");
  ASSERT_EQ(link(other.c_str(), path.c_str()), 0);
  __udp_client_log(6, "first");
  EXPECT_EQ(messages(vt_test::read_text_file(path)),
            "Log file " + path + " was a second name of another file: replaced|first");
  EXPECT_EQ(vt_test::read_text_file(other), "kept\n");
  // A directory cannot be replaced: standard error, said once, until it goes.
  unlink(path.c_str());
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  testing::internal::CaptureStderr();
  __udp_client_log(6, "second");
  __udp_client_log(6, "third");
  EXPECT_EQ(messages(testing::internal::GetCapturedStderr()),
            "Log file " + path + " is a directory of uid " + std::to_string(geteuid()) +
                ": logging to standard error|second|third");
  rmdir(path.c_str());
  __udp_client_log(6, "fourth");
  EXPECT_EQ(messages(vt_test::read_text_file(path)), "fourth");
}

TEST_F(LogTest, RotationAtTheCallThatReachesTheSizeKeepsTheNewestCountCopiesAndSizeZeroNever) {
  // The default size: rotated on the call that reaches 16384 bytes, not one earlier.
  size_t written = 0;
  for (int calls = 0; !exists(copy(0)); ++calls) {
    ASSERT_LT(calls, 1000);
    written += static_cast<size_t>(__udp_client_log(6, "%0100d", calls)) + 1;
  }
  std::string rotated = vt_test::read_text_file(copy(0));
  EXPECT_TRUE(rotated.size() == written && written >= 16384 && written - lines_of(rotated).back().size() - 1 < 16384)
      << written;
  EXPECT_FALSE(exists(path));
  log_file_size = 0;
  for (int i = 0; i < 300; ++i) __udp_client_log(6, "%0100d", i);
  EXPECT_EQ(lines_of(vt_test::read_text_file(path)).size(), 300u);
  EXPECT_EQ(vt_test::read_text_file(copy(0)), rotated);
  // Rotated names have no length limit of their own.
  path = sandbox.path("/tmp/" + std::string(200, 'd') + "/" + std::string(200, 'f') + ".log");
  vt_test::write_text_file(path, "");
  set_log_file_path(path.c_str());
  log_file_size = 1;  // every line fills the file
  for (int count : {12, 1}) {
    log_file_count = static_cast<int16_t>(count);
    for (int i = 1; i <= 13; ++i) __udp_client_log(6, "message %d", i);
    EXPECT_FALSE(exists(path));
    for (int i = 0; i < count; ++i)
      EXPECT_EQ(messages(vt_test::read_text_file(copy(i))), "message " + std::to_string(13 - i));
    EXPECT_FALSE(exists(copy(12)));
  }
}

constexpr int kThreads = 8, kLinesPerThread = 600;

// Eight threads log together, to files that rotate while the path changes,
// and to standard error (an unwritable path) through both loggers: every
// line must come out whole, thread t's full payload, none lost.
TEST_F(LogTest, EightThreadsGiveOnlyWholeLinesInRotatingFilesAndOnStandardError) {
  const auto expect_whole_lines = [&](vantor_log_func log, const std::function<std::string()>& read) {
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t, log, &ready] {
        std::string payload(200 + 20 * t, 'a' + t);
        for (++ready; ready < kThreads;) std::this_thread::yield();  // so that their lines really compete
        for (int i = 0; i < kLinesPerThread; ++i) log(6, "t%c%s", 'a' + t, payload.c_str());
      });
    for (auto& th : threads) th.join();
    int per_thread[kThreads] = {};
    for (const std::string& line : lines_of(read())) {
      std::string message = vt_test::log_fields(line).second;
      int t = message.size() > 2 ? message[1] - 'a' : -1;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 120);
      EXPECT_EQ(message, "t" + std::string(1, 'a' + t) + std::string(200 + 20 * t, 'a' + t));
      per_thread[t]++;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(per_thread[t], kLinesPerThread) << t;
  };
  log_file_count = 200;  // enough copies that no line is dropped
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done; ++i, std::this_thread::yield())
      set_log_file_path(sandbox.path(i % 2 ? "/tmp/a.log" : "/tmp/b.log").c_str()), debug_mode = i % 2;
  });
  int files = 0;
  expect_whole_lines(__udp_client_log, [&] {
    done = true;
    changer.join();
    std::string all;
    for (const auto& f : std::filesystem::directory_iterator(sandbox.path("/tmp")))
      all += vt_test::read_text_file(f.path()), ++files;
    return all;
  });
  EXPECT_GT(files, 10);
  set_log_file_path(sandbox.path("/no/such/dir/log").c_str());
  for (vantor_log_func log : {&__udp_client_log, &__vantor_udp_client_default_log}) {
    testing::internal::CaptureStderr();
    expect_whole_lines(log, [] { return testing::internal::GetCapturedStderr(); });
  }
}

}  // namespace
