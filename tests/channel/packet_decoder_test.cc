// The decoder's verdicts. wire_interop.py checks the common damage against
// packets built independently; these are the cases it cannot build.
#include "channel/packet_decoder.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <vector>

#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"

namespace {

const char kSerial[] = "SERIAL0001";
const char kKey[] = "0123456789abcdef";
using bytes = std::vector<uint8_t>;

bytes wire_message(uint16_t flags, uint32_t seq, size_t payload_length) {
  agenda_item r{};
  r.flags = flags;
  r.seq = seq;
  r.id = seq - 1;
  r.category = 1;
  r.type = 4;
  for (size_t i = 0; i < payload_length; ++i) r.payload[i] = static_cast<uint8_t>(i * 7);
  r.payload_length = static_cast<uint32_t>(payload_length);
  bytes out(VTRP_MAX_MESSAGE);
  uint32_t length = 0;
  EXPECT_EQ(vtrp_compose_message(out.data(), &r, &length), 0);
  out.resize(length);
  return out;
}

bytes packet_of(const bytes &message) {
  uint32_t length = 0;
  vtrp_packet_ptr p(vtrp_compose_packet(message.data(), uint32_t(message.size()), kSerial, kKey, &length, 2));
  EXPECT_TRUE(p);
  return p ? bytes(p.get(), p.get() + length) : bytes();
}

// Encrypts already padded data as it is, for plaintexts the composer never makes.
bytes raw_packet(bytes padded) {
  bytes packet(50 + padded.size());
  std::memcpy(packet.data(), "vtup\0\2", 6);
  packet[6] = sizeof kSerial - 1;
  std::memcpy(packet.data() + 7, kSerial, sizeof kSerial - 1);
  packet[33] = static_cast<uint8_t>(padded.size() / 16);
  std::memset(packet.data() + 34, 'q', 16);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const uint8_t *>(kKey), packet.data() + 34);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, packet.data() + 50, &n, padded.data(), int(padded.size()));
  EVP_CIPHER_CTX_free(ctx);
  return packet;
}

packet_verdict decode(const bytes &packet, const char *key = kKey, bytes *message = nullptr) {
  uint8_t buffer[VTRP_MAX_CIPHERTEXT];
  uint32_t length = 0;
  const packet_verdict v = vtrp_decode_packet(packet.data(), packet.size(), kSerial, key, buffer, &length);
  if (message != nullptr && v == packet_verdict::ok) message->assign(buffer, buffer + length);
  return v;
}

}  // namespace

TEST(PacketDecoder, AcceptsComposedPacketsAndConvertedReplies) {
  for (size_t payload : {size_t(0), size_t(495)}) {
    bytes message;
    ASSERT_EQ(decode(packet_of(wire_message(0x0001, 41, payload)), kKey, &message), packet_verdict::ok);
    ASSERT_EQ(message.size(), 16 + payload);  // the header comes back in host order
    const vtrp_header h = vtrp_read_header(message.data());
    EXPECT_EQ(h.flags, 0x0001);
    EXPECT_EQ(h.seq, 41u);
    EXPECT_EQ(h.id, 40u);
    EXPECT_EQ(h.category, 1);
    EXPECT_EQ(h.type, 4);
    for (size_t i = 0; i < payload; ++i) ASSERT_EQ(message[16 + i], uint8_t(i * 7));
  }
  // A reply built in host order, as the receive thread builds it.
  uint8_t reply[16] = {};
  vtrp_write_header(reply, {0, VTRP_FLAGS_REPLY_OK, 9, 8, 1, 1});
  ASSERT_EQ(vtrp_convert_message_to_network_order(reply, sizeof reply), 0);
  bytes message;
  ASSERT_EQ(decode(packet_of(bytes(reply, reply + 16)), kKey, &message), packet_verdict::ok);
  const vtrp_header h = vtrp_read_header(message.data());
  EXPECT_EQ(h.flags, VTRP_FLAGS_REPLY_OK);
  EXPECT_EQ(h.seq, 9u);
  EXPECT_EQ(h.id, 8u);
}

TEST(PacketDecoder, NamesTheCheckThatFailed) {
  const bytes good = packet_of(wire_message(0x0101, 1, 0));
  const bytes big = packet_of(wire_message(0, 1, 495));
  auto with = [&](size_t at, uint8_t value) {
    bytes p = good;
    p[at] = value;
    return p;
  };
  const struct {
    const char *name;
    std::function<bytes()> make;
    packet_verdict verdict;
  } cases[] = {
      {"empty", [] { return bytes(); }, packet_verdict::too_short},
      {"kind 0x0102", [&] { return with(4, 1); }, packet_verdict::bad_kind},
      {"block short", [&] { return bytes(good.begin(), good.end() - 16); }, packet_verdict::bad_length},
      {"36 bytes", [&] { return bytes(good.begin(), good.begin() + 36); }, packet_verdict::bad_length},
      {"33 blocks", [&] { bytes p = big; p.resize(578); p[33] = 33; return p; }, packet_verdict::bad_length},
      {"name runs past serial", [&] { bytes p = with(6, 11); p[17] = 'X'; return p; }, packet_verdict::bad_name},
      {"name and serial end together", [&] { return with(6, 11); }, packet_verdict::ok},
      {"name prefix of serial", [&] { return with(6, 8); }, packet_verdict::ok},
      {"zero blocks", [&] { bytes p = good; p.resize(50); p[33] = 0; return p; }, packet_verdict::decrypt_failed},
      {"bad padding", [] { return raw_packet(bytes(32, 0)); }, packet_verdict::decrypt_failed},
      {"empty message", [] { return raw_packet(bytes(16, 16)); }, packet_verdict::short_message},
      {"one block message", [] { bytes m(15, 'm'); m.push_back(1); return raw_packet(m); }, packet_verdict::short_message},
  };
  for (const auto &c : cases) {
    const packet_verdict v = decode(c.make());
    EXPECT_EQ(v, c.verdict) << c.name << ": got " << packet_verdict_name(v);
  }
  EXPECT_EQ(decode(good, nullptr), packet_verdict::decrypt_failed);
}
