// What a cipher library gives the packet cipher: a context that keeps one
// AES-128 key schedule, and CBC with PKCS#7 padding under it. Each backend
// file (one per library, chosen when the agent is configured) defines
// udp_cipher_context, udp_cipher_context_new and udp_cipher_context_free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "channel/packet_cipher.h"

// The key and direction that a context's key schedule was made for.
struct cipher_key_in_use {
  uint8_t key[16] = {};
  int direction = -1;  // none yet

  bool matches(const uint8_t *other, int other_direction) const {
    return direction == other_direction && std::memcmp(key, other, sizeof key) == 0;
  }
  void remember(const uint8_t *other, int other_direction) {
    std::memcpy(key, other, sizeof key);
    direction = other_direction;
  }
  void forget() {
    // volatile: the wipe of a key that is about to be released is not elided.
    volatile uint8_t *p = key;
    for (size_t i = 0; i < sizeof key; ++i) p[i] = 0;
    direction = -1;
  }
};

// Prepares the context for key and direction (a new key schedule only when
// they differ from the last ones); false when the library refuses.
bool cipher_backend_use_key(udp_cipher_context *context, const uint8_t *key, int direction);

// CBC over input under the prepared key and the 16-byte vector, padding added
// when encrypting and checked and removed when decrypting. input_length is 0
// or more; output has room as udp_aes_128_cbc_cipher says. Returns the output
// length, or -1 when the cipher fails (bad padding, a ciphertext that is not
// a whole number of blocks).
int cipher_backend_run(udp_cipher_context *context, const uint8_t *input, size_t input_length,
                       uint8_t *output, const uint8_t *vector);
