// The scanners of the device identity, each line cut as their readers cut it:
// the firmware version line, the serial lines (serial file, "sn: ..." or the
// hardware information) and the packing of any serial. A version is 0 or three
// components of 0 to 99; a serial holds only [0-9A-Fa-f-], at most 30
// characters; packing never writes past its 25 bytes (a heap block ASan watches).
#include "fuzz/fuzz_support.h"
#include "platform/identity.h"

static void pack(const char* serial, bool dashed) {
  std::unique_ptr<char[]> packed(new char[25]);
  convert_serial_packed(packed.get(), serial);
  fuzz::check(!dashed || strlen(packed.get()) == 12, "the dashed serial did not pack to 12 characters");
}

void fuzz::one(const uint8_t* data, size_t size) {
  const std::string version_line = fuzz::first_line(data, size, 20);
  const int32_t version = scan_version_line(version_line.c_str());
  fuzz::check(version >= 0 && version <= 999999, "version out of range");
  fuzz::check(version == 0 || version_line.size() >= 5, "version from a line shorter than 5");
  const std::string serial_line = fuzz::first_line(data, size, 255).substr(0, 30);
  for (bool sn_prefix : {false, true}) {
    char serial[256];
    scan_serial_line(serial_line.c_str(), sn_prefix, serial);
    const size_t n = strlen(serial);
    fuzz::check(n <= 30, "serial longer than the cut line");
    fuzz::check(strspn(serial, "0123456789ABCDEFabcdef-") == n, "serial holds other characters");
    pack(serial, n == 14 && serial[4] == '-' && serial[9] == '-');
  }
  pack(std::string(reinterpret_cast<const char*>(data), size).c_str(), false);
}
