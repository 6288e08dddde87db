#include "platform/log.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/sandbox.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Field n of "[time] [pid] [level] message" (1 time, 2 pid, 3 level, 4 message);
// "<malformed>" unless the time is "%a %b %d %T %Z %Y" and the pid has five digits or more.
std::string field(const std::string& line, int n) {
  size_t t = line.find("] ["), p = line.find("] [", t + 1), l = line.find("] ", p + 1);
  if (line.empty() || line[0] != '[' || t == std::string::npos || p == std::string::npos ||
      l == std::string::npos) {
    return "<malformed>";
  }
  std::string parts[] = {line, line.substr(1, t - 1), line.substr(t + 3, p - t - 3),
                         line.substr(p + 3, l - p - 3), line.substr(l + 2)};
  struct tm tm = {};
  bool ok = parts[1].size() >= 26 && strptime(parts[1].c_str(), "%a %b %d %T", &tm) != nullptr &&
            parts[2].size() >= 5 && parts[2].find_first_not_of("0123456789") == std::string::npos;
  return ok ? parts[n] : "<malformed>";
}

class LogTest : public vt_test::SandboxTest {
 protected:
  void SetUp() override {
    reset_log_settings();
    path = sandbox.path("/tmp/udp_client.log");
  }
  void TearDown() override { reset_log_settings(); }
  std::string log_text() const { return vt_test::read_text_file(path); }
  bool exists(const std::string& p) const { return access(p.c_str(), F_OK) == 0; }
  std::string copy(int i) const { return path + "." + std::to_string(i); }
  std::string message_in(const std::string& file) const {
    auto lines = lines_of(vt_test::read_text_file(file));
    return lines.size() == 1 ? field(lines[0], 4) : "<" + std::to_string(lines.size()) + " lines>";
  }
  std::string path;
};

TEST_F(LogTest, DefaultPathLocalTimeAndFixedPrefix) {
  EXPECT_EQ(get_log_file_path(), path);
  const char* old_tz = getenv("TZ");
  std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  vt_set_clock(+[]() -> time_t { return 1700000000; });
  int n = __udp_client_log(6, "hello %d", 42);
  vt_set_clock(nullptr);
  if (old_tz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  char pid[16];
  snprintf(pid, sizeof pid, "%05d", getpid());
  EXPECT_EQ(log_text(), "[Tue Nov 14 22:13:20 UTC 2023] [" + std::string(pid) + "] [info] hello 42\n");
  EXPECT_EQ(static_cast<size_t>(n) + 1, log_text().size());  // prefix and message, no newline
}

TEST_F(LogTest, DebugOnlyInDebugModeNothingWhenDisabledLevelNames) {
  EXPECT_EQ(__udp_client_log(7, "hidden"), 0);
  log_enable = 0;
  EXPECT_EQ(__udp_client_log(3, "nothing"), 0);
  EXPECT_FALSE(exists(path));
  log_enable = 1;
  debug_mode = 1;
  const std::pair<int, const char*> cases[] = {
      {0, "emerg"}, {1, "alert"}, {2, "crit"}, {3, "err"},  {4, "warn"}, {5, "notice"},
      {6, "info"},  {7, "debug"}, {8, "info"}, {9, "info"}, {-1, "info"}};
  for (const auto& c : cases) __udp_client_log(c.first, "level %d", c.first);
  auto lines = lines_of(log_text());
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(field(lines[i], 3), cases[i].second) << i;
}

TEST_F(LogTest, UnwritablePathAndDefaultLoggerGoToStandardError) {
  set_log_file_path(sandbox.path("/no/such/dir/log").c_str());
  log_file_size = 1;
  testing::internal::CaptureStderr();
  int n = __udp_client_log(4, "fallback %s", "line");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(static_cast<size_t>(n) + 1, err.size());
  EXPECT_FALSE(exists(sandbox.path("/no/such/dir/log.0")));
  testing::internal::CaptureStderr();
  __vantor_udp_client_default_log(7, "debug %d", 1);  // every level, debug_mode or not
  __vantor_udp_client_default_log(-1, "odd");
  err += testing::internal::GetCapturedStderr();
  auto lines = lines_of(err);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(field(lines[0], 3), "warn");
  EXPECT_EQ(field(lines[1], 3), "debug");
  EXPECT_EQ(field(lines[2], 3), "info");
  EXPECT_FALSE(exists(path));
}

TEST_F(LogTest, FiveRotationsKeepTheNewestCountCopies) {
  log_file_size = 1;  // every line fills the file
  for (int count : {4, 1}) {
    log_file_count = static_cast<int16_t>(count);
    for (int i = 1; i <= 5; ++i) __udp_client_log(6, "message %d", i);
    EXPECT_FALSE(exists(path));
    for (int i = 0; i < count; ++i) EXPECT_EQ(message_in(copy(i)), "message " + std::to_string(5 - i));
    EXPECT_FALSE(exists(copy(4)));
  }
}

TEST_F(LogTest, DefaultSizeRotatesOnTheCallThatReaches16384Bytes) {
  EXPECT_EQ(log_file_size.load(), 16384u);
  size_t written = 0;
  int calls = 0;
  while (!exists(copy(0))) {
    ASSERT_LT(calls, 1000);
    written += static_cast<size_t>(__udp_client_log(6, "%0100d", calls)) + 1;
    ++calls;
  }
  std::string rotated = vt_test::read_text_file(copy(0));
  EXPECT_EQ(rotated.size(), written);
  EXPECT_GE(rotated.size(), 16384u);
  size_t last_line = lines_of(rotated).back().size() + 1;
  EXPECT_LT(rotated.size() - last_line, 16384u);  // not one call earlier
  EXPECT_FALSE(exists(path));

  __udp_client_log(6, "fresh");
  EXPECT_EQ(message_in(path), "fresh");
  EXPECT_EQ(vt_test::read_text_file(copy(0)), rotated);
}

TEST_F(LogTest, SizeZeroNeverRotates) {
  log_file_size = 0;
  for (int i = 0; i < 300; ++i) __udp_client_log(6, "%0100d", i);
  EXPECT_EQ(lines_of(log_text()).size(), 300u);
  EXPECT_GT(log_text().size(), 16384u * 2);
  EXPECT_FALSE(exists(copy(0)));
}

TEST_F(LogTest, LongConfiguredPathRotatesIntoFullNames) {
  std::string dir = sandbox.path("/tmp/" + std::string(200, 'd'));
  std::string long_path = dir + "/" + std::string(200, 'f') + ".log";
  vt_test::write_text_file(long_path, "");
  set_log_file_path(long_path.c_str());
  log_file_size = 1;
  log_file_count = 12;
  for (int i = 0; i < 12; ++i) __udp_client_log(6, "m%d", i);
  EXPECT_EQ(message_in(long_path + ".0"), "m11");
  EXPECT_EQ(message_in(long_path + ".11"), "m0");
}

// --- threads ----------------------------------------------------------------

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 600;

// Every line whole: it parses, and its message is thread t's full payload.
void expect_whole_lines(const std::vector<std::string>& lines, int expected_total) {
  int per_thread[kThreads] = {};
  for (const std::string& line : lines) {
    std::string message = field(line, 4);
    int t = message.size() > 2 ? message[1] - 'a' : -1;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 120);
    EXPECT_EQ(message, "t" + std::string(1, 'a' + t) + std::string(200 + 20 * t, 'a' + t));
    per_thread[t]++;
  }
  EXPECT_EQ(static_cast<int>(lines.size()), expected_total);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(per_thread[t], expected_total / kThreads) << t;
}

