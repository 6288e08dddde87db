// Arbitrary datagrams to the packet decoder, as the network may send them. An
// accepted packet yields a whole message of 16 to 511 bytes, and composing it
// again gives a packet that decodes to the same bytes. Seeds decode under the
// serial and key below, so mutations reach decryption and the CRC check; as in
// the agent, decoding and composing each keep one cipher context.
#include "channel/packet_decoder.h"
#include "channel/vtrp_packet.h"
#include "fuzz/fuzz_support.h"

static const char kSerial[] = "SERIAL0001", kKey[] = "0123456789abcdef";
static udp_cipher_context_ptr decoder(udp_cipher_context_new()), composer(udp_cipher_context_new());

void fuzz::one(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> datagram(new uint8_t[size + !size]);  // a copy: any read past its end is caught
  if (size) memcpy(datagram.get(), data, size);
  uint8_t message[VTRP_MAX_CIPHERTEXT], wire[VTRP_MAX_CIPHERTEXT], packet[VTRP_MAX_PACKET], again[VTRP_MAX_CIPHERTEXT];
  uint32_t length = 0, again_length = 0;
  vtrp_header header{};
  if (vtrp_decode_packet(datagram.get(), size, kSerial, kKey, message, &length, &header, decoder.get()) != packet_verdict::ok)
    return;
  fuzz::check(length >= VTRP_HEADER_LENGTH && length <= VTRP_MAX_MESSAGE, "message length out of bounds");
  fuzz::check(vtrp_encode_message(wire, header, message + VTRP_HEADER_LENGTH, length - VTRP_HEADER_LENGTH) == length,
              "encoded length");
  const uint32_t packet_length = vtrp_compose_packet_into(packet, wire, length, kSerial, kKey, 2, composer.get());
  fuzz::check(packet_length == vtrp_ciphertext_length(length) + VTRP_PACKET_HEADER_LENGTH, "composed length");
  const packet_verdict verdict = vtrp_decode_packet(packet, packet_length, kSerial, kKey, again, &again_length, nullptr, decoder.get());
  fuzz::check(verdict == packet_verdict::ok && again_length == length && memcmp(again, message, length) == 0 &&
                  memcmp(wire, message, length) == 0,
              "the message encoded again from its decoded header has other bytes");
}
