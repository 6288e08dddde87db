#include "platform/identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "tests/support/sandbox.h"

namespace {

class IdentityTest : public vt_test::SandboxTest {
 protected:
  void SetUp() override { reset_identity_cache(); }
  void TearDown() override { reset_identity_cache(); }

  // A fake tool that records each run (one line in /tmp/<name>.runs) and prints `output`.
  void fake_tool(const std::string& device_path, const std::string& name,
                 const std::string& output) {
    sandbox.write_tool(device_path, "echo run >> \"$VTCLIENT_ROOT/tmp/" + name +
                                        ".runs\"\nprintf '" + output + "'\n");
  }
  int runs(const std::string& name) const {
    std::string text = sandbox.read_file("/tmp/" + name + ".runs");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
};

TEST_F(IdentityTest, ModelAndVariantFirstWordOfAtMostSevenCharacters) {
  struct Case {
    const char* primary;   // content of /etc/TRELL_x, nullptr = absent
    const char* fallback;  // content of /etc/x, nullptr = absent
    const char* expected;
  } cases[] = {
      {"ABCDEFGHIJ\n", nullptr, "ABCDEFG"},
      {nullptr, "  X1\n", "X1"},
      {"RT200 rev2\n", "other\n", "RT200"},
      {nullptr, nullptr, ""},
      {"   \n", "X9\n", ""},
      {"\n", nullptr, ""},
  };
  for (const Case& c : cases) {
    for (const char* kind : {"model", "variant"}) {
      reset_identity_cache();
      std::string primary = std::string("/etc/TRELL_") + kind;
      std::string fallback = std::string("/etc/") + kind;
      sandbox.remove(primary);
      sandbox.remove(fallback);
      if (c.primary) sandbox.write_file(primary, c.primary);
      if (c.fallback) sandbox.write_file(fallback, c.fallback);
      const char* got = strcmp(kind, "model") == 0 ? get_model() : get_variant();
      EXPECT_STREQ(got, c.expected) << kind << " " << (c.primary ? c.primary : "-") << "|"
                                    << (c.fallback ? c.fallback : "-");
    }
  }
}

TEST_F(IdentityTest, SerialFromTheFileThenGetsnThenGethwinfo) {
  const char* none = "0000-0000-0000";
  const struct {
    const char* file;  // /etc/serial.number, nullptr = absent
    const char* getsn;
    const char* gethwinfo;
    const char* expected;
    int getsn_runs, gethwinfo_runs;
  } cases[] = {
      {"1234-5678-ABCD serial\n", "sn: 1111-2222-3333\\n", "", "1234-5678-ABCD", 0, 0},
      {"abcdef01\n", "", "", "abcdef01", 0, 0},  // 8 characters: the shortest valid
      {"0123456789abcdef012345678\n", "", "", "0123456789abcdef012345678", 0, 0},  // 25: longest
      {"0123456789abcdef0123456789\n", "", "", none, 1, 1},
      {"1234567\n", "", "", none, 1, 1},
      {"0123456789012345678901234567890123456789\n", "", "", none, 1, 1},  // 40, cut to 30
      {"G234-5678-ABCD\n", "", "", none, 1, 1},
      {" 1234-5678-ABCD\n", "", "", none, 1, 1},
      {"XYZ-not-a-serial\n", "model: RT200\\nsn: 1111-2222-3333\\nsn: 9999-9999-9999\\n",
       "2222-3333-4444\\n", "1111-2222-3333", 1, 0},
      {nullptr, "sn: 123\\n", "2222-3333-4444\\nsecond line\\n", "2222-3333-4444", 1, 1},
      {nullptr, "nothing here\\n", "\\n", none, 1, 1},
  };
  for (const auto& c : cases) {
    reset_identity_cache();
    sandbox.remove("/etc/serial.number");
    sandbox.remove("/tmp/getsn.runs");
    sandbox.remove("/tmp/gethwinfo.runs");
    if (c.file) sandbox.write_file("/etc/serial.number", c.file);
    fake_tool("/usr/bin/getsn", "getsn", c.getsn);
    fake_tool("/bin/gethwinfo", "gethwinfo", c.gethwinfo);
    EXPECT_STREQ(get_serial(), c.expected) << (c.file ? c.file : c.getsn);
    EXPECT_EQ(runs("getsn") * 10 + runs("gethwinfo"), c.getsn_runs * 10 + c.gethwinfo_runs)
        << (c.file ? c.file : c.getsn);
  }
  // No serial is not cached: the sources are asked again until one answers, then no more.
  EXPECT_STREQ(get_serial(), "0000-0000-0000");
  fake_tool("/bin/gethwinfo", "gethwinfo", "aaaa-bbbb-cccc\\n");
  EXPECT_STREQ(get_serial(), "aaaa-bbbb-cccc");
  EXPECT_STREQ(get_serial(), "aaaa-bbbb-cccc");
  EXPECT_EQ(runs("gethwinfo"), 3);
}

TEST(ConvertSerialPacked, PacksOnlyTheDashedFourFourFourForm) {
  struct Case {
    const char* src;
    std::string expected;  // all 25 bytes written
  } cases[] = {
      {"1234-5678-ABCD", std::string("12345678ABCD") + std::string(13, '\0')},
      {"1234-5678-ABC", std::string("1234-5678-ABC") + std::string(12, '\0')},
      {"12345678901234", std::string("12345678901234") + std::string(11, '\0')},
      {"1234-5678-ABCDE", std::string("1234-5678-ABCDE") + std::string(10, '\0')},
      {"0123456789abcdef0123456789xyz", "0123456789abcdef012345678"},
      {"", std::string(25, '\0')},
  };
  for (const Case& c : cases) {
    char dst[26];
    memset(dst, 'Z', sizeof dst);
    convert_serial_packed(dst, c.src);
    EXPECT_EQ(std::string(dst, 25), c.expected) << c.src;
    EXPECT_EQ(dst[25], 'Z') << c.src;  // never writes past the 25 bytes
  }
}

TEST_F(IdentityTest, VersionNumberAndDottedText) {
  struct Case {
    const char* line;  // nullptr = no file
    int number;
    const char* dotted;
  } cases[] = {
      {"5.4.9 build 1234\n", 50409, "5.4.9"},
      {"v8.0.3\n", 80003, "8.0.3"},
      {"99.99.99\n", 999999, "99.99.99"},
      {"1.2.3", 10203, "1.2.3"},
      {"10.100.1\n", 0, "0.0.0"},
      {"1.2\n", 0, "0.0.0"},
      {"1.2.x\n", 0, "0.0.0"},
      {"1.-2.3\n", 0, "0.0.0"},
      {"4294967301.1.1\n", 0, "0.0.0"},  // must not wrap around to 5.1.1
      {nullptr, 0, "0.0.0"},
  };
  for (const Case& c : cases) {
    reset_identity_cache();
    sandbox.remove("/etc/software-release");
    if (c.line) sandbox.write_file("/etc/software-release", c.line);
    EXPECT_EQ(get_version_number(), c.number) << (c.line ? c.line : "no file");
    EXPECT_STREQ(get_version_dotted(), c.dotted) << (c.line ? c.line : "no file");
  }
}

TEST_F(IdentityTest, ModelAndVersionAreRereadUntilFoundThenCached) {
  EXPECT_STREQ(get_model(), "");
  sandbox.write_file("/etc/model", "M1\n");
  EXPECT_STREQ(get_model(), "M1");
  sandbox.write_file("/etc/model", "M2\n");
  EXPECT_STREQ(get_model(), "M1");
  sandbox.write_file("/etc/software-release", "1.2\n");
  EXPECT_EQ(get_version_number(), 0);
  sandbox.write_file("/etc/software-release", "1.2.3\n");
  EXPECT_EQ(get_version_number(), 10203);
  sandbox.write_file("/etc/software-release", "4.5.6\n");
  EXPECT_EQ(get_version_number(), 10203);
  EXPECT_STREQ(get_version_dotted(), "1.2.3");
}

TEST_F(IdentityTest, WanCountAndConnectionInterfaceAreReadOnEveryCall) {
  EXPECT_EQ(get_wancount(), 1);
  for (const auto& [text, count] : {std::pair("3\n", 3), {"two\n", 1}, {"2 links\n", 2}}) {
    sandbox.write_file("/etc/TRELL_wanno", text);
    EXPECT_EQ(get_wancount(), count) << text;
  }
  struct Case {
    const char* status;  // nullptr = no status file
    const char* expected;
  } cases[] = {
      {"CONN_STATUS=connected\nCONN_METHOD=gre\nTUN_VIRDEV=gre1\nCONN_LOGDEV=eth0\n", "gre1"},
      {"CONN_STATUS=\"connected\"\nCONN_METHOD=dhcp\nTUN_VIRDEV=gre1\nCONN_LOGDEV=eth0\n", "eth0"},
      {"CONN_STATUS=connected\nTUN_VIRDEV=gre1\nCONN_LOGDEV=eth0\n", "eth0"},
      {"CONN_STATUS=connecting\nCONN_METHOD=gre\nTUN_VIRDEV=gre1\nCONN_LOGDEV=eth0\n", ""},
      {"CONN_STATUS=Connected\nCONN_LOGDEV=eth0\n", ""},
      {"CONN_STATUS=connected\nCONN_METHOD=gre\nCONN_LOGDEV=eth0\n", ""},
      {"CONN_STATUS=connected\nCONN_LOGDEV=abcdefghijklmnopqrstuvwxy\n", "abcdefghijklmnopqrs"},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    sandbox.write_file("/var/run/wanmon/wan1/status", "CONN_STATUS=connected\nCONN_LOGDEV=old\n");
    EXPECT_STREQ(get_connection_interface(1), "old");
    sandbox.remove("/var/run/wanmon/wan1/status");
    if (c.status) sandbox.write_file("/var/run/wanmon/wan1/status", c.status);
    EXPECT_STREQ(get_connection_interface(1), c.expected) << (c.status ? c.status : "no file");
  }
  // Each link keeps its own name; indexes above 99 have none.
  for (const char* wan : {"wan0", "wan99", "wan100"}) {
    sandbox.write_file("/var/run/wanmon/" + std::string(wan) + "/status",
                       "CONN_STATUS=connected\nCONN_LOGDEV=eth" + std::string(wan + 3) + "\n");
  }
  const char* wan0 = get_connection_interface(0);
  EXPECT_STREQ(get_connection_interface(99), "eth99");
  EXPECT_STREQ(get_connection_interface(100), "");
  EXPECT_STREQ(get_connection_interface(4000000000u), "");
  EXPECT_STREQ(wan0, "eth0");
}

}  // namespace
