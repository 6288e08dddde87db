// The three readers of the fetch tool's output file (plain response, extension
// information, configuration answer; the first byte picks one). Only 200, or
// 301/302 where the reader allows them, count as success; the output file is
// always gone afterwards; a result file is written only for a redirect.
#include "fuzz/fuzz_support.h"
#include "https/https_parsers.h"

void fuzz::one(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const std::string output = fuzz::scratch_file("answer.dump", data + 1, size - 1);
  const std::string result = fuzz::scratch_file("answer.result");
  unlink(result.c_str());
  int code = -1, ok = 0;
  if (data[0] % 3 == 0) ok = vantor_https_parse_response(output.c_str(), &code);
  if (data[0] % 3 == 1) ok = vantor_https_parse_extension(output.c_str(), result.c_str(), &code);
  if (data[0] % 3 == 2) ok = vantor_https_parse_config(output.c_str(), result.c_str(), &code);
  const bool redirect = (code == 301 && data[0] % 3 == 2) || (code == 302 && data[0] % 3 != 0);
  fuzz::check(!ok || code == 200 || redirect, "success with another code");
  fuzz::check(access(result.c_str(), F_OK) != 0 || redirect, "result file written without a redirect");
  fuzz::check(code != 0, "a readable answer gave code 0");
  fuzz::check(access(output.c_str(), F_OK) != 0, "the output file was left behind");
}
