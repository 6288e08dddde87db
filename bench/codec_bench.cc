// Cost of the channel codec per packet against the bare cipher of the backend
// the agent was built with (OpenSSL's EVP or mbedTLS).
//
// The floors (BM_Baseline_Encrypt, BM_Baseline_Decrypt) are the least work a
// keepalive packet needs: one AES-128-CBC call of the backend's own interface
// on a context kept for the session, over the same 16-byte message (32 bytes
// with its padding), with a new vector each time. The codec adds around it
// the packet header, the vector's letters and the CRC (compose), or the header
// checks, the CRC and the byte order (decode). The *FreshContext rows are the
// codec without a kept context: a new context, cipher and key schedule and a
// packet buffer per packet.
#include <benchmark/benchmark.h>

#include <cstring>

#if defined(VTCLIENT_CRYPTO_mbedtls)
#include <mbedtls/aes.h>
#else
#include <openssl/evp.h>
#endif

#include "channel/packet_cipher.h"
#include "channel/packet_decoder.h"
#include "channel/vtrp_message.h"
#include "channel/vtrp_packet.h"

namespace {

const char kSerial[] = "SERIAL0001";
const char kKey[] = "0123456789abcdef";
const uint8_t *key_bytes() { return reinterpret_cast<const uint8_t *>(kKey); }

struct keepalive_packet {
  uint8_t message[VTRP_MAX_CIPHERTEXT];
  uint32_t length = 0;
  uint8_t packet[VTRP_MAX_PACKET];
  uint32_t packet_length = 0;

  keepalive_packet() {
    agenda_item item{};
    std::memcpy(item.serial, kSerial, sizeof kSerial - 1);
    item.retry_interval = 10;
    item.flags = VTRP_FLAG_REPLY_WANTED;
    item.seq = item.id = 42;
    vtrp_compose_message(message, &item, &length);
    packet_length =
        vtrp_compose_packet_into(packet, message, length, kSerial, kKey, 2, nullptr);
  }
};

// Kept: a cipher context kept for the session. Fresh: none, as before.
template <bool kept>
void BM_Compose(benchmark::State &state) {
  const keepalive_packet k;
  udp_cipher_context_ptr context(kept ? udp_cipher_context_new() : nullptr);
  for (auto _ : state) {
    if (kept) {
      uint8_t packet[VTRP_MAX_PACKET];
      benchmark::DoNotOptimize(vtrp_compose_packet_into(packet, k.message, k.length, kSerial, kKey, 2, context.get()));
      benchmark::DoNotOptimize(packet);
    } else {
      uint32_t length = 0;
      vtrp_packet_ptr packet(vtrp_compose_packet(k.message, k.length, kSerial, kKey, &length, 2));
      benchmark::DoNotOptimize(packet.get());
    }
  }
}
BENCHMARK(BM_Compose<true>)->Name("BM_Compose_Encrypt");
BENCHMARK(BM_Compose<false>)->Name("BM_ComposeFreshContext_Encrypt");

template <bool kept>
void BM_Decode(benchmark::State &state) {
  const keepalive_packet k;
  if (k.packet_length != 82) state.SkipWithError("keepalive packet is not 82 bytes");
  udp_cipher_context_ptr context(kept ? udp_cipher_context_new() : nullptr);
  for (auto _ : state) {
    uint8_t decoded[VTRP_MAX_CIPHERTEXT];
    uint32_t decoded_length = 0;
    if (vtrp_decode_packet(k.packet, k.packet_length, kSerial, kKey, decoded, &decoded_length, context.get()) !=
        packet_verdict::ok)
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded);
  }
}
BENCHMARK(BM_Decode<true>)->Name("BM_Decode_Decrypt");
BENCHMARK(BM_Decode<false>)->Name("BM_DecodeFreshContext_Decrypt");

#if defined(VTCLIENT_CRYPTO_mbedtls)

// mbedTLS: the AES module's CBC call over whole blocks; the plaintext already
// carries its padding block.
void cbc_floor(benchmark::State &state, bool encrypt) {
  const keepalive_packet k;
  uint8_t padded[32];
  std::memcpy(padded, k.message, 16);
  std::memset(padded + 16, 16, 16);
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  if (encrypt)
    mbedtls_aes_setkey_enc(&aes, key_bytes(), 128);
  else
    mbedtls_aes_setkey_dec(&aes, key_bytes(), 128);
  for (auto _ : state) {
    unsigned char iv[16];
    std::memcpy(iv, k.packet + VTRP_OFFSET_IV, sizeof iv);
    uint8_t output[32];
    mbedtls_aes_crypt_cbc(&aes, encrypt ? MBEDTLS_AES_ENCRYPT : MBEDTLS_AES_DECRYPT, sizeof output, iv,
                          encrypt ? padded : k.packet + VTRP_OFFSET_CIPHERTEXT, output);
    benchmark::DoNotOptimize(output);
  }
  mbedtls_aes_free(&aes);
}

#else

// OpenSSL: EVP on a context set up once with the cipher and the key; each
// packet sets the vector, then one update and the final step.
void cbc_floor(benchmark::State &state, bool encrypt) {
  const keepalive_packet k;
  EVP_CIPHER_CTX *evp = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(evp, EVP_aes_128_cbc(), nullptr, key_bytes(), nullptr, encrypt);
  for (auto _ : state) {
    uint8_t output[48];
    int n = 0, f = 0;
    EVP_CipherInit_ex(evp, nullptr, nullptr, nullptr, k.packet + VTRP_OFFSET_IV, -1);
    EVP_CipherUpdate(evp, output, &n, encrypt ? k.message : k.packet + VTRP_OFFSET_CIPHERTEXT, encrypt ? 16 : 32);
    EVP_CipherFinal_ex(evp, output + n, &f);
    benchmark::DoNotOptimize(output);
  }
  EVP_CIPHER_CTX_free(evp);
}

#endif

void BM_Baseline_Encrypt(benchmark::State &state) { cbc_floor(state, true); }
void BM_Baseline_Decrypt(benchmark::State &state) { cbc_floor(state, false); }
BENCHMARK(BM_Baseline_Encrypt);
BENCHMARK(BM_Baseline_Decrypt);

}  // namespace
