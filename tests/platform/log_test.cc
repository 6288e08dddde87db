#include "platform/log.h"

#include <gtest/gtest.h>
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

// One line split into the fields of "[time] [pid] [level] message".
struct parsed_line {
  bool ok = false;
  std::string time, pid, level, message;
};

parsed_line parse(const std::string& line) {
  parsed_line p;
  if (line.empty() || line[0] != '[') return p;
  size_t t_end = line.find("] [", 1);
  if (t_end == std::string::npos) return p;
  size_t pid_end = line.find("] [", t_end + 3);
  if (pid_end == std::string::npos) return p;
  size_t level_end = line.find("] ", pid_end + 3);
  if (level_end == std::string::npos) return p;
  p.time = line.substr(1, t_end - 1);
  p.pid = line.substr(t_end + 3, pid_end - t_end - 3);
  p.level = line.substr(pid_end + 3, level_end - pid_end - 3);
  p.message = line.substr(level_end + 2);
  // "%a %b %d %T %Z %Y": six words, the fourth hh:mm:ss.
  std::istringstream words(p.time);
  std::vector<std::string> w;
  for (std::string word; words >> word;) w.push_back(word);
  bool time_ok = w.size() == 6 && w[0].size() == 3 && w[1].size() == 3 && w[2].size() == 2 &&
                 w[3].size() == 8 && w[3][2] == ':' && w[3][5] == ':' && w[5].size() == 4;
  bool pid_ok = p.pid.size() >= 5 && p.pid.find_first_not_of("0123456789") == std::string::npos;
  p.ok = time_ok && pid_ok;
  return p;
}

std::string level_of(const std::string& line) {
  parsed_line p = parse(line);
  return p.ok ? p.level : "<malformed: " + line + ">";
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
  std::string path;
};

TEST_F(LogTest, DefaultPathIsUnderTheSandbox) {
  EXPECT_EQ(get_log_file_path(), path);
  EXPECT_GT(__udp_client_log(6, "hello %d", 42), 0);
  auto lines = lines_of(log_text());
  ASSERT_EQ(lines.size(), 1u);
  parsed_line p = parse(lines[0]);
  ASSERT_TRUE(p.ok) << lines[0];
  EXPECT_EQ(std::stoi(p.pid), getpid());
  EXPECT_EQ(p.level, "info");
  EXPECT_EQ(p.message, "hello 42");
}

TEST_F(LogTest, ReturnsPrefixAndMessageLengthWithoutNewline) {
  int n = __udp_client_log(3, "%s", "abc");
  EXPECT_EQ(static_cast<size_t>(n) + 1, log_text().size());
}

TEST_F(LogTest, LevelNamesAndOutOfRangeLevelsAreInfo) {
  debug_mode = 1;
  struct Case {
    int level;
    const char* name;
  } cases[] = {{0, "emerg"}, {1, "alert"}, {2, "crit"},  {3, "err"},  {4, "warn"},
               {5, "notice"}, {6, "info"}, {7, "debug"}, {8, "info"}, {9, "info"},
               {-1, "info"}};
  for (const Case& c : cases) __udp_client_log(c.level, "level %d", c.level);
  auto lines = lines_of(log_text());
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(level_of(lines[i]), cases[i].name) << i;
}

TEST_F(LogTest, DebugLinesOnlyInDebugMode) {
  EXPECT_EQ(__udp_client_log(7, "hidden"), 0);
  EXPECT_FALSE(exists(path));
  debug_mode = 1;
  EXPECT_GT(__udp_client_log(7, "shown"), 0);
  auto lines = lines_of(log_text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(level_of(lines[0]), "debug");
}

TEST_F(LogTest, DisabledLogWritesNothingAndCreatesNoFile) {
  log_enable = 0;
  EXPECT_EQ(__udp_client_log(3, "nothing"), 0);
  EXPECT_FALSE(exists(path));
}

TEST_F(LogTest, ConfiguredPathIsUsed) {
  std::string other = sandbox.path("/tmp/other.log");
  set_log_file_path(other.c_str());
  EXPECT_EQ(get_log_file_path(), other);
  __udp_client_log(6, "x");
  EXPECT_TRUE(exists(other));
  EXPECT_FALSE(exists(path));
}

TEST_F(LogTest, UnwritablePathGoesToStandardErrorWithSamePrefix) {
  set_log_file_path(sandbox.path("/no/such/dir/log").c_str());
  log_file_size = 1;
  testing::internal::CaptureStderr();
  int n = __udp_client_log(4, "fallback %s", "line");
  std::string err = testing::internal::GetCapturedStderr();
  auto lines = lines_of(err);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(level_of(lines[0]), "warn");
  EXPECT_EQ(static_cast<size_t>(n) + 1, err.size());
  EXPECT_FALSE(exists(sandbox.path("/no/such/dir/log.0")));
}

TEST_F(LogTest, DefaultLoggerWritesEveryLevelToStandardError) {
  testing::internal::CaptureStderr();
  __vantor_udp_client_default_log(7, "debug %d", 1);
  __vantor_udp_client_default_log(-1, "odd");
  auto lines = lines_of(testing::internal::GetCapturedStderr());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(level_of(lines[0]), "debug");
  EXPECT_EQ(level_of(lines[1]), "info");
  EXPECT_FALSE(exists(path));
}

TEST(LogLevelNames, TenBytePaddedFields) {
  EXPECT_EQ(sizeof log_level_names, 80u);
  EXPECT_STREQ(log_level_names[5], "notice");
  EXPECT_EQ(log_level_names[3][3], '\0');
  EXPECT_EQ(log_level_names[3][9], '\0');
}

}  // namespace
