#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/checkconf/check.h"
#include "tools/checkconf/known_keys.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct broken_case {
  const char* name;
  const char* config;                  // nullptr: no file at all
  std::vector<std::string> expected;   // "{f}" the file's path, "{r}" the staged root, "{d}" make_dirs()'s
  check_status status;
  bool staged = false;                 // checked against the staged root file system
  bool needs_root = false;             // a file of another user is made
};

// One case per kind of finding; a clean configuration first.
const broken_case kCases[] = {
    {"clean", "VANTOR_HOST=\"vantor.example.com\"\nFEATURE_REBOOT_SUPPORT=\"0\"\n"
              "FEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_DEBUG_DUMP_TIMEOUT=30\nFEATURE_DEBUG_DUMP_CMD=echo dump\n"
              "FEATURE_DEBUG_DUMP_PATH=api/dump\n",
     {}, check_clean},
    {"missing file", nullptr,
     {"{f}: error: cannot be read (No such file or directory): the agent logs \"Config file err\" and exits"},
     check_errors},
    {"comments only", "#VANTOR_HOST=x\n\n",
     {"{f}: error: holds no setting: the agent logs \"Config file err\" and exits"}, check_errors},
    {"misspelt and unknown keys", "VANTOR_HOST=x\nFEATURE_CONFIG_TIMOUT=60\nvantor_host=x\nCOLOUR=blue\n",
     {"{f}:2: warning: unknown key \"FEATURE_CONFIG_TIMOUT\" (did you mean FEATURE_CONFIG_TIMEOUT?)",
      "{f}:3: warning: unknown key \"vantor_host\" (did you mean VANTOR_HOST?)",
      "{f}:4: warning: unknown key \"COLOUR\""},
     check_warnings},
    {"blanks around = and no host", "VANTOR_HOST = x\nDEVICE_MODEL= \"X1\"\nVANTOR_HOST=\n",
     {"{f}:1: warning: blanks around \"=\": the agent reads the key \"VANTOR_HOST \" and the value \" x\"; "
      "write VANTOR_HOST=\"x\"",
      "{f}:2: warning: blank after \"=\": the agent reads the value \" \"X1\"; write DEVICE_MODEL=\"X1\"",
      "{f}:3: error: VANTOR_HOST is not set: the agent has no server to reach"},
     check_errors},
    {"comments after a value",
     "VANTOR_HOST=x\nDEVICE_MODEL=\"X1\" # the model\nFEATURE_DEBUG_DUMP_SUPPORT=1 # on\nFEATURE_GPSDATA_SUPPORT=1\n"
     "FEATURE_GPSDATA_TIMEOUT=10\nFEATURE_GPSDATA_FETCH_CMD=echo 1 0 0 0 # a fixed position\n"
     "FEATURE_GPSDATA_NOTIFY_CMD=\"true\" # no notice\n",
     {"{f}:2: warning: DEVICE_MODEL=\"X1\" # the model\" ends in a comment, which the agent reads as part of the "
      "value: only a line that starts with \"#\" is a comment",
      "{f}:3: warning: FEATURE_DEBUG_DUMP_SUPPORT=\"1 # on\" ends in a comment, which the agent reads as part of the "
      "value: only a line that starts with \"#\" is a comment",
      "{f}:7: error: FEATURE_GPSDATA_NOTIFY_CMD leaves a quote open, so /bin/sh cannot run it (a \"#\" after the "
      "value belongs to it): true\" # no notice"},
     check_errors},
    {"numbers read as 0 or cut short",
     "VANTOR_HOST=x\nFEATURE_CONFIG_TIMEOUT=60s\nFEATURE_REPORT_TIMEOUT=abc\nDEVICE_LOG_FILE_SIZE=99999999999\n"
     "FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=1.5\nFEATURE_CONFIG_AUTO_RETRY= 3\n",
     {"{f}:2: warning: FEATURE_CONFIG_TIMEOUT=\"60s\" reads as 60",
      "{f}:3: warning: FEATURE_REPORT_TIMEOUT=\"abc\" reads as 0",
      "{f}:4: warning: DEVICE_LOG_FILE_SIZE=\"99999999999\" is out of range for a number",
      "{f}:5: warning: FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=\"1.5\" reads as 1"},
     check_warnings},
    {"switches meant to be on",
     "VANTOR_HOST=x\nFEATURE_CONFIG_SUPPORT=yes\nFEATURE_REPORT_SUPPORT=true\nFEATURE_FIRMWARE_SUPPORT= 1\n"
     "FEATURE_GPSDATA_AUTO_START=\"1 \"\nFEATURE_UPISPD_SUPPORT=0\nFEATURE_REBOOT_SUPPORT=no\n",
     {"{f}:2: warning: FEATURE_CONFIG_SUPPORT=\"yes\" is off: only exactly 1 switches it on",
      "{f}:3: warning: FEATURE_REPORT_SUPPORT=\"true\" is off: only exactly 1 switches it on",
      "{f}:4: warning: FEATURE_FIRMWARE_SUPPORT=\" 1\" is off: only exactly 1 switches it on",
      "{f}:5: warning: FEATURE_GPSDATA_AUTO_START=\"1 \" is off: only exactly 1 switches it on"},
     check_warnings},
    {"enabled features without a usable command",
     "VANTOR_HOST=x\nFEATURE_REBOOT_SUPPORT=1\nFEATURE_FIRMWARE_SUPPORT=1\nFEATURE_FIRMWARE_TIMEOUT=600\n"
     "FEATURE_FIRMWARE_ACTION_CMD=/nonexistent/upgrade --now\nFEATURE_GPSDATA_SUPPORT=1\n"
     "FEATURE_GPSDATA_TIMEOUT=10\nFEATURE_GPSDATA_FETCH_CMD=gps-reader-that-is-nowhere\n"
     "FEATURE_DEBUG_DUMP_CMD=/nonexistent/dump\n",
     {"{f}:2: error: FEATURE_REBOOT_SUPPORT is on but FEATURE_REBOOT_ACTION_CMD is not set",
      "{f}:5: error: FEATURE_FIRMWARE_ACTION_CMD does not start with an executable file: /nonexistent/upgrade --now",
      "{f}:8: error: FEATURE_GPSDATA_FETCH_CMD does not start with an executable file: gps-reader-that-is-nowhere"},
     check_errors},
    {"enabled feature without a time budget",
     "VANTOR_HOST=x\nFEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_DEBUG_DUMP_CMD=echo\nFEATURE_DEBUG_DUMP_PATH=api/dump\n",
     {"{f}:2: warning: FEATURE_DEBUG_DUMP_SUPPORT is on but FEATURE_DEBUG_DUMP_TIMEOUT is 0 or not set: "
      "every run ends at once"},
     check_warnings},
    {"a key given twice", "VANTOR_HOST=a\nDEVICE_MODEL=X1\nVANTOR_HOST=b\n",
     {"{f}:3: warning: VANTOR_HOST is set again: the first setting, on line 1, wins"}, check_warnings},
    {"values the agent replaces with a default",
     "VANTOR_HOST=x\nDEVICE_KEEPALIVE_INTERVAL=60\nDEVICE_DISCONNECT_TIMEOUT=0\nDEVICE_BLACK_LIST_SIZE=-5\n"
     "DEVICE_LOG_NUM_FILE=65536\nDEVICE_KEEPALIVE_INTERVAL=30\n",
     {"{f}:2: warning: DEVICE_KEEPALIVE_INTERVAL=\"60\" is outside 5..50: the agent uses 25",
      "{f}:3: warning: DEVICE_DISCONNECT_TIMEOUT=\"0\" reads as 0, below 1: the agent uses 70",
      "{f}:4: warning: DEVICE_BLACK_LIST_SIZE=\"-5\" reads as -5, below 1: the agent uses 10",
      "{f}:5: warning: DEVICE_LOG_NUM_FILE=\"65536\" reads as 0, below 1: the agent uses 4",
      "{f}:6: warning: DEVICE_KEEPALIVE_INTERVAL is set again: the first setting, on line 2, wins"},
     check_warnings},
    {"enabled feature without its URL path",
     "VANTOR_HOST=x\nFEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_DEBUG_DUMP_TIMEOUT=30\nFEATURE_DEBUG_DUMP_CMD=echo\n",
     {"{f}:2: error: FEATURE_DEBUG_DUMP_SUPPORT is on but FEATURE_DEBUG_DUMP_PATH is not set: its requests would go "
      "to https://VANTOR_HOST/"},
     check_errors},
    {"features that rerun as soon as they end",
     "VANTOR_HOST=x\nFEATURE_REPORT_SUPPORT=1\nFEATURE_REPORT_TIMEOUT=60\nFEATURE_REPORT_PATH=api/report\n"
     "FEATURE_REPORT_FETCH_CMD=echo\nFEATURE_GPSDATA_SUPPORT=1\nFEATURE_GPSDATA_TIMEOUT=10\n"
     "FEATURE_GPSDATA_FETCH_CMD=echo\nFEATURE_GPSDATA_AUTO_REPEAT=1\nFEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=0\n",
     {"{f}:2: warning: FEATURE_REPORT_SUPPORT is on but FEATURE_REPORT_AUTO_REPEAT is off: a new report starts as "
      "soon as the last one ends",
      "{f}:9: warning: FEATURE_GPSDATA_AUTO_REPEAT is on but FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL is not above 0: it "
      "runs again as soon as it ends"},
     check_warnings},
    {"negative spread (a retry's spread is signed)",
     "VANTOR_HOST=x\nFEATURE_CONFIG_AUTO_START_DELTA=-60\nFEATURE_CONFIG_AUTO_RETRY_DELTA=-5\n",
     {"{f}:2: warning: FEATURE_CONFIG_AUTO_START_DELTA=\"-60\" is negative: the agent takes it as a spread of "
      "4294967236 s (about 136 years)"},
     check_warnings},
    {"standard error as the log, with a size limit", "VANTOR_HOST=x\nDEVICE_LOG_PATH=/dev/stderr\n",
     {"{f}:2: warning: DEVICE_LOG_PATH is /dev/stderr with a size limit of 16384 bytes: the limit is for a log file; "
      "set DEVICE_LOG_FILE_SIZE=\"0\""},
     check_warnings},
    {"one trigger file for two features",
     "VANTOR_HOST=x\nFEATURE_CONFIG_TRIGGER_SUPPORT=1\nFEATURE_GPSDATA_TRIGGER_SUPPORT=2\n",
     {"{f}:3: warning: FEATURE_CONFIG_TRIGGER_FILE and FEATURE_GPSDATA_TRIGGER_FILE are both /tmp/syncConfig.now: "
      "when it appears, only configuration sync sees it"},
     check_warnings},
    {"configuration source longer than the request carries",
     "VANTOR_HOST=x\nFEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_TIMEOUT=60\nFEATURE_CONFIG_PATH=api/config\n"
     "FEATURE_CONFIG_SOURCE=/tmp/configuration-exported-by-the-router-for-the-server.cfg\n"
     "FEATURE_CONFIG_FETCH_CMD=true\nFEATURE_CONFIG_APPLY_FLASH_CMD=true\nFEATURE_CONFIG_APPLY_CMD=true\n",
     {"{f}:5: error: FEATURE_CONFIG_SOURCE is 60 characters long: the sync request takes only 59 and uploads "
      "/tmp/configuration-exported-by-the-router-for-the-server.cf"},
     check_errors},
    {"commands and paths in a staged root",
     "VANTOR_HOST=x\nFEATURE_REBOOT_SUPPORT=1\nFEATURE_REBOOT_ACTION_CMD=reboot\nFEATURE_FIRMWARE_SUPPORT=1\n"
     "FEATURE_FIRMWARE_TIMEOUT=600\nFEATURE_FIRMWARE_ACTION_CMD=sysupgrade -n /tmp/firmware.bin\n"
     "FEATURE_GPSDATA_SUPPORT=1\nFEATURE_GPSDATA_TIMEOUT=10\nFEATURE_GPSDATA_FETCH_CMD=ls -l\n"
     "FEATURE_REPORT_SOURCE=/etc/vtclient/report.txt\nFEATURE_EVENT_SPOOL=/tmp/events/\n",
     {"{f}:9: error: FEATURE_GPSDATA_FETCH_CMD does not start with an executable file in {r}: ls -l",
      "{f}:10: warning: FEATURE_REPORT_SOURCE=\"/etc/vtclient/report.txt\": there is no directory /etc/vtclient "
      "in {r}"},
     check_errors, true},
    {"black list size past its bound", "VANTOR_HOST=x\nDEVICE_BLACK_LIST_SIZE=2147483647\n",
     {"{f}:2: warning: DEVICE_BLACK_LIST_SIZE=\"2147483647\" is outside 1..1000: the agent uses 10"}, check_warnings},
    {"files the agent writes or uploads where other users can put theirs",
     "VANTOR_HOST=x\nDEVICE_LOG_PATH={d}/open/log\nDEVICE_INTERFACE_FILE={d}/sticky/mine\n"
     "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_TIMEOUT=60\nFEATURE_CONFIG_FETCH_CMD=true\n"
     "FEATURE_CONFIG_APPLY_FLASH_CMD=true\nFEATURE_CONFIG_APPLY_CMD=true\nFEATURE_CONFIG_SOURCE={d}/sticky/theirs\n"
     "FEATURE_REPORT_SOURCE={d}/open/report\nFEATURE_CONFIG_PATH=api/config\n",
     {"{f}:2: warning: DEVICE_LOG_PATH=\"{d}/open/log\" lies in {d}/open, which other users can write and no "
      "sticky bit protects: use a directory only root can write",
      "{f}:9: warning: FEATURE_CONFIG_SOURCE=\"{d}/sticky/theirs\" is held by uid 65534 in {d}/sticky, which "
      "other users can write: use a directory only root can write"},
     check_warnings, false, true},
};

