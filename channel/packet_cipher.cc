#include "channel/packet_cipher.h"

#include <memory>

namespace {

struct context_deleter {
  void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using context_ptr = std::unique_ptr<EVP_CIPHER_CTX, context_deleter>;

// Init, one update over the whole input, final behind the update's output.
// A single update never writes more than the input length when decrypting:
// the last block is held back for the padding check in the final step.
bool run_cipher(EVP_CIPHER_CTX *context, const uint8_t *input, int input_length, uint8_t *output,
                int *output_length, const uint8_t *key, const uint8_t *vector, int direction) {
  if (EVP_CipherInit_ex(context, EVP_aes_128_cbc(), nullptr, key, vector, direction ? 1 : 0) != 1)
    return false;
  int update_length = 0;
  if (EVP_CipherUpdate(context, output, &update_length, input, input_length) != 1) return false;
  int final_length = 0;
  if (EVP_CipherFinal_ex(context, output + update_length, &final_length) != 1) return false;
  *output_length = update_length + final_length;
  return true;
}

}  // namespace

int udp_aes_128_cbc_cipher(EVP_CIPHER_CTX *context, const uint8_t *input, int input_length,
                           uint8_t *output, int *output_length, const uint8_t *key,
                           const uint8_t *vector, int direction) {
  if (input == nullptr || output == nullptr || output_length == nullptr || key == nullptr ||
      vector == nullptr || input_length < 0)
    return 0;

  context_ptr temporary;
  if (context == nullptr) {
    temporary.reset(EVP_CIPHER_CTX_new());
    if (!temporary) return 0;
    context = temporary.get();
  }
  const bool ok =
      run_cipher(context, input, input_length, output, output_length, key, vector, direction);
  // The caller's context must not keep the session key schedule around.
  if (!temporary) EVP_CIPHER_CTX_reset(context);
  return ok ? 1 : 0;
}
