// CRC-32 that every channel message carries in its first four bytes.
//
// The standard IEEE 802.3 CRC (reflected polynomial 0xEDB88320, initial and
// final value 0xFFFFFFFF), one byte per step through a 256-entry table, so the
// server and any stock CRC-32 implementation agree with it.
#pragma once

#include <cstdint>

// The standard table for the reflected polynomial 0xEDB88320.
extern const uint32_t crc_table[256];

// CRC-32 of length bytes at data; 0 when length is 0 or less (or data is null).
uint32_t crc(const void *data, int length);
