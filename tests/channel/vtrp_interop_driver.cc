// Command-line face of the codec for wire_interop.py, so that a codec written
// apart from ours can check our packets and feed us its own.
//   compose SERIAL KEY FLAGS SEQ ID CATEGORY TYPE PAYLOAD  -> packet hex, or "null"
//   decode  SERIAL KEY PACKET -> the verdict; for "ok" also flags seq id category type payload
// Numbers are decimal, payloads and packets hex ("-" for none), KEY "-" for no key.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channel/packet_decoder.h"
#include "channel/vtrp_packet.h"

namespace {

std::vector<uint8_t> from_hex(const char *text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; text[0] != '-' && text[i] && text[i + 1]; i += 2)
    out.push_back(static_cast<uint8_t>(std::strtoul(std::string(text + i, 2).c_str(), nullptr, 16)));
  return out;
}

void print_hex(const uint8_t *data, size_t length) {
  if (length == 0) std::fputs("-", stdout);
  for (size_t i = 0; i < length; ++i) std::printf("%02x", data[i]);
  std::puts("");
}

const char *key_of(const char *text) { return std::strcmp(text, "-") == 0 ? nullptr : text; }
uint32_t number(const char *text) { return static_cast<uint32_t>(std::strtoul(text, nullptr, 10)); }

int compose(char **argv) {
  const std::vector<uint8_t> payload = from_hex(argv[7]);
  if (payload.size() > VTRP_MAX_PAYLOAD) return 2;
  agenda_item r{};
  r.flags = static_cast<uint16_t>(number(argv[2]));
  r.seq = number(argv[3]);
  r.id = number(argv[4]);
  r.category = static_cast<uint8_t>(number(argv[5]));
  r.type = static_cast<uint8_t>(number(argv[6]));
  if (!payload.empty()) std::memcpy(r.payload, payload.data(), payload.size());
  r.payload_length = static_cast<uint32_t>(payload.size());
  uint8_t message[VTRP_MAX_MESSAGE] = {};
  uint32_t length = 0, packet_length = 0;
  if (vtrp_compose_message(message, &r, &length) != 0) return 1;
  vtrp_packet_ptr packet(vtrp_compose_packet(message, length, argv[0], key_of(argv[1]), &packet_length, 2));
  packet ? print_hex(packet.get(), packet_length) : (void)std::puts("null");
  return 0;
}

int decode(char **argv) {
  const std::vector<uint8_t> packet = from_hex(argv[2]);
  uint8_t message[VTRP_MAX_CIPHERTEXT];
  uint32_t length = 0;
  vtrp_header h{};
  const packet_verdict verdict = vtrp_decode_packet(packet.data(), packet.size(), argv[0], key_of(argv[1]), message, &length, &h);
  if (verdict != packet_verdict::ok) return std::puts(packet_verdict_name(verdict)), 0;
  std::printf("ok %u %u %u %u %u ", h.flags, h.seq, h.id, h.category, h.type);
  print_hex(message + VTRP_HEADER_LENGTH, length - VTRP_HEADER_LENGTH);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "compose" && argc == 10) return compose(argv + 2);
  if (command == "decode" && argc == 5) return decode(argv + 2);
  std::fputs("usage: vtrp_interop_driver compose|decode ...\n", stderr);
  return 2;
}
