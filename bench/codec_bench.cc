// Cost of the channel codec per keepalive packet against the bare cipher of the
// backend the agent was built with (OpenSSL's EVP or mbedTLS). The floors
// (BM_Baseline_*) are one AES-128-CBC call of the backend's own interface on a
// context kept with its key, over the same 16-byte message (32 with padding).
#include <benchmark/benchmark.h>

#include <cstring>

#if defined(VTCLIENT_CRYPTO_mbedtls)
#include <mbedtls/aes.h>
#else
#include <openssl/evp.h>
#endif

#include "channel/packet_decoder.h"
#include "channel/vtrp_packet.h"

namespace {

const char kSerial[] = "SERIAL0001", kKey[] = "0123456789abcdef";
const auto *key_bytes = reinterpret_cast<const uint8_t *>(kKey);

struct Keepalive {
  uint8_t message[VTRP_MAX_CIPHERTEXT], packet[VTRP_MAX_PACKET];
  uint32_t length = vtrp_encode_message(message, {0, VTRP_FLAG_REPLY_WANTED, 42, 42, 0, 0}, nullptr, 0);
  uint32_t packet_length = vtrp_compose_packet_into(packet, message, length, kSerial, kKey, 2, nullptr);
} const k{};

// Compose (encrypt) or decode (decrypt) one packet, on a kept context or, fresh, a new one (and for
// compose a new packet buffer) per packet.
template <bool encrypt, bool kept>
void BM_Codec(benchmark::State &state) {
  udp_cipher_context_ptr context(kept ? udp_cipher_context_new() : nullptr);
  for (auto _ : state) {
    uint8_t out[VTRP_MAX_PACKET];
    uint32_t length = 0;
    if (encrypt && kept) length = vtrp_compose_packet_into(out, k.message, k.length, kSerial, kKey, 2, context.get());
    if (encrypt && !kept)
      benchmark::DoNotOptimize(vtrp_packet_ptr(vtrp_compose_packet(k.message, k.length, kSerial, kKey, &length, 2)));
    if (!encrypt &&
        vtrp_decode_packet(k.packet, k.packet_length, kSerial, kKey, out, &length, nullptr, context.get()) != packet_verdict::ok)
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(length);
  }
}
BENCHMARK(BM_Codec<true, true>)->Name("BM_Compose_Encrypt");
BENCHMARK(BM_Codec<true, false>)->Name("BM_ComposeFreshContext_Encrypt");
BENCHMARK(BM_Codec<false, true>)->Name("BM_Decode_Decrypt");
BENCHMARK(BM_Codec<false, false>)->Name("BM_DecodeFreshContext_Decrypt");

template <bool encrypt>
void BM_Baseline(benchmark::State &state) {
  const uint8_t *input = encrypt ? k.message : k.packet + VTRP_OFFSET_CIPHERTEXT;
#if defined(VTCLIENT_CRYPTO_mbedtls)  // the AES module's CBC call over whole blocks, the padding already in place
  uint8_t padded[32];
  std::memcpy(padded, k.message, 16);
  std::memset(padded + 16, 16, 16);
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  encrypt ? mbedtls_aes_setkey_enc(&aes, key_bytes, 128) : mbedtls_aes_setkey_dec(&aes, key_bytes, 128);
  for (auto _ : state) {
    unsigned char iv[16], output[32];
    std::memcpy(iv, k.packet + VTRP_OFFSET_IV, sizeof iv);
    mbedtls_aes_crypt_cbc(&aes, encrypt ? MBEDTLS_AES_ENCRYPT : MBEDTLS_AES_DECRYPT, 32, iv, encrypt ? padded : input, output);
    benchmark::DoNotOptimize(output);
  }
  mbedtls_aes_free(&aes);
#else  // EVP set up once with cipher and key; per packet the vector, one update and the final step
  EVP_CIPHER_CTX *evp = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(evp, EVP_aes_128_cbc(), nullptr, key_bytes, nullptr, encrypt);
  for (auto _ : state) {
    uint8_t output[48];
    int n = 0, f = 0;
    EVP_CipherInit_ex(evp, nullptr, nullptr, nullptr, k.packet + VTRP_OFFSET_IV, -1);
    EVP_CipherUpdate(evp, output, &n, input, encrypt ? 16 : 32);
    EVP_CipherFinal_ex(evp, output + n, &f);
    benchmark::DoNotOptimize(output);
  }
  EVP_CIPHER_CTX_free(evp);
#endif
}
BENCHMARK(BM_Baseline<true>)->Name("BM_Baseline_Encrypt");
BENCHMARK(BM_Baseline<false>)->Name("BM_Baseline_Decrypt");

}  // namespace
