// Little-endian fields of on-disk structures, read a byte at a time: no
// alignment and no host byte order is assumed. Callers check the bounds.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }
inline uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }
