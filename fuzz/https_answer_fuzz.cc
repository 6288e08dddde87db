// Fuzzes the three readers of the fetch tool's output file: the plain
// response, the extension information and the configuration answer. The
// first input byte picks the reader, the rest is the file.
//
// Checks: only 200, or 301/302 where the reader allows them, count as
// success (a status line such as " 200" is a failure whose code reads 200),
// the output file is always gone afterwards, and a result file is written
// only for a redirect.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "https/https_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const std::string output = fuzz::scratch_path("answer.dump");
  static const std::string result = fuzz::scratch_path("answer.result");
  const int reader = data[0] % 3;
  fuzz::write_file(output, data + 1, size - 1);
  unlink(result.c_str());

  int code = -1;
  int ok = 0;
  switch (reader) {
    case 0:
      ok = vantor_https_parse_response(output.c_str(), &code);
      fuzz::check(!ok || code == 200, "response: success with another code");
      break;
    case 1:
      ok = vantor_https_parse_extension(output.c_str(), result.c_str(), &code);
      fuzz::check(!ok || code == 200 || code == 302, "extension: success with another code");
      fuzz::check(access(result.c_str(), F_OK) != 0 || code == 302,
                  "extension: result file written without a redirect");
      break;
    default:
      ok = vantor_https_parse_config(output.c_str(), result.c_str(), &code);
      fuzz::check(!ok || code == 200 || code == 301 || code == 302,
                  "config: success with another code");
      fuzz::check(access(result.c_str(), F_OK) != 0 || code == 301 || code == 302,
                  "config: configuration written without a redirect");
      break;
  }
  fuzz::check(code != 0, "a readable answer gave code 0");
  fuzz::check(access(output.c_str(), F_OK) != 0, "the output file was left behind");
  return 0;
}
