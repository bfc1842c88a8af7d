// LZNT1: a stream of chunks, each holding up to 4 KiB of the value, stored
// as is or as literals and back references under flag bytes.
#include "NtfsCompression.h"

#include <algorithm>
#include <cstring>

namespace ntfs {

namespace {

constexpr size_t kChunk = 4096;

// One compressed chunk into chunk[0, room); False on a corrupt token.
bool DecompressChunk(const uint8_t* p, const uint8_t* end, uint8_t* chunk, size_t room) {
  size_t pos = 0;
  while (p < end && pos < room) {
    uint8_t flags = *p++;
    for (int bit = 0; bit < 8 && p < end && pos < room; ++bit, flags >>= 1) {
      if (!(flags & 1)) {
        chunk[pos++] = *p++;
        continue;
      }
      if (end - p < 2 || pos == 0) return false;
      const unsigned token = p[0] | unsigned(p[1]) << 8;
      p += 2;
      // The further into the chunk, the more bits the offset takes from the length.
      int lengthBits = 12;
      for (size_t i = pos - 1; i >= 0x10; i >>= 1) --lengthBits;
      const size_t back = (token >> lengthBits) + 1;
      const size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      if (back > pos || length > room - pos) return false;
      // Byte by byte: a reference may overlap what it writes (runs of one byte).
      for (size_t k = 0; k < length; ++k, ++pos) chunk[pos] = chunk[pos - back];
    }
  }
  return true;
}

}  // namespace

bool Lznt1Decompress(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
  std::memset(out, 0, outSize);
  size_t at = 0;
  for (size_t chunkStart = 0; chunkStart < outSize && inSize - at >= 2; chunkStart += kChunk) {
    const unsigned header = in[at] | unsigned(in[at + 1]) << 8;
    if (header == 0) break;  // the end of the stream: the rest of the unit is zeros
    const size_t length = (header & 0x0FFF) + 1;
    at += 2;
    if (length > inSize - at) return false;
    const uint8_t* p = in + at;
    at += length;
    const size_t room = std::min(kChunk, outSize - chunkStart);
    if (!(header & 0x8000))
      std::memcpy(out + chunkStart, p, std::min(length, room));
    else if (!DecompressChunk(p, p + length, out + chunkStart, room))
      return false;
  }
  return true;
}

}  // namespace ntfs
