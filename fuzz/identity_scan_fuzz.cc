// Fuzzes the scanners of the device identity: the firmware version line of
// "/etc/software-release" and the serial lines of "/etc/serial.number",
// getsn ("sn: ...") and gethwinfo, each cut the way the readers cut them,
// and the packing of whatever serial comes out.
//
// Checks: a version number is 0 or has three components of 0 to 99; a
// serial holds only [0-9A-Fa-f-] and at most 30 characters (the line is cut
// there); packing never writes past its 25 bytes (ASan watches a heap block
// of exactly that size).
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/identity.h"

namespace {

// The first line of the input as fgets with a buffer of `size` reads it.
std::string first_line(const uint8_t* data, size_t size, size_t buffer_size) {
  std::string line;
  for (size_t i = 0; i < size && line.size() + 1 < buffer_size; ++i) {
    line.push_back(static_cast<char>(data[i]));
    if (data[i] == '\n') break;
  }
  return line.substr(0, strlen(line.c_str()));
}

void check_serial(const char (&serial)[256]) {
  size_t n = strlen(serial);
  fuzz::check(n <= 30, "serial longer than the cut line");
  fuzz::check(strspn(serial, "0123456789ABCDEFabcdef-") == n, "serial holds other characters");
  std::unique_ptr<char[]> packed(new char[25]);
  convert_serial_packed(packed.get(), serial);
  if (n == 14 && serial[4] == '-' && serial[9] == '-') {
    fuzz::check(strlen(packed.get()) == 12, "the dashed serial did not pack to 12 characters");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Version: fgets into 20 bytes.
  std::string version_line = first_line(data, size, 20);
  int32_t version = scan_version_line(version_line.c_str());
  fuzz::check(version >= 0 && version <= 999999, "version out of range");
  fuzz::check(version == 0 || version_line.size() >= 5, "version from a line shorter than 5");

  // Serial: fgets of 254 characters, cut after the 30th.
  std::string serial_line = first_line(data, size, 255).substr(0, 30);
  char serial[256];
  scan_serial_line(serial_line.c_str(), false, serial);
  check_serial(serial);
  scan_serial_line(serial_line.c_str(), true, serial);
  check_serial(serial);

  // Packing an arbitrary text, not only scanned serials.
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> packed(new char[25]);
  convert_serial_packed(packed.get(), raw.c_str());
  return 0;
}
