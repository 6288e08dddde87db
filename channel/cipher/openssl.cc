// The packet cipher on OpenSSL's EVP interface. The cipher is looked up and
// the key schedule made once per key; a packet then re-initialises only the
// vector, which also clears what the last operation left behind.
#include <openssl/evp.h>

#include <memory>
#include <new>

#include "channel/cipher/cipher_backend.h"
#include "platform/owned.h"

struct udp_cipher_context {
  // Freeing the EVP context wipes the key schedule.
  owned_by<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> evp{EVP_CIPHER_CTX_new()};
  cipher_key_in_use in_use;
  ~udp_cipher_context() { in_use.forget(); }
};

udp_cipher_context *udp_cipher_context_new() {
  std::unique_ptr<udp_cipher_context> context(new (std::nothrow) udp_cipher_context);
  return context != nullptr && context->evp != nullptr ? context.release() : nullptr;
}

void udp_cipher_context_free(udp_cipher_context *context) { delete context; }

bool cipher_backend_use_key(udp_cipher_context *context, const uint8_t *key, int direction) {
  if (context->in_use.matches(key, direction)) return true;
  context->in_use.forget();
  if (EVP_CipherInit_ex(context->evp.get(), EVP_aes_128_cbc(), nullptr, key, nullptr, direction) != 1)
    return false;
  context->in_use.remember(key, direction);
  return true;
}

int cipher_backend_run(udp_cipher_context *context, const uint8_t *input, size_t input_length,
                       uint8_t *output, const uint8_t *vector) {
  EVP_CIPHER_CTX *evp = context->evp.get();
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
