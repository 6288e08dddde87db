#include "channel/packet_cipher.h"

#include "channel/cipher/cipher_backend.h"

int udp_aes_128_cbc_cipher(udp_cipher_context *context, const uint8_t *input, int input_length,
                           uint8_t *output, int *output_length, const uint8_t *key,
                           const uint8_t *vector, int direction) {
  if (input == nullptr || output == nullptr || output_length == nullptr || key == nullptr ||
      vector == nullptr || input_length < 0)
    return 0;

  udp_cipher_context_ptr temporary;
  if (context == nullptr) {
    temporary.reset(udp_cipher_context_new());
    if (!temporary) return 0;
    context = temporary.get();
  }
  const int mode = direction ? UDP_CIPHER_ENCRYPT : UDP_CIPHER_DECRYPT;
  if (!cipher_backend_use_key(context, key, mode)) return 0;
  const int length =
      cipher_backend_run(context, input, static_cast<size_t>(input_length), output, vector);
  if (length < 0) return 0;
  *output_length = length;
  return 1;
}
