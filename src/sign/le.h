// Little-endian numbers of the signature formats, field by field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kapsa {

// The number of size bytes (at most 8) at p, least significant first.
inline uint64_t sign_le_load(const unsigned char *p, size_t size) {
  uint64_t value = 0;
  for (size_t i = size; i > 0; i--) value = value << 8 | p[i - 1];
  return value;
}

// Stores value in size bytes (at most 8) at p, least significant first;
// returns p + size, where the next field goes.
inline unsigned char *sign_le_store(unsigned char *p, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; i++, value >>= 8) p[i] = static_cast<unsigned char>(value);
  return p + size;
}

}  // namespace kapsa
