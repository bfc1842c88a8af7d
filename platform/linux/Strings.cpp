// Code-page conversion and upper-casing. The 8-bit code page is UTF-8 on
// this platform; every ill-formed sequence becomes one U+FFFD per maximal
// subpart, so a name read from disk always converts.
#include <cstring>

#include "WinApi.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Decodes one code point from s[i..n); advances i. Ill-formed input yields
// U+FFFD and consumes the maximal subpart (at least one byte).
inline char32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
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

// Converts to UTF-16; writes at most cap units to out (out may be null when
// cap is 0) and returns the number of units the whole input needs.
// With keepBytes, each byte of an ill-formed sequence becomes the lone
// surrogate U+DC00+byte instead (see HostNameToWide).
size_t Utf8ToUtf16(const char* src, size_t n, char16_t* out, size_t cap, bool keepBytes = false) {
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

inline char32_t DecodeUtf16(const char16_t* s, size_t n, size_t& i) {
  const char16_t u = s[i++];
  if (u < 0xD800 || u > 0xDFFF) return u;
  if (u <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
    return 0x10000 + ((char32_t(u) - 0xD800) << 10) + (s[i++] - 0xDC00);
  return kReplacement;  // lone surrogate
}

size_t Utf16ToUtf8(const char16_t* s, size_t n, char* out, size_t cap, bool keepBytes = false) {
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

// Simple upper-case mapping for the scripts file names commonly use: Latin
// (with Latin-1 and Latin Extended-A), Greek and Cyrillic.
char32_t UpperCodePoint(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;  // no simple pair
    const bool oddPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddPairs) return (c % 2 == 0) ? c - 1 : c;
    return (c % 2 == 1) ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, WCHAR* dst, int dstLen) {
  if (src == nullptr || srcLen == 0 || dstLen < 0 || (dstLen > 0 && dst == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t n = srcLen < 0 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen);
  // Never more units than bytes: a buffer that large takes one pass.
  if (static_cast<size_t>(dstLen) >= n) return static_cast<int>(Utf8ToUtf16(src, n, dst, n));
  const size_t need = Utf8ToUtf16(src, n, nullptr, 0);
  if (dstLen == 0) return static_cast<int>(need);
  if (need > static_cast<size_t>(dstLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  Utf8ToUtf16(src, n, dst, static_cast<size_t>(dstLen));
  return static_cast<int>(need);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefault) {
  if (src == nullptr || srcLen == 0 || dstLen < 0 || (dstLen > 0 && dst == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = static_cast<size_t>(srcLen);
  if (srcLen < 0) {
    n = 0;
    while (src[n] != 0) ++n;
    ++n;
  }
  if (usedDefault) *usedDefault = FALSE;
  // At most 3 bytes per unit (a pair needs 4 for 2): a buffer that large takes one pass.
  if (static_cast<size_t>(dstLen) / 3 >= n) return static_cast<int>(Utf16ToUtf8(src, n, dst, n * 3));
  const size_t need = Utf16ToUtf8(src, n, nullptr, 0);
  if (dstLen == 0) return static_cast<int>(need);
  if (need > static_cast<size_t>(dstLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  Utf16ToUtf8(src, n, dst, static_cast<size_t>(dstLen));
  return static_cast<int>(need);
}

WideString AnsiToWide(const AnsiString& s) {
  WideString out(s.size(), u'\0');  // UTF-16 never needs more units than UTF-8 bytes
  out.resize(Utf8ToUtf16(s.data(), s.size(), out.data(), out.size()));
  return out;
}

AnsiString WideToAnsi(const WideString& s) {
  AnsiString out(s.size() * 3, '\0');  // at most 3 bytes per unit (a pair needs 4 for 2)
  out.resize(Utf16ToUtf8(s.data(), s.size(), out.data(), out.size()));
  return out;
}

// Host names are bytes, not text: U+FFFD would make a name read from a
// folder name no entry, so their stray bytes travel as lone surrogates
// U+DC80..U+DCFF (no valid UTF-8 decodes to one) and come back as the same bytes.
WideString HostNameToWide(const char* name, size_t len) {
  WideString out(len, u'\0');
  out.resize(Utf8ToUtf16(name, len, out.data(), out.size(), true));
  return out;
}

AnsiString WideToHostName(const WCHAR* s, size_t len) {
  AnsiString out(len * 3, '\0');
  out.resize(Utf16ToUtf8(s, len, out.data(), out.size(), true));
  return out;
}

WCHAR* CharUpperW(WCHAR* text) {
  if (!text) return text;
  for (WCHAR* p = text; *p; ++p) {
    const char32_t up = UpperCodePoint(*p);
    if (up <= 0xFFFF) *p = static_cast<WCHAR>(up);
  }
  return text;
}

// In place, so a character is only changed when its upper case has the same
// encoded length (true for everything UpperCodePoint maps today).
char* CharUpperA(char* text) {
  if (!text) return text;
  auto* s = reinterpret_cast<unsigned char*>(text);
  const size_t n = std::strlen(text);
  size_t i = 0;
  while (i < n) {
    const size_t start = i;
    const char32_t cp = DecodeUtf8(s, n, i);
    const char32_t up = UpperCodePoint(cp);
    if (up == cp) continue;
    char16_t unit = static_cast<char16_t>(up);
    char buf[4];
    if (Utf16ToUtf8(&unit, 1, buf, sizeof buf) == i - start) std::memcpy(text + start, buf, i - start);
  }
  return text;
}
