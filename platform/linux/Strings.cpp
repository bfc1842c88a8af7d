// Code-page conversion and upper-casing. The 8-bit code page is UTF-8 on
// this platform; every ill-formed sequence becomes one U+FFFD per maximal
// subpart, so a name read from disk always converts.
#include <cstring>

#include "Unicode.h"
#include "WinApi.h"

namespace {

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
  if (static_cast<size_t>(dstLen) >= n) return static_cast<int>(unicode::Utf8ToUtf16(src, n, dst, n));
  const size_t need = unicode::Utf8ToUtf16(src, n, nullptr, 0);
  if (dstLen == 0) return static_cast<int>(need);
  if (need > static_cast<size_t>(dstLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  unicode::Utf8ToUtf16(src, n, dst, static_cast<size_t>(dstLen));
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
  if (static_cast<size_t>(dstLen) / 3 >= n) return static_cast<int>(unicode::Utf16ToUtf8(src, n, dst, n * 3));
  const size_t need = unicode::Utf16ToUtf8(src, n, nullptr, 0);
  if (dstLen == 0) return static_cast<int>(need);
  if (need > static_cast<size_t>(dstLen)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  unicode::Utf16ToUtf8(src, n, dst, static_cast<size_t>(dstLen));
  return static_cast<int>(need);
}

WideString AnsiToWide(const AnsiString& s) {
  WideString out(s.size(), u'\0');  // UTF-16 never needs more units than UTF-8 bytes
  out.resize(unicode::Utf8ToUtf16(s.data(), s.size(), out.data(), out.size()));
  return out;
}

AnsiString WideToAnsi(const WideString& s) {
  AnsiString out(s.size() * 3, '\0');  // at most 3 bytes per unit (a pair needs 4 for 2)
  out.resize(unicode::Utf16ToUtf8(s.data(), s.size(), out.data(), out.size()));
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
    const char32_t cp = unicode::DecodeUtf8(s, n, i);
    const char32_t up = UpperCodePoint(cp);
    if (up == cp) continue;
    char16_t unit = static_cast<char16_t>(up);
    char buf[4];
    if (unicode::Utf16ToUtf8(&unit, 1, buf, sizeof buf) == i - start) std::memcpy(text + start, buf, i - start);
  }
  return text;
}