// A device's root file system as a firmware build stages it: busybox with
// an absolute link to it (to be followed inside the root, not on this
// machine), and the upgrade tool.
std::string stage_root(const std::string& dir) {
  std::string root = dir + "/rootfs";
  std::filesystem::create_directories(root + "/bin");
  std::filesystem::create_directories(root + "/sbin");
  std::filesystem::create_directories(root + "/etc");
  for (const char* tool : {"/bin/busybox", "/sbin/sysupgrade"}) {
    std::ofstream(root + tool) << "#!/bin/sh\n";
    std::filesystem::permissions(root + tool, std::filesystem::perms::owner_all);
  }
  std::filesystem::create_symlink("/bin/busybox", root + "/sbin/reboot");
  return root;
}

// Directories for the cases: open/ (mode 0777), sticky/ (mode 1777) holding
// "theirs", a file of uid 65534.
void make_dirs(const std::string& d) {
  for (const char* sub : {"/open", "/sticky"}) std::filesystem::create_directories(d + sub);
  chmod((d + "/open").c_str(), 0777);
  chmod((d + "/sticky").c_str(), 01777);
  std::ofstream(d + "/sticky/theirs") << "A=1\n";
  // Fails without root; the case that needs the file is then skipped.
  EXPECT_TRUE(chown((d + "/sticky/theirs").c_str(), 65534, 65534) == 0 || geteuid() != 0);
}

