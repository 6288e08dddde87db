// The packet cipher on OpenSSL's EVP interface. The cipher is looked up and
// the key schedule made once per key; a packet then re-initialises only the
// vector, which also clears what the last operation left behind.
#include <openssl/evp.h>

#include <new>

#include "channel/cipher/cipher_backend.h"

struct udp_cipher_context {
  EVP_CIPHER_CTX *evp = nullptr;
  cipher_key_in_use in_use;
};

udp_cipher_context *udp_cipher_context_new() {
  auto *context = new (std::nothrow) udp_cipher_context;
  if (context == nullptr) return nullptr;
  context->evp = EVP_CIPHER_CTX_new();
  if (context->evp == nullptr) {
    delete context;
    return nullptr;
  }
  return context;
}

void udp_cipher_context_free(udp_cipher_context *context) {
  if (context == nullptr) return;
  EVP_CIPHER_CTX_free(context->evp);  // wipes the key schedule
  context->in_use.forget();
  delete context;
}

bool cipher_backend_use_key(udp_cipher_context *context, const uint8_t *key, int direction) {
  if (context->in_use.matches(key, direction)) return true;
  context->in_use.forget();
  if (EVP_CipherInit_ex(context->evp, EVP_aes_128_cbc(), nullptr, key, nullptr, direction) != 1)
    return false;
  context->in_use.remember(key, direction);
  return true;
}

int cipher_backend_run(udp_cipher_context *context, const uint8_t *input, size_t input_length,
                       uint8_t *output, const uint8_t *vector) {
  EVP_CIPHER_CTX *evp = context->evp;
  // Cipher, key and direction stay as they are (null, null, -1).
  if (EVP_CipherInit_ex(evp, nullptr, nullptr, nullptr, vector, -1) != 1) return -1;
  // One update over the whole input, the final step behind its output. When
  // decrypting, the update holds the last block back for the padding check.
  int update_length = 0;
  if (EVP_CipherUpdate(evp, output, &update_length, input, static_cast<int>(input_length)) != 1)
    return -1;
  int final_length = 0;
  if (EVP_CipherFinal_ex(evp, output + update_length, &final_length) != 1) return -1;
  return update_length + final_length;
}
