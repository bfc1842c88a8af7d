// LZNT1, the compression of NTFS's compressed attributes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ntfs {

// Decompresses the stored bytes of one compression unit into out, which
// receives outSize bytes: each 4 KiB chunk as far as the stream fills it,
// zeros after. False when the stream is corrupt (a length or back reference
// outside its chunk); out then holds what came before the fault.
bool Lznt1Decompress(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

}  // namespace ntfs
