// The UTF-8/UTF-16 codec inside the platform layer (not part of the API).
#pragma once

#include <cstddef>

namespace unicode {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one code point from s[i..n); advances i. Ill-formed input yields
// U+FFFD and consumes the maximal subpart (at least one byte).
char32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i);

// Converts to UTF-16; writes at most cap units to out (out may be null when
// cap is 0) and returns the number of units the whole input needs.
// With keepBytes, each byte of an ill-formed sequence becomes the lone
// surrogate U+DC00+byte instead (see HostNameToWide).
size_t Utf8ToUtf16(const char* src, size_t n, char16_t* out, size_t cap, bool keepBytes = false);
// The reverse; with keepBytes, U+DC80..U+DCFF become their bytes again.
size_t Utf16ToUtf8(const char16_t* s, size_t n, char* out, size_t cap, bool keepBytes = false);

}  // namespace unicode
