// AES-128-CBC with PKCS#7 padding: the cipher of every channel packet.
#pragma once

#include <cstdint>

#include <openssl/evp.h>

enum { UDP_CIPHER_DECRYPT = 0, UDP_CIPHER_ENCRYPT = 1 };

// One complete AES-128-CBC operation with PKCS#7 padding over input_length
// bytes: direction 1 encrypts, 0 decrypts. key and vector are 16 raw bytes
// each. context is an optional cipher context that the caller keeps; when it is
// null a temporary one is made and released before returning. The total output
// length is written through output_length.
//
// The output needs room for input_length + 16 bytes when encrypting and
// input_length bytes when decrypting (the padding is removed, never added).
// Returns 1 on success, 0 for a null pointer, a negative length or a failed
// cipher step; a wrong key or damaged ciphertext usually fails the padding
// check, and the message CRC catches the rest.
int udp_aes_128_cbc_cipher(EVP_CIPHER_CTX *context, const uint8_t *input, int input_length,
                           uint8_t *output, int *output_length, const uint8_t *key,
                           const uint8_t *vector, int direction);
