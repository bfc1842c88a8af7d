// UTF-8 <-> UTF-16, the same on both systems: host names are UTF-8 in our API
// everywhere, and on Linux the 8-bit code page is UTF-8 too.
#include "Unicode.h"

#include "WinApi.h"

namespace unicode {

namespace {

inline char32_t DecodeUtf16(const char16_t* s, size_t n, size_t& i) {
  const char16_t u = s[i++];
  if (u < 0xD800 || u > 0xDFFF) return u;
  if (u <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
    return 0x10000 + ((char32_t(u) - 0xD800) << 10) + (s[i++] - 0xDC00);
  return kReplacement;  // lone surrogate
}

}  // namespace

char32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
  const unsigned char b0 = s[i];
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  size_t need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return kReplacement;
  }
  ++i;
  for (size_t k = 0; k < need; ++k) {
    if (i >= n) return kReplacement;
    const unsigned char b = s[i];
    if (b < lo || b > hi) return kReplacement;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  return cp;
}

size_t Utf8ToUtf16(const char* src, size_t n, char16_t* out, size_t cap, bool keepBytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  size_t i = 0, o = 0;
  while (i < n) {
    if (s[i] < 0x80) {  // ASCII run: the common case for file names
      if (o < cap) out[o] = s[i];
      ++o;
      ++i;
      continue;
    }
    const size_t start = i;
    const char32_t cp = DecodeUtf8(s, n, i);
    // A real U+FFFD is the only 3-byte sequence led by $EF that decodes to it.
    if (keepBytes && cp == kReplacement && !(s[start] == 0xEF && i - start == 3)) {
      for (size_t k = start; k < i; ++k, ++o)
        if (o < cap) out[o] = static_cast<char16_t>(0xDC00 + s[k]);
      continue;
    }
    if (cp >= 0x10000) {
      if (o + 1 < cap) {
        out[o] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        out[o + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
      o += 2;
    } else {
      if (o < cap) out[o] = static_cast<char16_t>(cp);
      ++o;
    }
  }
  return o;
}

size_t Utf16ToUtf8(const char16_t* s, size_t n, char* out, size_t cap, bool keepBytes) {
  size_t i = 0, o = 0;
  auto put = [&](char c) {
    if (o < cap) out[o] = c;
    ++o;
  };
  while (i < n) {
    if (s[i] < 0x80) {  // ASCII, most of every name
      put(static_cast<char>(s[i++]));
      continue;
    }
    if (keepBytes && s[i] >= 0xDC80 && s[i] <= 0xDCFF) {  // a low surrogate here is always a lone one
      put(static_cast<char>(s[i++] - 0xDC00));
      continue;
    }
    const char32_t cp = DecodeUtf16(s, n, i);
    if (cp < 0x80) {
      put(static_cast<char>(cp));
    } else if (cp < 0x800) {
      put(static_cast<char>(0xC0 | (cp >> 6)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      put(static_cast<char>(0xE0 | (cp >> 12)));
      put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      put(static_cast<char>(0xF0 | (cp >> 18)));
      put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return o;
}

}  // namespace unicode

// Host names are bytes, not text: U+FFFD would make a name read from a
// folder name no entry, so their stray bytes travel as lone surrogates
// U+DC80..U+DCFF (no valid UTF-8 decodes to one) and come back as the same bytes.
WideString HostNameToWide(const char* name, size_t len) {
  WideString out(len, u'\0');
  out.resize(unicode::Utf8ToUtf16(name, len, out.data(), out.size(), true));
  return out;
}

AnsiString WideToHostName(const WCHAR* s, size_t len) {
  AnsiString out(len * 3, '\0');
  out.resize(unicode::Utf16ToUtf8(s, len, out.data(), out.size(), true));
  return out;
}
