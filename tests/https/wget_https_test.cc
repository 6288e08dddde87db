// The wget_https stand-in against the local HTTPS test server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/support/https_test_server.h"
#include "tests/support/sandbox.h"

extern char** environ;

namespace {

using vt_test::HttpsTestServer;
using vt_test::ScriptedResponse;

// Runs the stand-in with these arguments; its exit status, or -1.
int run_tool(const std::vector<std::string>& args) {
  std::string tool = vt_test::wget_https_stand_in_dir() + "/wget_https";
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class WgetHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = sandbox_.root();
    body_ = dir_ + "/body";
    out_ = dir_ + "/out";
    hdr_ = dir_ + "/hdr";
  }
  void TearDown() override { unsetenv("WGET_HTTPS_CA_FILE"); }

  bool exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

  vt_test::Sandbox sandbox_;
  std::string dir_, body_, out_, hdr_;
};

TEST_F(WgetHttpsTest, RefusesCertificatesItCannotTrust) {
  struct Case {
    const char* cert;
    bool trust_test_ca;
  };
  const Case cases[] = {
      {"self-signed", true},  // nobody issued it
      {"wrong-host", true},   // issued for another name
      {"good", false},        // issued by a CA the system store does not know
  };
  for (const auto& c : cases) {
    HttpsTestServer server(c.cert);
    ASSERT_TRUE(server.start()) << c.cert;
    if (c.trust_test_ca) {
      server.trust();
    } else {
      unsetenv("WGET_HTTPS_CA_FILE");
    }
    vt_test::write_text_file(body_, "a=b");
    EXPECT_NE(run_tool({"-q", "-T10", "-f" + body_, "-O" + out_, server.url("x")}), 0) << c.cert;
    EXPECT_FALSE(exists(out_)) << c.cert;
    EXPECT_TRUE(server.requests().empty()) << c.cert;
  }
}

TEST_F(WgetHttpsTest, WritesStatusLineThenBodyAndExitsZeroForAnyStatus) {
  HttpsTestServer server;
  ASSERT_TRUE(server.start());
  server.trust();
  struct Case {
    ScriptedResponse answer;
    std::string output;
  };
  const Case cases[] = {
      {{302, "Found", "line1\nline2\n"}, "302 Found\nline1\nline2\n"},
      {{302, "", "k"}, "302 Found\nk"},  // no phrase sent: the standard one
      {{200, "\x01", ""}, "200 OK\n"},
      {{200, "All Fine Here", "x"}, "200 All Fine Here\nx"},
      {{404, "\x01", "missing"}, "404 Not Found\nmissing"},
      {{500, "", ""}, "500 Internal Server Error\n"},
      {{301, "\x01", std::string("bin\0\r\n", 5)},
       std::string("301 Moved Permanently\nbin\0\r\n", 27)},
  };
  for (const auto& c : cases) {
    server.script({c.answer});
    vt_test::write_text_file(body_, "a=b");
    EXPECT_EQ(run_tool({"-q", "-T10", "-f" + body_, "-O" + out_, server.url("p")}), 0);
    EXPECT_EQ(vt_test::read_text_file(out_), c.output);
  }
}

TEST_F(WgetHttpsTest, ServerThatNeverAnswersEndsWithinTheTimeOut) {
  // A listener that never accepts: the connection opens, the TLS greeting
  // never comes back.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t len = sizeof(addr);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string silent = "https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x";

  // A server that completes TLS, reads the request and never replies.
  HttpsTestServer server;
  ASSERT_TRUE(server.start());
  server.trust();
  ScriptedResponse hang;
  hang.hang = true;
  server.script({}, hang);

  for (const std::string& url : {silent, server.url("hang")}) {
    vt_test::write_text_file(body_, "a=b");
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(run_tool({"-q", "-T2", "-f" + body_, "-O" + out_, url}), 0) << url;
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(4)) << url;
    EXPECT_FALSE(exists(out_)) << url;
  }
  close(listener);
}

TEST_F(WgetHttpsTest, HeaderFileLinesArrive) {
  HttpsTestServer server;
  ASSERT_TRUE(server.start());
  server.trust();
  vt_test::write_text_file(hdr_,
                           "Content-Type: multipart/form-data; boundary=-------------------------"
                           "7d38f60708\r\nX-Device-Note: two words\r\n");
  vt_test::write_text_file(body_, "payload");
  ASSERT_EQ(run_tool({"-q", "-T10", "-f" + body_, "-O" + out_, server.url("h"), "-e" + hdr_}), 0);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/h");
  EXPECT_EQ(requests[0].header("Content-Type"),
            "multipart/form-data; boundary=-------------------------7d38f60708");
  EXPECT_EQ(requests[0].header("X-Device-Note"), "two words");
  EXPECT_EQ(requests[0].body, "payload");
}

TEST_F(WgetHttpsTest, OneMebibyteBodyArrivesWhole) {
  HttpsTestServer server;
  ASSERT_TRUE(server.start());
  server.trust();
  std::string big(1 << 20, '\0');
  std::mt19937 rng(7);
  for (char& c : big) c = static_cast<char>(rng());
  vt_test::write_text_file(body_, big);
  ASSERT_EQ(run_tool({"-q", "-T30", "-f" + body_, "-O" + out_, server.url("big")}), 0);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body.size(), big.size());
  EXPECT_TRUE(requests[0].body == big);
}

TEST_F(WgetHttpsTest, InterfaceOptionBindsOrFails) {
  HttpsTestServer server;
  ASSERT_TRUE(server.start());
  server.trust();
  vt_test::write_text_file(body_, "a=b");
  EXPECT_EQ(run_tool({"-q", "-T10", "-f" + body_, "-O" + out_, server.url("i"), "-ilo"}), 0);
  EXPECT_NE(run_tool({"-q", "-T10", "-f" + body_, "-O" + out_, server.url("i"), "-inosuchif9"}), 0);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(WgetHttpsTest, OutputFileIsPrivateAndNeverWrittenThroughALink) {
  HttpsTestServer server;
  ASSERT_TRUE(server.start());
  server.trust();
  vt_test::write_text_file(body_, "a=b");
  ASSERT_EQ(run_tool({"-q", "-T10", "-f" + body_, "-O" + out_, server.url("m")}), 0);
  struct stat st;
  ASSERT_EQ(stat(out_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::string victim = dir_ + "/victim";
  vt_test::write_text_file(victim, "precious");
  std::string link = dir_ + "/link.dump";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_NE(run_tool({"-q", "-T10", "-f" + body_, "-O" + link, server.url("m")}), 0);
  EXPECT_EQ(vt_test::read_text_file(victim), "precious");
}

TEST_F(WgetHttpsTest, BadCommandLinesAndInputsFail) {
  const std::vector<std::vector<std::string>> cases = {
      {"-q", "-T10"},                                         // no URL
      {"-q", "-f" + dir_ + "/none", "https://127.0.0.1:1/"},  // unreadable body
      {"-q", "-T5", "http://127.0.0.1:1/"},                   // not HTTPS
  };
  for (const auto& args : cases) EXPECT_NE(run_tool(args), 0) << args.back();
}

}  // namespace
