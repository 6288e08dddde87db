#include "channel/packet_decoder.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "channel/crc.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"

namespace {

const char kSerial[] = "SERIAL0001";
const char kKey[] = "0123456789abcdef";
using bytes = std::vector<uint8_t>;

bytes wire_message(uint16_t flags, uint32_t seq, uint32_t id, uint8_t category, uint8_t type,
                   size_t payload_length) {
  agenda_item r{};
  r.flags = flags;
  r.seq = seq;
  r.id = id;
  r.category = category;
  r.type = type;
  for (size_t i = 0; i < payload_length; ++i) r.payload[i] = static_cast<uint8_t>(i * 7);
  r.payload_length = static_cast<uint32_t>(payload_length);
  bytes out(VTRP_MAX_MESSAGE);
  uint32_t length = 0;
  EXPECT_EQ(vtrp_compose_message(out.data(), &r, &length), 0);
  out.resize(length);
  return out;
}

bytes packet_of(const bytes &message, const char *identity = kSerial) {
  uint32_t length = 0;
  vtrp_packet_ptr p(
      vtrp_compose_packet(message.data(), uint32_t(message.size()), identity, kKey, &length, 2));
  EXPECT_TRUE(p);
  return p ? bytes(p.get(), p.get() + length) : bytes();
}

// Encrypts already padded data without adding padding, to make packets whose
// plaintext the composer would never produce.
bytes raw_packet(const bytes &padded_plaintext) {
  bytes packet(50 + padded_plaintext.size());
  std::memcpy(packet.data(), "vtup\0\2", 6);
  packet[6] = sizeof kSerial - 1;
  std::memcpy(packet.data() + 7, kSerial, sizeof kSerial - 1);
  packet[32] = static_cast<uint8_t>(padded_plaintext.size() / 16 >> 8);
  packet[33] = static_cast<uint8_t>(padded_plaintext.size() / 16);
  std::memset(packet.data() + 34, 'q', 16);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const uint8_t *>(kKey),
                     packet.data() + 34);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, packet.data() + 50, &n, padded_plaintext.data(),
                    int(padded_plaintext.size()));
  EVP_CIPHER_CTX_free(ctx);
  return packet;
}

bytes pkcs7(bytes data) {
  const size_t pad = 16 - data.size() % 16;
  data.insert(data.end(), pad, static_cast<uint8_t>(pad));
  return data;
}

packet_verdict decode(const bytes &packet, const char *key = kKey, bytes *message = nullptr) {
  uint8_t buffer[VTRP_MAX_CIPHERTEXT];
  uint32_t length = 0;
  const packet_verdict v =
      vtrp_decode_packet(packet.data(), packet.size(), kSerial, key, buffer, &length);
  if (message != nullptr && v == packet_verdict::ok) message->assign(buffer, buffer + length);
  return v;
}

}  // namespace

TEST(PacketDecoder, AcceptsComposedPacketsOfEverySize) {
  for (size_t payload : {size_t(0), size_t(4), size_t(13), size_t(100), size_t(495)}) {
    bytes message;
    ASSERT_EQ(decode(packet_of(wire_message(0x0001, 41, 40, 1, 4, payload)), kKey, &message),
              packet_verdict::ok)
        << payload;
    ASSERT_EQ(message.size(), 16 + payload);
    const vtrp_header h = vtrp_read_header(message.data());
    EXPECT_EQ(h.flags, 0x0001);
    EXPECT_EQ(h.seq, 41u);
    EXPECT_EQ(h.id, 40u);
    EXPECT_EQ(h.category, 1);
    EXPECT_EQ(h.type, 4);
    for (size_t i = 0; i < payload; ++i) ASSERT_EQ(message[16 + i], uint8_t(i * 7));
  }
}

TEST(PacketDecoder, AcceptsAHostOrderReplyAfterConversion) {
  uint8_t reply[16] = {};
  vtrp_write_header(reply, {0, VTRP_FLAGS_REPLY_OK, 9, 8, 1, 1});
  ASSERT_EQ(vtrp_convert_message_to_network_order(reply, sizeof reply), 0);
  bytes message;
  ASSERT_EQ(decode(packet_of(bytes(reply, reply + 16)), kKey, &message), packet_verdict::ok);
  const vtrp_header h = vtrp_read_header(message.data());
  EXPECT_EQ(h.flags, VTRP_FLAGS_REPLY_OK);
  EXPECT_EQ(h.seq, 9u);
  EXPECT_EQ(h.id, 8u);
  EXPECT_EQ(h.category, 1);
  EXPECT_EQ(h.type, 1);
}