std::string fill(const std::string& text, const std::string& f, const std::string& d) {
  return std::regex_replace(std::regex_replace(text, std::regex("\\{f\\}"), f), std::regex("\\{d\\}"), d);
}

TEST(CheckconfTest, FindingsAndExitStatusOfBrokenConfigurations) {
  std::string dir = testing::TempDir() + "checkconf_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::string root = stage_root(dir);
  make_dirs(dir);
  for (const broken_case& c : kCases) {
    if (c.needs_root && geteuid() != 0) continue;
    std::string path = dir + "/vtclient.cfg";
    std::filesystem::remove(path);
    if (c.config) std::ofstream(path) << fill(c.config, path, dir);
    std::vector<std::string> expected;
    for (const std::string& line : c.expected) {
      expected.push_back(std::regex_replace(fill(line, path, dir), std::regex("\\{r\\}"), root));
    }
    std::vector<std::string> findings;
    EXPECT_EQ(check_configuration(path, &findings, c.staged ? root : ""), c.status) << c.name;
    EXPECT_EQ(findings, expected) << c.name;
  }
  std::filesystem::remove_all(dir);
}

// The shipped sample names the server's host as the one thing left to set.
TEST(CheckconfTest, SampleConfigurationLacksOnlyTheHost) {
  const std::string sample = VT_SOURCE_DIR "/etc/vtclient.cfg";
  std::istringstream lines(read_file(sample));
  int number = 1;
  for (std::string line; std::getline(lines, line) && line.rfind("VANTOR_HOST=", 0) != 0;) ++number;
  std::vector<std::string> findings;
  EXPECT_EQ(check_configuration(sample, &findings), check_errors);
  EXPECT_EQ(findings, std::vector<std::string>{sample + ":" + std::to_string(number) +
                                               ": error: VANTOR_HOST is not set: the agent has no server to reach"});
}

