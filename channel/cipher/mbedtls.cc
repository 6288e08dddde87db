// The packet cipher on mbedTLS's AES module, the smallest part of it that
// does the work: CBC over whole blocks, with the PKCS#7 padding added and
// checked here. The key schedule is made once per key.
#include <mbedtls/aes.h>

#include <new>

#include "channel/cipher/cipher_backend.h"

namespace {
constexpr size_t kBlock = 16;
}

struct udp_cipher_context {
  mbedtls_aes_context aes;
  cipher_key_in_use in_use;
  udp_cipher_context() { mbedtls_aes_init(&aes); }
  ~udp_cipher_context() {
    mbedtls_aes_free(&aes);  // wipes the key schedule
    in_use.forget();
  }
};

udp_cipher_context *udp_cipher_context_new() { return new (std::nothrow) udp_cipher_context; }

void udp_cipher_context_free(udp_cipher_context *context) { delete context; }

bool cipher_backend_use_key(udp_cipher_context *context, const uint8_t *key, int direction) {
  if (context->in_use.matches(key, direction)) return true;
  context->in_use.forget();
  const int status = direction == UDP_CIPHER_ENCRYPT
                         ? mbedtls_aes_setkey_enc(&context->aes, key, 128)
                         : mbedtls_aes_setkey_dec(&context->aes, key, 128);
  if (status != 0) return false;
  context->in_use.remember(key, direction);
  return true;
}

int cipher_backend_run(udp_cipher_context *context, const uint8_t *input, size_t input_length,
                       uint8_t *output, const uint8_t *vector) {
  unsigned char iv[kBlock];  // the chain value, advanced by every call
  std::memcpy(iv, vector, kBlock);

  if (context->in_use.direction == UDP_CIPHER_ENCRYPT) {
    // The input and its padding, 1 to 16 bytes each holding the padding
    // length (a whole block of them when the input fills its last block),
    // then one CBC call over them in place.
    const size_t padded = (input_length / kBlock + 1) * kBlock;
    std::memmove(output, input, input_length);
    std::memset(output + input_length, static_cast<int>(padded - input_length),
                padded - input_length);
    if (mbedtls_aes_crypt_cbc(&context->aes, MBEDTLS_AES_ENCRYPT, padded, iv, output, output) != 0)
      return -1;
    return static_cast<int>(padded);
  }

  if (input_length == 0 || input_length % kBlock != 0) return -1;
  if (mbedtls_aes_crypt_cbc(&context->aes, MBEDTLS_AES_DECRYPT, input_length, iv, input, output) !=
      0)
    return -1;
  const size_t pad = output[input_length - 1];
  if (pad == 0 || pad > kBlock) return -1;
  for (size_t i = input_length - pad; i < input_length; ++i)
    if (output[i] != pad) return -1;
  return static_cast<int>(input_length - pad);
}
