// Channel packets: one UDP datagram carrying one encrypted message.
//
//   offset  0  4  magic "vtup"
//   offset  4 u16 packet kind, always 2 (identity by name)
//   offset  6 u8  name length (length of the device serial, low 8 bits)
//   offset  7 25  name, zero-padded, not terminated when 25 long
//   offset 32 u16 block count = ciphertext length / 16
//   offset 34 16  initialisation vector, 16 random letters 'a'..'z'
//   offset 50     ciphertext (AES-128-CBC, PKCS#7) of the message
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/packet_cipher.h"
#include "channel/vtrp_message.h"
#include "platform/owned.h"

constexpr size_t VTRP_PACKET_HEADER_LENGTH = 50;
constexpr size_t VTRP_MIN_DATAGRAM = 36;  // shorter datagrams are not ours
constexpr size_t VTRP_CIPHER_BLOCK = 16;
constexpr size_t VTRP_MAX_CIPHERTEXT = 512;  // 32 blocks: a 511-byte message
constexpr size_t VTRP_MAX_PACKET = VTRP_PACKET_HEADER_LENGTH + VTRP_MAX_CIPHERTEXT;  // 562
constexpr size_t VTRP_NAME_FIELD_LENGTH = 25;
constexpr size_t VTRP_MIN_NAME_LENGTH = 8;
constexpr size_t VTRP_KEY_LENGTH = 16;
constexpr size_t VTRP_IV_LENGTH = 16;
constexpr uint16_t VTRP_PACKET_KIND_NAME = 2;

constexpr size_t VTRP_OFFSET_MAGIC = 0;
constexpr size_t VTRP_OFFSET_KIND = 4;
constexpr size_t VTRP_OFFSET_NAME_LENGTH = 6;
constexpr size_t VTRP_OFFSET_NAME = 7;
constexpr size_t VTRP_OFFSET_BLOCKS = 32;
constexpr size_t VTRP_OFFSET_IV = 34;
constexpr size_t VTRP_OFFSET_CIPHERTEXT = 50;

// Ciphertext length of an n-byte message: PKCS#7 always adds 1 to 16 bytes.
constexpr size_t vtrp_ciphertext_length(size_t message_length) {
  return (message_length / VTRP_CIPHER_BLOCK + 1) * VTRP_CIPHER_BLOCK;
}

// The AES key: the first 16 bytes of the session key text. A shorter text is
// padded with zero bytes instead of reading past its end.
void vtrp_session_key_bytes(const char *session_key, uint8_t key[VTRP_KEY_LENGTH]);

// Returns a newly allocated packet (malloc, VTRP_MAX_PACKET bytes; release with
// free or hold it in a vtrp_packet_ptr) of the given kind carrying message
// encrypted under the session key, with identity as its name; the packet length
// goes through packet_length when it is not null. Returns null for a null
// message, identity or key, a message longer than 511 bytes, a kind of 0 or
// above 2, lack of memory or a failed encryption.
uint8_t *vtrp_compose_packet(const uint8_t *message, uint32_t message_length, const char *identity,
                             const char *session_key, uint32_t *packet_length, uint16_t kind);

// The same packet, composed into the caller's buffer of VTRP_MAX_PACKET bytes
// with the caller's cipher context (kept for the session; null: a temporary
// one). Returns the packet length, or 0 where vtrp_compose_packet returns null.
uint32_t vtrp_compose_packet_into(uint8_t *packet, const uint8_t *message, uint32_t message_length,
                                  const char *identity, const char *session_key, uint16_t kind,
                                  udp_cipher_context *context);

// Writes length letters 'a'..'z' drawn from rand() into buffer, without a
// terminator; nothing for a null buffer or a length of 0 or less. One rand()
// gives six letters: a packet's vector costs three calls, not sixteen.
void random_string(char *buffer, int length);

using vtrp_packet_ptr = owned<uint8_t>;
