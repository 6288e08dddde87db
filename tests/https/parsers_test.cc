// The answer parsers: status codes, bodies saved, output files removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "https/https_files.h"
#include "https/https_parsers.h"

namespace {

class ParsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/https_parsers_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    output_ = dir_ + "/out.dump";
    result_ = dir_ + "/result";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string dir_, output_, result_;
};

struct ResponseCase {
  const char* answer;
  int result;
  int code;
};

TEST_F(ParsersTest, ResponseCodesFollowTheStatusLine) {
  const ResponseCase cases[] = {
      {"200 OK\nbody\n", 1, 200},
      {"200", 1, 200},
      {"404 Not Found\n", 0, 404},
      {"500 Internal Server Error\n", 0, 500},
      {"302 Found\nx\n", 0, 302},
      {"Not a number\n", 0, 999},
      {"\n", 0, 999},
      {"", 0, 999},
      {"000 zero\n", 0, 999},
  };
  for (const auto& c : cases) {
    write(output_, c.answer);
    int code = -7;
    EXPECT_EQ(vantor_https_parse_response(output_.c_str(), &code), c.result) << c.answer;
    EXPECT_EQ(code, c.code) << c.answer;
    EXPECT_FALSE(exists(output_)) << "output file must be removed: " << c.answer;
  }
}

TEST_F(ParsersTest, MissingOutputLeavesTheCodeAlone) {
  int code = 0;
  EXPECT_EQ(vantor_https_parse_response(output_.c_str(), &code), 0);
  EXPECT_EQ(code, 0);
  code = 0;
  EXPECT_EQ(vantor_https_parse_extension(output_.c_str(), result_.c_str(), &code), 0);
  EXPECT_EQ(code, 0);
  code = 0;
  EXPECT_EQ(vantor_https_parse_config(output_.c_str(), result_.c_str(), &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(exists(result_));
}

TEST_F(ParsersTest, NullPathsAreRefusedWithoutDeletingAnything) {
  write(output_, "200 OK\n");
  int code = 0;
  EXPECT_EQ(vantor_https_parse_response(nullptr, &code), 0);
  EXPECT_EQ(vantor_https_parse_extension(output_.c_str(), nullptr, &code), 0);
  EXPECT_EQ(vantor_https_parse_config(output_.c_str(), nullptr, &code), 0);
  EXPECT_TRUE(exists(output_));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(vantor_https_parse_response(output_.c_str(), nullptr), 1);  // code may be NULL
}

struct ConfigCase {
  const char* answer;
  int result;
  int code;
  const char* config_after;  // nullptr: the file keeps "old"
};

TEST_F(ParsersTest, ConfigAnswers) {
  const ConfigCase cases[] = {
      {"200 OK\nA=1\n", 1, 200, nullptr},
      {"301 Moved Permanently\nA=1\nB=\"2\"\nENDOFFILE\ntrailer\n", 1, 301, "A=1\nB=\"2\"\n"},
      {"302 Found\nA=1\r\nB=2", 1, 302, "A=1\r\nB=2"},  // no ENDOFFILE: whole body
      {"302 Found\nENDOFFILE\n", 1, 302, ""},
      {"302 Found\n", 1, 302, ""},
      {"302 Found\nA=ENDOFFILE\nENDOFFILEX\nB=1\n", 1, 302, "A=ENDOFFILE\n"},
      {"404 Not Found\nA=1\n", 0, 404, nullptr},
      {"garbage\n", 0, 999, nullptr},
      {"", 0, 999, nullptr},
  };
  for (const auto& c : cases) {
    write(result_, "old");
    write(output_, c.answer);
    int code = 0;
    EXPECT_EQ(vantor_https_parse_config(output_.c_str(), result_.c_str(), &code), c.result)
        << c.answer;
    EXPECT_EQ(code, c.code) << c.answer;
    EXPECT_EQ(read(result_), c.config_after ? c.config_after : "old") << c.answer;
    EXPECT_FALSE(exists(output_));
  }
}

TEST_F(ParsersTest, ConfigLongLinesAndBinaryBytesArriveWhole) {
  std::string long_line(5000, 'x');
  long_line += "ENDOFFILE tail\n";  // not at the start of a line: copied
  std::string body = long_line + std::string("bin\0ary\n", 8) + "ENDOFFILE\n";
  write(output_, "301 Moved\n" + body);
  int code = 0;
  EXPECT_EQ(vantor_https_parse_config(output_.c_str(), result_.c_str(), &code), 1);
  EXPECT_EQ(read(result_), long_line + std::string("bin\0ary\n", 8));
}

TEST_F(ParsersTest, ConfigThatCannotBeWrittenWholeFailsWithTheCode) {
  // A file that cannot be created, and one whose writes fail (a full disk):
  // neither may count as a configuration received.
  for (std::string bad : {dir_ + "/no/such/dir/cfg", std::string("/dev/full")}) {
    write(output_, "301 Moved\nA=1\n");
    int code = 0;
    EXPECT_EQ(vantor_https_parse_config(output_.c_str(), bad.c_str(), &code), 0) << bad;
    EXPECT_EQ(code, 301);
    EXPECT_FALSE(exists(output_));
  }
}

struct ExtensionCase {
  const char* answer;
  int result;
  int code;
  const char* result_after;
};

TEST_F(ParsersTest, ExtensionAnswers) {
  const ExtensionCase cases[] = {
      {"200 OK\nignored\n", 1, 200, nullptr},
      {"302 Found\nline1\nENDOFFILE\nline3", 1, 302, "line1\nENDOFFILE\nline3"},
      {"302 Found\n", 1, 302, ""},
      {"403 Forbidden\nx\n", 0, 403, nullptr},
      {"", 0, 999, nullptr},
  };
  for (const auto& c : cases) {
    write(result_, "old");
    write(output_, c.answer);
    int code = 0;
    EXPECT_EQ(vantor_https_parse_extension(output_.c_str(), result_.c_str(), &code), c.result)
        << c.answer;
    EXPECT_EQ(code, c.code) << c.answer;
    EXPECT_EQ(read(result_), c.result_after ? c.result_after : "old") << c.answer;
    EXPECT_FALSE(exists(output_));
  }
}

TEST_F(ParsersTest, ReadFileExReportsSizeAndTerminates) {
  size_t size = 99;
  write(result_, "");
  char* empty = readFileEx(result_.c_str(), &size);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(empty[0], '\0');
  free(empty);

  std::string bytes("a\0b\r\n", 5);
  write(result_, bytes);
  char* buf = readFileEx(result_.c_str(), &size);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(std::string(buf, size), bytes);
  EXPECT_EQ(buf[size], '\0');
  free(buf);

  char* plain = readfile(result_.c_str());
  ASSERT_NE(plain, nullptr);
  free(plain);

  EXPECT_EQ(readFileEx((dir_ + "/missing").c_str(), &size), nullptr);
  EXPECT_EQ(readfile(dir_.c_str()), nullptr);  // a directory has no content to read
}

}  // namespace
