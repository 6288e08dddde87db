// The answer parsers: status codes, bodies saved, output files removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "https/https_parsers.h"
#include "tests/support/sandbox.h"

namespace {

using vt_test::read_text_file;
using vt_test::write_text_file;

class ParsersTest : public vt_test::SandboxTest {
 protected:
  bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
  std::string output_ = sandbox.path("/out.dump"), result_ = sandbox.path("/result");
};

int response(const char* output, const char*, int* code) { return vantor_https_parse_response(output, code); }

TEST_F(ParsersTest, ConfigAndExtensionAnswers) {
  using Parser = int (*)(const char*, const char*, int*);
  const Parser config = vantor_https_parse_config, extension = vantor_https_parse_extension;
  // Long lines and binary bytes arrive whole.
  const std::string kept = std::string(5000, 'x') + "ENDOFFILE tail\n" + std::string("bin\0ary\n", 8);
  const struct {
    Parser parse;
    std::string answer;
    int result, code;
    std::string after;  // "old": the file is left alone
  } cases[] = {
      {response, "200 OK\nbody\n", 1, 200, "old"},
      {response, "200", 1, 200, "old"},
      {response, "302 Found\nx\n", 0, 302, "old"},
      {response, "Not a number\n", 0, 999, "old"},
      {response, "", 0, 999, "old"},
      {response, "000 zero\n", 0, 999, "old"},
      {config, "200 OK\nA=1\n", 1, 200, "old"},
      {config, "301 Moved Permanently\nA=1\nB=\"2\"\nENDOFFILE\ntrailer\n", 1, 301, "A=1\nB=\"2\"\n"},
      // Without its end marker the whole body is the configuration.
      {config, "302 Found\nA=1\r\nB=2", 1, 302, "A=1\r\nB=2"},
      {config, "302 Found\n", 1, 302, ""},
      {config, "301 Moved\n" + std::string(kConfigAnswerMax, 'y') + "\nENDOFFILE\n", 0, 301, "old"},
      {config, "302 Found\nENDOFFILE\n", 1, 302, ""},
      {config, "302 Found\nA=ENDOFFILE\nENDOFFILEX\nB=1\n", 1, 302, "A=ENDOFFILE\n"},
      {config, "301 Moved\n" + kept + "ENDOFFILE\n", 1, 301, kept},
      {config, "404 Not Found\nA=1\n", 0, 404, "old"},
      {extension, "200 OK\nignored\n", 1, 200, "old"},
      {extension, "302 Found\nline1\nENDOFFILE\nline3", 1, 302, "line1\nENDOFFILE\nline3"},
      {extension, "302 Found\n" + std::string(kExtensionTextMax + 9, 'z'), 1, 302, std::string(kExtensionTextMax, 'z')},
      {extension, "403 Forbidden\nx\n", 0, 403, "old"},
  };
  for (const auto& c : cases) {
    write_text_file(result_, "old");
    write_text_file(output_, c.answer);
    int code = 0;
    EXPECT_EQ(c.parse(output_.c_str(), result_.c_str(), &code), c.result) << c.answer;
    EXPECT_EQ(code, c.code) << c.answer;
    EXPECT_EQ(read_text_file(result_), c.after) << c.answer;
    EXPECT_FALSE(exists(output_)) << c.answer;
  }
}

TEST_F(ParsersTest, NothingToReadOrNowhereToWriteFails) {
  int code = 0;
  EXPECT_EQ(vantor_https_parse_config(output_.c_str(), result_.c_str(), &code), 0);  // no output file
  EXPECT_FALSE(exists(result_));
  EXPECT_EQ(code, 0);
  write_text_file(output_, "200 OK\n");
  EXPECT_EQ(vantor_https_parse_response(nullptr, &code) + vantor_https_parse_extension(output_.c_str(), nullptr, &code) +
                vantor_https_parse_config(output_.c_str(), nullptr, &code), 0);
  EXPECT_TRUE(exists(output_));
  EXPECT_EQ(vantor_https_parse_response(output_.c_str(), nullptr), 1);  // code may be NULL
  // A file that cannot be created beside, and a name that cannot be replaced:
  // neither may count as a configuration received.
  for (std::string bad : {sandbox.path("/no/such/dir/cfg"), sandbox.path("/tmp")}) {
    write_text_file(output_, "301 Moved\nA=1\nENDOFFILE\n");
    EXPECT_EQ(vantor_https_parse_config(output_.c_str(), bad.c_str(), &code), 0) << bad;
    EXPECT_EQ(code, 301);
    EXPECT_FALSE(exists(output_));
  }
}

}  // namespace
