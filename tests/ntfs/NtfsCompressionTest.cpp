// LZNT1 streams written by hand: the offset/length split that moves with
// the position in a chunk, overlapping references, chunks that stop short
// of 4 KiB, and streams that lie about their lengths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NtfsCompression.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Chunk(bool compressed, const Bytes& body) {
  const unsigned header = (compressed ? 0x8000u : 0u) | 0x3000u | unsigned(body.size() - 1);
  Bytes out{uint8_t(header), uint8_t(header >> 8)};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

TEST(Lznt1, DecompressesWhatWritersStore) {
  const Bytes stored(4096, 'S');
  // 16 literals, then at position 17 a reference whose offset takes 5 bits
  // (11 left for the length): 17 back, 3 long.
  const Bytes split = Bytes{0x00} + Text("01234567") + Bytes{0x00} + Text("89abcdef") + Bytes{0x02, 'X', 0x00, 0x80};
  struct Case {
    const char* what;
    Bytes in;
    size_t outSize;
    bool ok;
    std::string expected;  // the start of the output; the rest must be zeros
  } cases[] = {
      {"a chunk stored as is", Chunk(false, stored), 4096, true, std::string(4096, 'S')},
      {"literals only", Chunk(true, Bytes{0x00} + Text("abc")), 4096, true, "abc"},
      {"a reference overlapping what it writes", Chunk(true, {0x02, 'a', 0x06, 0x00}), 4096, true,
       std::string(10, 'a')},
      {"the split past position 16", Chunk(true, split), 4096, true, "0123456789abcdefX012"},
      {"a short chunk leaves zeros up to the next 4 KiB",
       Chunk(true, Bytes{0x00} + Text("one")) + Chunk(true, Bytes{0x00} + Text("two")), 8192, true,
       "one" + std::string(4093, '\0') + "two"},
      {"the end mark leaves the rest of the unit zero", Chunk(true, Bytes{0x00} + Text("x")) + Bytes{0, 0, 'j', 'k'},
       8192, true, "x"},
      {"a reference before the chunk's start", Chunk(true, {0x01, 0x00, 0x00}), 4096, false, ""},
      {"a reference reaching back too far", Chunk(true, {0x02, 'a', 0x00, 0x10}), 4096, false, "a"},
      {"a chunk longer than the stream", Bytes{0x10, 0xB0, 0x00, 'a'}, 4096, false, ""},
      {"a reference running past the chunk", Chunk(true, {0x02, 'a', 0xFF, 0x0F}), 4096, false, "a"},
  };
  for (const Case& c : cases) {
    Bytes out(c.outSize, 0xEE);
    EXPECT_EQ(ntfs::Lznt1Decompress(c.in.data(), c.in.size(), out.data(), out.size()), c.ok) << c.what;
    Bytes expected(c.outSize, 0);
    std::copy(c.expected.begin(), c.expected.end(), expected.begin());
    if (c.ok) {
      EXPECT_EQ(out, expected) << c.what;
    }
  }
}
