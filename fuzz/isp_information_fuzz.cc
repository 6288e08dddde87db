// The ISP extension information text: sections from "CUSTOM_MESSAGE_NAME",
// key="value" lines, CR LF or LF line ends. Values come only with success and
// none is longer than its section (cut to 999 bytes); then the two value
// readers with a key taken from the input.
#include "features/isp_extension.h"
#include "fuzz/fuzz_support.h"

void fuzz::one(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  char* unset = reinterpret_cast<char*>(1);
  char *values[3] = {unset, unset, unset};
  const int found = get_isp_information(text.c_str(), &values[0], &values[1], &values[2]);
  fuzz::check(found == 1 || (found == 0 && values[0] == unset && values[1] == unset && values[2] == unset),
              "unknown result, or values stored on failure");
  for (char* value : values)
    if (found == 1) {
      fuzz::check(value == nullptr || strlen(value) < 1000, "value longer than a section");
      free(value);
    }
  const std::string key = text.substr(0, size > 0 ? data[0] % 24 : 0);
  free(getvalue(text.c_str(), key.c_str()));
  free(getquotedvalue(text.c_str(), key.c_str()));
}
