// Cost of the channel codec per packet against the cost of the cipher alone.
//
// Every packet costs one fresh cipher context, one key schedule and one
// buffer; the baseline is exactly one fresh-context AES-128-CBC operation on
// 16 bytes, so the ratio shows what the codec adds around the cipher.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>

#include "channel/packet_decoder.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"

namespace {

const char kSerial[] = "SERIAL0001";
const char kKey[] = "0123456789abcdef";

agenda_item keepalive() {
  agenda_item item{};
  std::memcpy(item.serial, kSerial, sizeof kSerial - 1);
  item.retry_interval = 10;
  item.flags = VTRP_FLAG_REPLY_WANTED;
  item.seq = item.id = 42;
  return item;
}

void BM_ComposeKeepalivePacket(benchmark::State &state) {
  const agenda_item item = keepalive();
  for (auto _ : state) {
    uint8_t message[VTRP_MAX_CIPHERTEXT];
    uint32_t length = 0;
    vtrp_compose_message(message, &item, &length);
    uint32_t packet_length = 0;
    vtrp_packet_ptr packet(vtrp_compose_packet(message, length, kSerial, kKey, &packet_length, 2));
    benchmark::DoNotOptimize(packet.get());
  }
}
BENCHMARK(BM_ComposeKeepalivePacket);

void BM_DecodeKeepalivePacket(benchmark::State &state) {
  const agenda_item item = keepalive();
  uint8_t message[VTRP_MAX_CIPHERTEXT];
  uint32_t length = 0;
  vtrp_compose_message(message, &item, &length);
  uint32_t packet_length = 0;
  vtrp_packet_ptr packet(vtrp_compose_packet(message, length, kSerial, kKey, &packet_length, 2));
  if (packet_length != 82) state.SkipWithError("keepalive packet is not 82 bytes");
  for (auto _ : state) {
    uint8_t decoded[VTRP_MAX_CIPHERTEXT];
    uint32_t decoded_length = 0;
    const packet_verdict v =
        vtrp_decode_packet(packet.get(), packet_length, kSerial, kKey, decoded, &decoded_length);
    if (v != packet_verdict::ok) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
}
BENCHMARK(BM_DecodeKeepalivePacket);

void BM_BaselineEvpAes128Cbc16Bytes(benchmark::State &state) {
  const uint8_t input[16] = {1, 2, 3};
  const uint8_t iv[16] = {'a', 'b', 'c'};
  for (auto _ : state) {
    uint8_t output[32];
    int n = 0, f = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const uint8_t *>(kKey), iv,
                      1);
    EVP_CipherUpdate(ctx, output, &n, input, sizeof input);
    EVP_CipherFinal_ex(ctx, output + n, &f);
    EVP_CIPHER_CTX_free(ctx);
    benchmark::DoNotOptimize(output);
  }
}
BENCHMARK(BM_BaselineEvpAes128Cbc16Bytes);

}  // namespace