TEST(PacketDecoder, NamesTheCheckThatFailed) {
  const bytes good = packet_of(wire_message(0x0101, 1, 1, 0, 0, 0));
  const bytes big = packet_of(wire_message(0, 1, 1, 1, 1, 495));
  bytes bad_crc = wire_message(0, 1, 1, 1, 1, 4);
  bad_crc[20 - 1] ^= 0x01;
  bytes bad_padding(32, 0x00);  // last byte 0 is never valid padding

  struct {
    const char *name;
    std::function<bytes()> make;
    packet_verdict verdict;
  } cases[] = {
      {"35 bytes", [&] { return bytes(good.begin(), good.begin() + 35); }, packet_verdict::too_short},
      {"empty", [] { return bytes(); }, packet_verdict::too_short},
      {"magic", [&] { bytes p = good; p[3] = 'x'; return p; }, packet_verdict::bad_magic},
      {"kind 1", [&] { bytes p = good; p[5] = 1; return p; }, packet_verdict::bad_kind},
      {"kind 0x0102", [&] { bytes p = good; p[4] = 1; return p; }, packet_verdict::bad_kind},
      {"one byte more", [&] { bytes p = good; p.push_back(0); return p; }, packet_verdict::bad_length},
      {"block short", [&] { return bytes(good.begin(), good.end() - 16); }, packet_verdict::bad_length},
      {"36 bytes", [&] { return bytes(good.begin(), good.begin() + 36); }, packet_verdict::bad_length},
      {"33 blocks", [&] { bytes p = big; p.resize(578); p[33] = 33; return p; }, packet_verdict::bad_length},
      {"name length 7", [&] { bytes p = good; p[6] = 7; return p; }, packet_verdict::bad_name},
      {"name length 26", [&] { bytes p = good; p[6] = 26; return p; }, packet_verdict::bad_name},
      {"other serial", [&] { bytes p = good; p[16] = '2'; return p; }, packet_verdict::bad_name},
      {"name runs past serial", [&] { bytes p = good; p[6] = 11; p[17] = 'X'; return p; }, packet_verdict::bad_name},
      {"name and serial end together", [&] { bytes p = good; p[6] = 11; return p; }, packet_verdict::ok},
      {"zero blocks", [&] { bytes p = good; p.resize(50); p[33] = 0; return p; }, packet_verdict::decrypt_failed},
      {"bad padding", [&] { return raw_packet(bad_padding); }, packet_verdict::decrypt_failed},
      {"one block message", [] { return raw_packet(pkcs7(bytes(15, 'm'))); }, packet_verdict::short_message},
      {"empty message", [] { return raw_packet(pkcs7(bytes())); }, packet_verdict::short_message},
      {"crc", [&] { return packet_of(bad_crc); }, packet_verdict::crc_mismatch},
      {"name prefix of serial", [&] { bytes p = good; p[6] = 8; return p; }, packet_verdict::ok},
      {"largest", [&] { return big; }, packet_verdict::ok},
  };
  for (const auto &c : cases) {
    const packet_verdict v = decode(c.make());
    EXPECT_EQ(v, c.verdict) << c.name << ": got " << packet_verdict_name(v);
  }
}

TEST(PacketDecoder, WithoutKeyOrWithAnotherKeyNothingDecodes) {
  const bytes good = packet_of(wire_message(0x0101, 1, 1, 0, 0, 0));
  EXPECT_EQ(decode(good, nullptr), packet_verdict::decrypt_failed);
  // A wrong key fails the padding check or, rarely, the CRC; never passes.
  const packet_verdict v = decode(good, "fedcba9876543210");
  EXPECT_TRUE(v == packet_verdict::decrypt_failed || v == packet_verdict::crc_mismatch)
      << packet_verdict_name(v);
}
