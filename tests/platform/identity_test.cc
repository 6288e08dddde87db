#include "platform/identity.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/sandbox.h"

namespace {

class IdentityTest : public vt_test::SandboxTest {
 protected:
  // A fresh cache and these device files (null: the file is absent).
  void device(std::initializer_list<std::pair<std::string, const char*>> files) {
    reset_identity_cache();
    for (const auto& [path, text] : files) text ? sandbox.write_file(path, text) : sandbox.remove(path);
  }
  // A tool that prints output and counts its runs in /tmp/runs.<name>, one byte a run.
  void tool(const std::string& path, const std::string& output) {
    std::string name = path.substr(path.rfind('/') + 1);
    sandbox.write_tool(path, "printf x >> \"$VTCLIENT_ROOT/tmp/runs." + name + "\"\nprintf '" + output + "'\n");
    sandbox.remove("/tmp/runs." + name);
  }
  int runs(const std::string& name) const { return static_cast<int>(sandbox.read_file("/tmp/runs." + name).size()); }
};

TEST_F(IdentityTest, ModelAndVariantFirstWordOfAtMostSevenCharacters) {
  // /etc/TRELL_<kind>, /etc/<kind> (null: absent), the name read.
  const struct { const char *primary, *fallback, *expected; } cases[] = {
      {"ABCDEFGHIJ\n", nullptr, "ABCDEFG"}, {nullptr, "  X1\n", "X1"}, {"RT200 rev2\n", "other\n", "RT200"},
      {nullptr, nullptr, ""},              {"   \n", "X9\n", ""},
  };
  for (const auto& c : cases)
    for (std::string kind : {"model", "variant"}) {
      device({{"/etc/TRELL_" + kind, c.primary}, {"/etc/" + kind, c.fallback}});
      EXPECT_STREQ(kind == "model" ? get_model() : get_variant(), c.expected) << kind << (c.primary ? c.primary : "-");
    }
}

TEST_F(IdentityTest, SerialFromTheFileThenGetsnThenGethwinfo) {
  const char* none = "0000-0000-0000";
  // /etc/serial.number (null: absent), what getsn and gethwinfo print, the serial, how often each tool ran.
  const struct { const char *file, *getsn, *gethwinfo, *expected; int getsn_runs, gethwinfo_runs; } cases[] = {
      {"1234-5678-ABCD serial\n", "sn: 1111-2222-3333\\n", "", "1234-5678-ABCD", 0, 0},
      {"abcdef01\n", "", "", "abcdef01", 0, 0},  // 8 characters: the shortest valid
      {"0123456789abcdef012345678\n", "", "", "0123456789abcdef012345678", 0, 0},  // 25: longest
      {"0123456789abcdef0123456789\n", "", "", none, 1, 1}, {"1234567\n", "", "", none, 1, 1},
      {"G234-5678-ABCD\n", "", "", none, 1, 1},             {" 1234-5678-ABCD\n", "", "", none, 1, 1},
      {"XYZ-not-a-serial\n", "model: RT200\\nsn: 1111-2222-3333\\nsn: 9999-9999-9999\\n", "2222-3333-4444\\n",
       "1111-2222-3333", 1, 0},
      {nullptr, "sn: 123\\n", "2222-3333-4444\\nsecond line\\n", "2222-3333-4444", 1, 1},
      {nullptr, "nothing here\\n", "\\n", none, 1, 1},
  };
  for (const auto& c : cases) {
    device({{"/etc/serial.number", c.file}});
    tool("/usr/bin/getsn", c.getsn);
    tool("/bin/gethwinfo", c.gethwinfo);
    SCOPED_TRACE(c.file ? c.file : c.getsn);
    EXPECT_STREQ(get_serial(), c.expected);
    EXPECT_EQ(runs("getsn") * 10 + runs("gethwinfo"), c.getsn_runs * 10 + c.gethwinfo_runs);
  }
  // No serial is not cached: the sources are asked again until one answers, then no more.
  EXPECT_STREQ(get_serial(), none);
  tool("/bin/gethwinfo", "aaaa-bbbb-cccc\\n");
  for (int i = 0; i < 2; ++i) EXPECT_STREQ(get_serial(), "aaaa-bbbb-cccc");
  EXPECT_EQ(runs("gethwinfo"), 1);
  // The dashed 4-4-4 form packs to 12 characters; anything else is a bounded copy.
  for (const auto& [src, packed] : std::initializer_list<std::pair<const char*, std::string>>{
           {"1234-5678-ABCD", "12345678ABCD" + std::string(13, '\0')},
           {"1234-5678-ABCDE", "1234-5678-ABCDE" + std::string(10, '\0')},
           {"0123456789abcdef0123456789xyz", "0123456789abcdef012345678"}}) {
    char dst[26];
    memset(dst, 'Z', sizeof dst), convert_serial_packed(dst, src);
    EXPECT_EQ(std::string(dst, 26), packed + "Z") << src << ": never past the 25 bytes";
  }
}

TEST_F(IdentityTest, VersionNumberAndDottedTextAreCachedOnceFound) {
  const struct { const char* line; int number; const char* dotted; } cases[] = {  // line null: no file
      {"5.4.9 build 1234\n", 50409, "5.4.9"}, {"v8.0.3\n", 80003, "8.0.3"}, {"99.99.99\n", 999999, "99.99.99"},
      {"1.2.3", 10203, "1.2.3"},             {"10.100.1\n", 0, "0.0.0"},  {"1.2\n", 0, "0.0.0"},
      {"1.-2.3\n", 0, "0.0.0"},              {"4294967301.1.1\n", 0, "0.0.0"},  // must not wrap to 5.1.1
      {nullptr, 0, "0.0.0"},
  };
  for (const auto& c : cases) {
    device({{"/etc/software-release", c.line}});
    EXPECT_EQ(std::to_string(get_version_number()) + " " + get_version_dotted(),
              std::to_string(c.number) + " " + c.dotted) << (c.line ? c.line : "no file");
  }
  // Read again while none was found, then kept.
  sandbox.write_file("/etc/software-release", "1.2.3\n");
  EXPECT_EQ(std::to_string(get_version_number()) + " " + get_model(), "10203 ");
  sandbox.write_file("/etc/software-release", "4.5.6\n"), sandbox.write_file("/etc/model", "M2\n");
  EXPECT_EQ(std::to_string(get_version_number()) + " " + get_model(), "10203 M2");
  sandbox.write_file("/etc/model", "M3\n");
  EXPECT_STREQ(get_model(), "M2");
}

TEST_F(IdentityTest, WanCountAndConnectionInterfaceAreReadOnEveryCall) {
  EXPECT_EQ(get_wancount(), 1);
  for (const auto& [text, count] : {std::pair("3\n", 3), {"two\n", 1}, {"2 links\n", 2}}) {
    sandbox.write_file("/etc/TRELL_wanno", text);
    EXPECT_EQ(get_wancount(), count) << text;
  }
  const std::pair<const char*, const char*> cases[] = {  // status file (null: none), interface
      {"CONN_STATUS=connected\nCONN_METHOD=gre\nTUN_VIRDEV=gre1\nCONN_LOGDEV=eth0\n", "gre1"},
      {"CONN_STATUS=\"connected\"\nCONN_METHOD=dhcp\nTUN_VIRDEV=gre1\nCONN_LOGDEV=eth0\n", "eth0"},
      {"CONN_STATUS=connecting\nCONN_METHOD=gre\nTUN_VIRDEV=gre1\nCONN_LOGDEV=eth0\n", ""},
      {"CONN_STATUS=Connected\nCONN_LOGDEV=eth0\n", ""},
      {"CONN_STATUS=connected\nCONN_METHOD=gre\nCONN_LOGDEV=eth0\n", ""},
      {"CONN_STATUS=connected\nCONN_LOGDEV=abcdefghijklmnopqrstuvwxy\n", "abcdefghijklmnopqrs"},
      {nullptr, ""},
  };
  for (const auto& [status, expected] : cases) {
    sandbox.write_file("/var/run/wanmon/wan1/status", "CONN_STATUS=connected\nCONN_LOGDEV=old\n");
    EXPECT_STREQ(get_connection_interface(1), "old");
    device({{"/var/run/wanmon/wan1/status", status}});
    EXPECT_STREQ(get_connection_interface(1), expected) << (status ? status : "no file");
  }
  // Each link keeps its own name; indexes above 99 have none.
  for (std::string wan : {"0", "99", "100"})
    sandbox.write_file("/var/run/wanmon/wan" + wan + "/status", "CONN_STATUS=connected\nCONN_LOGDEV=eth" + wan + "\n");
  const char* wan0 = get_connection_interface(0);
  EXPECT_STREQ(get_connection_interface(99), "eth99");
  EXPECT_STREQ(get_connection_interface(100), "");
  EXPECT_STREQ(wan0, "eth0");
}

}  // namespace
