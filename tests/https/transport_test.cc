// Running the fetch tool: the words of its command line, its status, and the
// private files it reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "https/https_files.h"
#include "https/https_transport.h"
#include "tests/support/https_test_server.h"

namespace {

using Args = std::vector<std::string>;

class TransportTest : public vt_test::SandboxTest {
 protected:
  https_request& request(const std::string& url) {
    memset(&r, 0, sizeof r);
    snprintf(r.url, sizeof r.url, "%s", url.c_str());
    return r;
  }
  https_request r;
  vt_test::FetchToolRecorder tool;
};

// The words with an interface and a header file are checked for every
// request kind in cloud_requests_test; empty ones are left out.
TEST_F(TransportTest, ShellCharactersStayInsideTheirWordAndTheStatusReturns) {
  std::string marker = sandbox.path("/pwned"), touch = "touch " + marker;
  std::string url = "https://h/a b\"c'd;" + touch + "$(" + touch + ")`" + touch + "`";
  std::string odd_file = sandbox.path("/body with blanks;") + touch;
  tool.answers({"EXIT 4"});
  EXPECT_EQ(vantor_https_submit(&request(url), odd_file.c_str(), "eth0 -x", nullptr, "/tmp/o"), 4 << 8);
  EXPECT_EQ(vantor_https_submit(&r, "/tmp/b", "", "", "/tmp/o"), 4 << 8);
  EXPECT_EQ(tool.args(1), (Args{"-q", "-T30", "-f" + odd_file, "-O/tmp/o", url, "-ieth0 -x"}));
  EXPECT_EQ(tool.args(2), (Args{"-q", "-T30", "-f/tmp/b", "-O/tmp/o", url}));
  EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a shell ran part of the command";
}

TEST_F(TransportTest, MissingOrHangingToolIsAFailure) {
  std::string old = getenv("PATH");
  EXPECT_EQ(vantor_https_submit(nullptr, "/tmp/b", nullptr, nullptr, "/tmp/o"), 1);
  setenv("PATH", sandbox.path("/etc").c_str(), 1);  // no wget_https there
  EXPECT_NE(vantor_https_submit(&request("https://h/x"), "/tmp/b", nullptr, nullptr, "/tmp/o"), 0);
  // A tool that ignores its own -T limit must not hold its caller for ever.
  sandbox.write_tool("/bin/wget_https", "exec sleep 1000\n");
  setenv("PATH", (sandbox.path("/bin") + ":" + old).c_str(), 1);
  auto start = std::chrono::steady_clock::now();
  int status = https_run_fetch_tool({"-q", "-T1", "-f/tmp/b", "-O/tmp/o", "https://h/x"});
  auto waited = std::chrono::steady_clock::now() - start;
  setenv("PATH", old.c_str(), 1);
  EXPECT_NE(status, 0);
  EXPECT_GE(waited, std::chrono::seconds(1));
  EXPECT_LT(waited, std::chrono::seconds(15));
}

TEST_F(TransportTest, PrivateFilesRefuseLinksAndNarrowTheMode) {
  std::string victim = sandbox.path("/victim"), link = sandbox.path("/planted"), stale = sandbox.path("/stale");
  vt_test::write_text_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_EQ(https_create_private_file(link.c_str()), nullptr);
  EXPECT_EQ(writeMulitpartHeader(link.c_str()), 0);
  EXPECT_EQ(vt_test::read_text_file(victim), "precious");
  // A file left behind with a wide mode is narrowed and truncated.
  vt_test::write_text_file(stale, "old content that is long");
  chmod(stale.c_str(), 0666);
  ASSERT_EQ(writeMulitpartHeader(stale.c_str()), 1);
  struct stat st;
  ASSERT_EQ(stat(stale.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(vt_test::read_text_file(stale), kMultipartHeaderLine);
}

}  // namespace
