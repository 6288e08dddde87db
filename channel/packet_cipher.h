// AES-128-CBC with PKCS#7 padding: the cipher of every channel packet.
//
// The cipher library is chosen when the agent is configured (OpenSSL's EVP or
// mbedTLS); nothing outside channel/cipher/ names either of them.
#pragma once

#include <cstdint>

#include "platform/owned.h"

enum { UDP_CIPHER_DECRYPT = 0, UDP_CIPHER_ENCRYPT = 1 };

// A cipher context kept for a session. It holds the key schedule of the key
// and direction it was last used with, and computes a new one only when
// either changes; every packet under the same key then costs only the vector
// and the blocks. One context serves one thread at a time.
struct udp_cipher_context;
udp_cipher_context *udp_cipher_context_new();
// Wipes the key schedule and releases the context; null does nothing.
void udp_cipher_context_free(udp_cipher_context *context);

using udp_cipher_context_ptr = owned_by<udp_cipher_context, udp_cipher_context_free>;

// One complete AES-128-CBC operation with PKCS#7 padding over input_length
// bytes: direction 1 encrypts, 0 decrypts. key and vector are 16 raw bytes
// each. context is an optional context that the caller keeps for the session;
// when it is null a temporary one is made and released before returning. The
// total output length is written through output_length.
//
// The output needs room for input_length + 16 bytes when encrypting and
// input_length bytes when decrypting (the padding is removed, never added).
// Returns 1 on success, 0 for a null pointer, a negative length or a failed
// cipher step; a wrong key or damaged ciphertext usually fails the padding
// check, and the message CRC catches the rest.
int udp_aes_128_cbc_cipher(udp_cipher_context *context, const uint8_t *input, int input_length,
                           uint8_t *output, int *output_length, const uint8_t *key,
                           const uint8_t *vector, int direction);
