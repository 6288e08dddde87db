// Feeds arbitrary datagrams to the packet decoder, as the network may.
//
// Beyond "no crash, no out-of-bounds access", an accepted packet must yield a
// whole message of 16 to 511 bytes, and composing that message again must give
// a packet that decodes to the same bytes. Seeds decode under the serial and
// key below, so mutations reach decryption and the CRC check. As in the
// agent, decoding and composing each keep one cipher context across packets.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "channel/packet_decoder.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"

namespace {

const char kSerial[] = "SERIAL0001";
const char kKey[] = "0123456789abcdef";
udp_cipher_context_ptr decoder_context(udp_cipher_context_new());
udp_cipher_context_ptr composer_context(udp_cipher_context_new());

void check_round_trip(const uint8_t *message, uint32_t length) {
  if (length < VTRP_HEADER_LENGTH || length > VTRP_MAX_MESSAGE) abort();
  uint8_t wire[VTRP_MAX_CIPHERTEXT];
  std::memcpy(wire, message, length);
  if (vtrp_convert_message_to_network_order(wire, length) != 0) abort();

  uint8_t packet[VTRP_MAX_PACKET];
  const uint32_t packet_length =
      vtrp_compose_packet_into(packet, wire, length, kSerial, kKey, 2, composer_context.get());
  if (packet_length != vtrp_ciphertext_length(length) + VTRP_PACKET_HEADER_LENGTH) abort();
  uint8_t again[VTRP_MAX_CIPHERTEXT];
  uint32_t again_length = 0;
  if (vtrp_decode_packet(packet, packet_length, kSerial, kKey, again, &again_length,
                         decoder_context.get()) != packet_verdict::ok ||
      again_length != length || std::memcmp(again, message, length) != 0)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The datagram is copied so that any read past its end is caught.
  auto *datagram = static_cast<uint8_t *>(std::malloc(size ? size : 1));
  if (size) std::memcpy(datagram, data, size);
  uint8_t message[VTRP_MAX_CIPHERTEXT];
  uint32_t length = 0;
  if (vtrp_decode_packet(datagram, size, kSerial, kKey, message, &length, decoder_context.get()) ==
      packet_verdict::ok)
    check_round_trip(message, length);
  std::free(datagram);
  return 0;
}
