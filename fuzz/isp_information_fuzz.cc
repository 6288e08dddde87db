// Fuzzes the reading of the ISP extension information text: sections that
// start at "CUSTOM_MESSAGE_NAME", key="value" lines, CR LF or LF line ends.
//
// Checks: values are returned only together with success (the URL may
// still be missing when its key does not begin a line), and no returned
// value is longer than the section it came from (a section is cut to 999
// bytes). A value may hold a line feed: with mixed line ends it runs to the
// first CR LF, as the server's format says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "features/isp_extension.h"
#include "fuzz/fuzz_support.h"

namespace {

void check_value(const char* value) {
  if (value == nullptr) return;
  fuzz::check(strlen(value) < 1000, "value longer than a section");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  char* name = reinterpret_cast<char*>(1);
  char* url = reinterpret_cast<char*>(1);
  char* apply_now = reinterpret_cast<char*>(1);
  int found = get_isp_information(text.c_str(), &name, &url, &apply_now);
  if (found == 1) {
    check_value(name);
    check_value(url);
    check_value(apply_now);
    free(name);
    free(url);
    free(apply_now);
  } else {
    fuzz::check(found == 0, "unknown result");
    fuzz::check(name == reinterpret_cast<char*>(1) && url == name && apply_now == name,
                "values stored on failure");
  }

  // The two value readers on their own, with a key taken from the input.
  size_t cut = size > 0 ? data[0] % 24 : 0;
  std::string key = text.substr(0, cut < text.size() ? cut : text.size());
  free(getvalue(text.c_str(), key.c_str()));
  free(getquotedvalue(text.c_str(), key.c_str()));
  return 0;
}