std::set<std::string> table_keys() {
  std::set<std::string> keys;
  for (size_t i = 0; i < kKnownKeyCount; ++i) keys.insert(kKnownKeys[i].name);
  return keys;
}

std::string feature_prefix(const std::string& key) {
  static const char* const kPrefixes[] = {"REMOTE_ACTION", "DEBUG_DUMP", "CONFIG", "REPORT", "EVENT",
                                          "FIRMWARE",      "UPISPD",     "REBOOT", "GPSDATA"};
  for (const char* p : kPrefixes) {
    if (key.rfind(std::string("FEATURE_") + p + "_", 0) == 0) return p;
  }
  return "";
}

// The sample lists every key of the table once (active or commented out),
// the reference names each one (by name, or as FEATURE_<F>_<suffix> with
// <F> in its feature table) and no other, and every key the agent's sources
// spell out is in the table.
TEST(CheckconfTest, SampleReferenceAndSourcesNameExactlyTheKnownKeys) {
  const std::set<std::string> table = table_keys();
  const std::regex key_shape("(DEVICE|FEATURE|VANTOR|UDP)_[A-Z0-9_]*[A-Z0-9]");

  std::set<std::string> sample;
  std::istringstream lines(read_file(VT_SOURCE_DIR "/etc/vtclient.cfg"));
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '#') line.erase(0, 1);
    std::string key = line.substr(0, line.find('='));
    if (key.size() < line.size() && std::regex_match(key, key_shape)) {
      EXPECT_TRUE(sample.insert(key).second) << key << " is listed twice in etc/vtclient.cfg";
    }
  }
  EXPECT_EQ(sample, table) << "etc/vtclient.cfg and the key table differ";

  std::string reference = read_file(VT_SOURCE_DIR "/docs/configuration.md");
  reference = reference.substr(0, reference.find("## Keys that are not in this file"));
  std::set<std::string> named, patterns, features;
  const std::regex quoted_word("`([A-Za-z0-9_<>]+)`");
  for (std::sregex_iterator it(reference.begin(), reference.end(), quoted_word), end; it != end; ++it) {
    std::string word = (*it)[1];
    if (word.rfind("FEATURE_<F>_", 0) == 0) patterns.insert(word.substr(12));
    else if (std::regex_match(word, key_shape)) named.insert(word);
    else features.insert(word);
  }
  for (const std::string& key : named) EXPECT_TRUE(table.count(key)) << key << " in docs/configuration.md is unknown";
  std::set<std::string> used_patterns;
  for (const std::string& key : table) {
    std::string prefix = feature_prefix(key);
    std::string suffix = prefix.empty() ? "" : key.substr(9 + prefix.size());
    bool by_pattern = !prefix.empty() && patterns.count(suffix) && features.count(prefix);
    if (by_pattern) used_patterns.insert(suffix);
    EXPECT_TRUE(named.count(key) || by_pattern) << key << " is not described in docs/configuration.md";
  }
  EXPECT_EQ(used_patterns, patterns) << "docs/configuration.md describes FEATURE_<F>_ keys that are unknown";

  const std::regex literal("\"((DEVICE|FEATURE)_[A-Z0-9_]*[A-Z0-9]|VANTOR_HOST|UDP_REG_PATH)\"");
  for (const char* folder : {"platform", "https", "channel", "features", "daemon"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(VT_SOURCE_DIR "/") + folder)) {
      std::string text = read_file(entry.path().string());
      for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it) {
        EXPECT_TRUE(table.count((*it)[1])) << (*it)[1] << " read in " << entry.path() << " is not in the key table";
      }
    }
  }
}

}  // namespace
