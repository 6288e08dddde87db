// The wget_https stand-in against the local HTTPS test server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "https/https_transport.h"
#include "tests/support/https_test_server.h"

namespace {

class WgetHttpsTest : public vt_test::HttpsExchangeTest {
 protected:
  void SetUp() override {
    HttpsExchangeTest::SetUp();
    vt_test::write_text_file(body, "a=b");
  }

  // Runs the stand-in (through the recorder) with -q -T<t> -f<body> -O<out> url
  // and the extra words; its wait status.
  int run(const std::string& url, std::vector<std::string> extra = {}, const char* t = "-T10") {
    std::vector<std::string> words = {"-q", t, "-f" + body, "-O" + out, url};
    words.insert(words.end(), extra.begin(), extra.end());
    return https_run_fetch_tool(words);
  }

  std::string body = sandbox.path("/body"), out = sandbox.path("/out");
};

TEST_F(WgetHttpsTest, RefusesCertificatesItCannotTrust) {
  vt_test::HttpsTestServer wrong_host("wrong-host");
  ASSERT_TRUE(wrong_host.start());
  wrong_host.trust();  // its CA is trusted, but it names another host
  EXPECT_NE(run(wrong_host.url("x")), 0);
  unsetenv("WGET_HTTPS_CA_FILE");  // the test CA is unknown to the system store
  EXPECT_NE(run(server.url("x")), 0);
  EXPECT_EQ(access(out.c_str(), F_OK), -1);
  EXPECT_TRUE(wrong_host.requests().empty() && server.requests().empty());
}

TEST_F(WgetHttpsTest, RequestAndAnswerPassWholeAndAnyStatusExitsZero) {
  std::string hdr = sandbox.path("/hdr"), bytes("a\0b\r\n", 5);
  vt_test::write_text_file(hdr, "Content-Type: multipart/form-data; boundary=--7d38f60708\r\nX-Note: two words\r\n");
  vt_test::write_text_file(body, bytes);
  server.script({"302\n" + bytes});  // no phrase sent: the standard one is written
  EXPECT_EQ(run(server.url("h"), {"-e" + hdr}), 0);
  EXPECT_EQ(vt_test::read_text_file(out), "302 Found\n" + bytes);
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method + " " + requests[0].path, "POST /h");
  EXPECT_NE(requests[0].headers.find("boundary=--7d38f60708\r\nX-Note: two words\r\n"), std::string::npos);
  EXPECT_TRUE(requests[0].body == bytes);
}

TEST_F(WgetHttpsTest, ServerThatNeverAnswersEndsWithinTheTimeOut) {
#ifdef __SANITIZE_THREAD__
  // Built with ThreadSanitizer, the stand-in's libcurl now and then polls past
  // its time-out without end; the normal and ASan builds check the time-out.
  GTEST_SKIP() << "libcurl time-outs are unreliable under ThreadSanitizer";
#endif
  // A listener that never accepts (the TLS greeting never comes back), and a
  // server that completes TLS, reads the request and never replies.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  server.script({}, "hang");
  for (const std::string& url :
       {"https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x", server.url("hang")}) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(run(url, {}, "-T1"), 0) << url;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << url;
    EXPECT_EQ(access(out.c_str(), F_OK), -1) << url;
  }
  close(listener);
}

TEST_F(WgetHttpsTest, PlantedLinksAndBadCommandLinesFail) {
  // The output is never written through a planted link.
  std::string victim = sandbox.path("/victim"), link = sandbox.path("/link.dump");
  vt_test::write_text_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  out = link;
  EXPECT_NE(run(server.url("m")), 0);
  EXPECT_EQ(vt_test::read_text_file(victim), "precious");

  EXPECT_NE(run("http://" + server.host() + "/"), 0);  // not HTTPS
  body = sandbox.path("/none");
  EXPECT_NE(run(server.url("u")), 0);  // unreadable body
}

}  // namespace
