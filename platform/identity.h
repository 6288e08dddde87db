// The device's identity: model, variant, serial number and firmware version
// from the files and tools that the router's firmware provides, and its WAN
// links with the interface that carries each.
//
// Nothing here fails: a missing file or tool gives an empty text, the serial
// "0000-0000-0000", version 0 or one WAN link. Model, variant, serial and
// version are cached once found; until then every call reads the sources
// again. The returned texts live in process-wide storage for the life of the
// process: do not free them, and copy what you keep.
#pragma once

#include <cstdint>

// First word of the first line of "/etc/TRELL_model" (else "/etc/model"), at most 7 characters.
const char* get_model();
// The same from "/etc/TRELL_variant" (else "/etc/variant").
const char* get_variant();
// A serial of 8 to 25 characters of [0-9A-Fa-f-] from "/etc/serial.number",
// else the "sn:" line of "/usr/bin/getsn", else "/bin/gethwinfo -f 0 -s";
// "0000-0000-0000" when none gives one.
const char* get_serial();
// Writes the packed serial into dst (room for 25 bytes): "1234-5678-ABCD" becomes
// "12345678ABCD" NUL-padded; anything else is copied as a bounded 25-byte copy
// (no terminator when src has 25 characters or more).
void convert_serial_packed(char* dst, const char* src);
// major*10000 + minor*100 + patch from "/etc/software-release"; 0 when none is valid.
int32_t get_version_number();
// The version as "%d.%d.%d"; "0.0.0" without one.
const char* get_version_dotted();
// The first integer of "/etc/TRELL_wanno", else 1; read on every call.
int get_wancount();
// The interface carrying WAN link `wan` when its status file says it is
// connected ("TUN_VIRDEV" for GRE links, else "CONN_LOGDEV", at most 19
// characters), else "". Each call rewrites only that link's slot.
const char* get_connection_interface(unsigned int wan);

// The scanners behind get_version_number and get_serial, also used by the
// fuzz targets. scan_version_line: the version number of a software-release
// line ("5.4.9", "v8.0.3"), 0 when it is shorter than 5 characters or not a
// valid version. scan_serial_line: the serial characters at the start of a
// line (after "sn:" and blanks when sn_prefix), "" when there are none.
int32_t scan_version_line(const char* line);
void scan_serial_line(const char* line, bool sn_prefix, char (&serial)[256]);

// Forgets the cached model, variant, serial and version, so that the next
// calls read the sources again (tests; the agent itself never resets them).
void reset_identity_cache();
