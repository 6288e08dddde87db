// Unaligned big-endian and host-order field access for wire buffers.
//
// Messages and packets put 32-bit fields at odd offsets (6, 10), so every
// access goes through memcpy or single bytes, never through a cast pointer.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t vt_load_be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

inline uint32_t vt_load_be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void vt_store_be16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void vt_store_be32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

template <typename T>
inline T vt_load_host(const uint8_t *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
inline void vt_store_host(uint8_t *p, T v) {
  std::memcpy(p, &v, sizeof v);
}
