#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.h"
#include "tools/checkconf/check.h"
#include "tools/checkconf/known_keys.h"

namespace {

namespace fs = std::filesystem;

// A finding on a line of the file ("{f}"; "{r}" is the staged root, "{d}" the test's directory).
std::string W(int line, const std::string& text) { return "{f}:" + std::to_string(line) + ": warning: " + text; }
std::string E(int line, const std::string& text) {
  return "{f}" + (line ? ":" + std::to_string(line) : std::string()) + ": error: " + text;
}
const std::string kComment = " ends in a comment, which the agent reads as part of the value: only a line that starts "
                             "with \"#\" is a comment";
const std::string kOff = " is off: only exactly 1 switches it on", kExec = " does not start with an executable file";
const std::string kShared = ", which other users can write", kRoot = ": use a directory only root can write";
#define H "VANTOR_HOST=x\n"

// One row per kind of finding; a clean configuration first. The exit status
// follows the findings: errors, else warnings, else clean.
// config nullptr: no file at all; staged: checked against the staged root file system; needs_root: a file of
// another user is made.
struct broken_case { const char* config; std::vector<std::string> expected; bool staged = false, needs_root = false; };
const broken_case kCases[] = {
    {"VANTOR_HOST=\"vantor.example.com\"\nFEATURE_REBOOT_SUPPORT=\"0\"\nFEATURE_DEBUG_DUMP_SUPPORT=1\n"
     "FEATURE_DEBUG_DUMP_TIMEOUT=30\nFEATURE_DEBUG_DUMP_CMD=echo dump\nFEATURE_DEBUG_DUMP_PATH=api/dump\n", {}},
    {nullptr, {E(0, "cannot be read (No such file or directory): the agent logs \"Config file err\" and exits")}},
    {"#VANTOR_HOST=x\n\n", {E(0, "holds no setting: the agent logs \"Config file err\" and exits")}},
    {H "FEATURE_CONFIG_TIMOUT=60\nvantor_host=x\nCOLOUR=blue\n",
     {W(2, "unknown key \"FEATURE_CONFIG_TIMOUT\" (did you mean FEATURE_CONFIG_TIMEOUT?)"),
      W(3, "unknown key \"vantor_host\" (did you mean VANTOR_HOST?)"), W(4, "unknown key \"COLOUR\"")}},
    {"VANTOR_HOST = x\nDEVICE_MODEL= \"X1\"\nVANTOR_HOST=\n",
     {W(1, "blanks around \"=\": the agent reads the key \"VANTOR_HOST \" and the value \" x\"; write "
           "VANTOR_HOST=\"x\""),
      W(2, "blank after \"=\": the agent reads the value \" \"X1\"; write DEVICE_MODEL=\"X1\""),
      E(3, "VANTOR_HOST is not set: the agent has no server to reach")}},
    {H "DEVICE_MODEL=\"X1\" # the model\nFEATURE_DEBUG_DUMP_SUPPORT=1 # on\nFEATURE_GPSDATA_SUPPORT=1\n"
       "FEATURE_GPSDATA_TIMEOUT=10\nFEATURE_GPSDATA_FETCH_CMD=echo 1 0 0 0 # a fixed position\n"
       "FEATURE_GPSDATA_NOTIFY_CMD=\"true\" # no notice\n",
     {W(2, "DEVICE_MODEL=\"X1\" # the model\"" + kComment), W(3, "FEATURE_DEBUG_DUMP_SUPPORT=\"1 # on\"" + kComment),
      E(7, "FEATURE_GPSDATA_NOTIFY_CMD leaves a quote open, so /bin/sh cannot run it (a \"#\" after the value belongs "
           "to it): true\" # no notice")}},
    {H "FEATURE_CONFIG_TIMEOUT=60s\nFEATURE_REPORT_TIMEOUT=abc\nDEVICE_LOG_FILE_SIZE=99999999999\n"
       "FEATURE_CONFIG_AUTO_RETRY= 3\n",
     {W(2, "FEATURE_CONFIG_TIMEOUT=\"60s\" reads as 60"), W(3, "FEATURE_REPORT_TIMEOUT=\"abc\" reads as 0"),
      W(4, "DEVICE_LOG_FILE_SIZE=\"99999999999\" is out of range for a number")}},
    {H "FEATURE_CONFIG_SUPPORT=yes\nFEATURE_FIRMWARE_SUPPORT= 1\nFEATURE_UPISPD_SUPPORT=0\nFEATURE_REBOOT_SUPPORT=no\n",
     {W(2, "FEATURE_CONFIG_SUPPORT=\"yes\"" + kOff), W(3, "FEATURE_FIRMWARE_SUPPORT=\" 1\"" + kOff)}},
    {H "FEATURE_REBOOT_SUPPORT=1\nFEATURE_FIRMWARE_SUPPORT=1\nFEATURE_FIRMWARE_TIMEOUT=600\n"
       "FEATURE_FIRMWARE_ACTION_CMD=/nonexistent/upgrade --now\nFEATURE_GPSDATA_SUPPORT=1\nFEATURE_GPSDATA_TIMEOUT=10\n"
       "FEATURE_GPSDATA_FETCH_CMD=gps-reader-that-is-nowhere\nFEATURE_DEBUG_DUMP_CMD=/nonexistent/dump\n",
     {E(2, "FEATURE_REBOOT_SUPPORT is on but FEATURE_REBOOT_ACTION_CMD is not set"),
      E(5, "FEATURE_FIRMWARE_ACTION_CMD" + kExec + ": /nonexistent/upgrade --now"),
      E(8, "FEATURE_GPSDATA_FETCH_CMD" + kExec + ": gps-reader-that-is-nowhere")}},
    {H "FEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_DEBUG_DUMP_CMD=echo\nFEATURE_DEBUG_DUMP_PATH=api/dump\n",
     {W(2, "FEATURE_DEBUG_DUMP_SUPPORT is on but FEATURE_DEBUG_DUMP_TIMEOUT is 0 or not set: every run ends at once")}},
    {H "DEVICE_KEEPALIVE_INTERVAL=60\nDEVICE_DISCONNECT_TIMEOUT=0\nDEVICE_KEEPALIVE_INTERVAL=30\n",
     {W(2, "DEVICE_KEEPALIVE_INTERVAL=\"60\" is outside 5..50: the agent uses 25"),
      W(3, "DEVICE_DISCONNECT_TIMEOUT=\"0\" reads as 0, below 1: the agent uses 70"),
      W(4, "DEVICE_KEEPALIVE_INTERVAL is set again: the first setting, on line 2, wins")}},
    {H "FEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_DEBUG_DUMP_TIMEOUT=30\nFEATURE_DEBUG_DUMP_CMD=echo\n",
     {E(2, "FEATURE_DEBUG_DUMP_SUPPORT is on but FEATURE_DEBUG_DUMP_PATH is not set: its requests would go to "
           "https://VANTOR_HOST/")}},
    {H "FEATURE_REPORT_SUPPORT=1\nFEATURE_REPORT_TIMEOUT=60\nFEATURE_REPORT_PATH=api/report\n"
       "FEATURE_REPORT_FETCH_CMD=echo\nFEATURE_GPSDATA_SUPPORT=1\nFEATURE_GPSDATA_TIMEOUT=10\n"
       "FEATURE_GPSDATA_FETCH_CMD=echo\nFEATURE_GPSDATA_AUTO_REPEAT=1\nFEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=0\n",
     {W(2, "FEATURE_REPORT_SUPPORT is on but FEATURE_REPORT_AUTO_REPEAT is off: a new report starts as soon as the "
           "last one ends"),
      W(9, "FEATURE_GPSDATA_AUTO_REPEAT is on but FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL is not above 0: it runs again "
           "as soon as it ends")}},
    // A retry's spread is signed.
    {H "FEATURE_CONFIG_AUTO_START_DELTA=-60\nFEATURE_CONFIG_AUTO_RETRY_DELTA=-5\n",
     {W(2, "FEATURE_CONFIG_AUTO_START_DELTA=\"-60\" is negative: the agent takes it as a spread of 4294967236 s (about "
           "136 years)")}},
    {H "DEVICE_LOG_PATH=/dev/stderr\n", {W(2, "DEVICE_LOG_PATH is /dev/stderr with a size limit of 16384 bytes: the "
                                          "limit is for a log file; set DEVICE_LOG_FILE_SIZE=\"0\"")}},
    {H "FEATURE_CONFIG_TRIGGER_SUPPORT=1\nFEATURE_GPSDATA_TRIGGER_SUPPORT=2\n",
     {W(3, "FEATURE_CONFIG_TRIGGER_FILE and FEATURE_GPSDATA_TRIGGER_FILE are both /tmp/syncConfig.now: when it "
           "appears, only configuration sync sees it")}},
    {H "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_TIMEOUT=60\nFEATURE_CONFIG_PATH=api/config\n"
       "FEATURE_CONFIG_SOURCE=/tmp/configuration-exported-by-the-router-for-the-server.cfg\n"
       "FEATURE_CONFIG_FETCH_CMD=true\nFEATURE_CONFIG_APPLY_FLASH_CMD=true\nFEATURE_CONFIG_APPLY_CMD=true\n",
     {E(5, "FEATURE_CONFIG_SOURCE is 60 characters long: the sync request takes only 59 and uploads "
           "/tmp/configuration-exported-by-the-router-for-the-server.cf")}},
    {H "FEATURE_REBOOT_SUPPORT=1\nFEATURE_REBOOT_ACTION_CMD=reboot\nFEATURE_FIRMWARE_SUPPORT=1\n"
       "FEATURE_FIRMWARE_TIMEOUT=600\nFEATURE_FIRMWARE_ACTION_CMD=sysupgrade -n /tmp/firmware.bin\n"
       "FEATURE_GPSDATA_SUPPORT=1\nFEATURE_GPSDATA_TIMEOUT=10\nFEATURE_GPSDATA_FETCH_CMD=ls -l\n"
       "FEATURE_REPORT_SOURCE=/etc/vtclient/report.txt\nFEATURE_EVENT_SPOOL=/tmp/events/\n",
     {E(9, "FEATURE_GPSDATA_FETCH_CMD" + kExec + " in {r}: ls -l"),
      W(10, "FEATURE_REPORT_SOURCE=\"/etc/vtclient/report.txt\": there is no directory /etc/vtclient in {r}")},
     true},
    {H "DEVICE_LOG_PATH={d}/open/log\nDEVICE_INTERFACE_FILE={d}/sticky/mine\nFEATURE_CONFIG_SUPPORT=1\n"
       "FEATURE_CONFIG_TIMEOUT=60\nFEATURE_CONFIG_FETCH_CMD=true\nFEATURE_CONFIG_APPLY_FLASH_CMD=true\n"
       "FEATURE_CONFIG_APPLY_CMD=true\nFEATURE_CONFIG_SOURCE={d}/sticky/theirs\nFEATURE_REPORT_SOURCE={d}/open/report\n"
       "FEATURE_CONFIG_PATH=api/config\n",
     {W(2, "DEVICE_LOG_PATH=\"{d}/open/log\" lies in {d}/open" + kShared + " and no sticky bit protects" + kRoot),
      W(9, "FEATURE_CONFIG_SOURCE=\"{d}/sticky/theirs\" is held by uid 65534 in {d}/sticky" + kShared + kRoot)},
     false, true},
};
#undef H

TEST(CheckconfTest, FindingsAndExitStatusOfBrokenConfigurations) {
  vt_test::Sandbox sandbox;
  const std::string dir = sandbox.path("/d"), root = dir + "/rootfs", path = dir + "/vtclient.cfg";
  // A root file system as a firmware build stages it: busybox with an absolute
  // link to it (followed inside the root, not on this machine), and the upgrade tool.
  sandbox.write_tool("/d/rootfs/bin/busybox", ""), sandbox.write_tool("/d/rootfs/sbin/sysupgrade", "");
  fs::create_symlink("/bin/busybox", root + "/sbin/reboot");
  // open/ (mode 0777) and sticky/ (mode 1777) holding "theirs", a file of uid 65534.
  sandbox.write_file("/d/sticky/theirs", "A=1\n"), fs::create_directories(dir + "/open");
  chmod((dir + "/open").c_str(), 0777), chmod((dir + "/sticky").c_str(), 01777);
  EXPECT_TRUE(chown((dir + "/sticky/theirs").c_str(), 65534, 65534) == 0 || geteuid() != 0);
  const auto fill = [&](const std::string& text) {
    return std::regex_replace(std::regex_replace(std::regex_replace(text, std::regex("\\{f\\}"), path),
                                                 std::regex("\\{d\\}"), dir), std::regex("\\{r\\}"), root);
  };
  for (const broken_case& c : kCases) {
    if (c.needs_root && geteuid() != 0) continue;
    SCOPED_TRACE(c.config ? c.config : "no file");
    fs::remove(path);
    if (c.config) vt_test::write_text_file(path, fill(c.config));
    std::vector<std::string> expected, findings;
    for (const std::string& line : c.expected) expected.push_back(fill(line));
    bool errors = std::any_of(expected.begin(), expected.end(), [](auto& l) { return l.find(": error: ") != l.npos; });
    EXPECT_EQ(check_configuration(path, &findings, c.staged ? root : ""),
              errors ? check_errors : expected.empty() ? check_clean : check_warnings);
    EXPECT_EQ(findings, expected);
  }
  // The shipped sample names the server's host as the one thing left to set.
  std::vector<std::string> findings;
  EXPECT_EQ(check_configuration(VT_SOURCE_DIR "/etc/vtclient.cfg", &findings), check_errors);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].substr(findings[0].find(": error: ")), ": error: VANTOR_HOST is not set: the agent has no "
                                                                "server to reach");
}

// Every key the agent's sources read is one the checker knows: otherwise a
// correct setting would be reported as an unknown key.
TEST(CheckconfTest, EveryKeyTheAgentReadsIsKnown) {
  std::set<std::string> table;
  for (size_t i = 0; i < kKnownKeyCount; ++i) table.insert(kKnownKeys[i].name);
  const std::regex literal("\"((DEVICE|FEATURE)_[A-Z0-9_]*[A-Z0-9]|VANTOR_HOST|UDP_REG_PATH)\"");
  for (const char* folder : {"platform", "https", "channel", "features", "daemon"})
    for (const auto& entry : fs::recursive_directory_iterator(std::string(VT_SOURCE_DIR "/") + folder)) {
      if (!entry.is_regular_file()) continue;
      const std::string text = vt_test::read_text_file(entry.path());
      for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it)
        EXPECT_TRUE(table.count((*it)[1])) << (*it)[1] << " read in " << entry.path() << " is not in the key table";
    }
}

}  // namespace