void log_from_threads(vantor_log_func log) {
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, log, &ready] {
      std::string payload(200 + 20 * t, 'a' + t);
      // All threads start logging together, so that their lines really compete.
      ready++;
      while (ready < kThreads) std::this_thread::yield();
      for (int i = 0; i < kLinesPerThread; ++i) log(6, "t%c%s", 'a' + t, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();
}

TEST_F(LogTest, EightThreadsGiveOnlyWholeLinesAcrossRotations) {
  log_file_size = 16384;
  log_file_count = 200;  // enough copies that no line is dropped
  log_from_threads(__udp_client_log);
  std::vector<std::string> lines = lines_of(log_text());
  int copies = 0;
  for (int i = 0; exists(copy(i)); ++i, ++copies) {
    for (auto& l : lines_of(vt_test::read_text_file(copy(i)))) lines.push_back(l);
  }
  EXPECT_GT(copies, 10);
  expect_whole_lines(lines, kThreads * kLinesPerThread);
}

TEST_F(LogTest, EightThreadsOnStandardErrorGiveOnlyWholeLines) {
  set_log_file_path(sandbox.path("/no/such/dir/log").c_str());
  for (vantor_log_func log : {&__udp_client_log, &__vantor_udp_client_default_log}) {
    testing::internal::CaptureStderr();
    log_from_threads(log);
    expect_whole_lines(lines_of(testing::internal::GetCapturedStderr()), kThreads * kLinesPerThread);
  }
}

TEST_F(LogTest, PathAndFlagsChangeSafelyWhileThreadsLog) {
  std::string a = sandbox.path("/tmp/a.log");
  std::string b = sandbox.path("/tmp/b.log");
  log_file_size = 0;
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done; ++i) {
      set_log_file_path((i % 2 ? a : b).c_str());
      debug_mode = i % 2;
    }
  });
  log_from_threads(__udp_client_log);
  done = true;
  changer.join();
  std::vector<std::string> lines = lines_of(vt_test::read_text_file(a));
  for (auto& l : lines_of(vt_test::read_text_file(b))) lines.push_back(l);
  for (auto& l : lines_of(log_text())) lines.push_back(l);
  expect_whole_lines(lines, kThreads * kLinesPerThread);
}

}  // namespace
