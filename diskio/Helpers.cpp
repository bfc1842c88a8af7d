#include "Helpers.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "WinApi.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

AnsiString Short(AnsiString s) {
  if (s.size() > kShortStringMax) s.resize(kShortStringMax);
  return s;
}

// Value of one hex digit of either case, -1 for anything else.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

AnsiString Bits(uint32_t value, int count) {
  AnsiString s(count, '0');
  for (int i = 0; i < count; ++i)
    if (value & (1u << (count - 1 - i))) s[i] = '1';
  return s;
}

}  // namespace

AnsiString fsTimeDate2Str(uint16_t time, uint16_t date) {
  char text[32];
  std::snprintf(text, sizeof text, "%02u.%02u.%02u %02u:%02u", date & 0x1Fu, (date >> 5) & 0x0Fu,
                (date >> 9) + 1980u, time >> 11, (time >> 5) & 0x3Fu);
  return text;
}

AnsiString fsDate2Str(uint16_t date) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u.%02u.%02u", date & 0x1Fu, (date >> 5) & 0x0Fu, (date >> 9) + 1980u);
  return text;
}

AnsiString LongWordToStr(uint32_t value) { return std::to_string(value); }

AnsiString Byte2Hex(uint8_t value) { return {kHexDigits[value >> 4], kHexDigits[value & 0xF]}; }

AnsiString Word2Hex(uint16_t value) {
  return Byte2Hex(static_cast<uint8_t>(value >> 8)) + Byte2Hex(static_cast<uint8_t>(value));
}

AnsiString Byte2Bin(uint8_t value) { return Bits(value, 8); }

AnsiString Word2Bin(uint16_t value) { return Bits(value, 16); }

uint16_t Bin2Word(const AnsiString& bits) {
  uint16_t value = 0;
  for (size_t i = 0; i < bits.size() && i < 16; ++i)
    if (bits[i] == '1') value |= static_cast<uint16_t>(1u << i);
  return value;
}

AnsiString Data2Hex(const void* data, int n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  AnsiString s;
  for (int i = n - 1; i >= 0; --i) s += Byte2Hex(bytes[i]);
  return Short(std::move(s));
}

void Hex2Data(const AnsiString& hex, void* dest) {
  const AnsiString s = Short(hex);
  auto* bytes = static_cast<uint8_t*>(dest);
  const size_t len = s.size();
  for (size_t i = 0; i < len / 2; ++i) {
    const int hi = HexValue(s[len - 2 * i - 2]);
    const int lo = HexValue(s[len - 2 * i - 1]);
    bytes[i] = (hi < 0 || lo < 0) ? 0 : static_cast<uint8_t>(hi * 16 + lo);
  }
}

AnsiString Unicode2ASCII(const WCHAR* text, int maxCount) {
  AnsiString s;
  for (int i = 0; i < maxCount && text[i] != 0 && s.size() < kShortStringMax; ++i)
    s += static_cast<char>(text[i] & 0xFF);
  return s;
}

bool IsDataEqual(const void* data, const AnsiString& s) {
  const AnsiString t = Short(s);
  return t.empty() || std::memcmp(data, t.data(), t.size()) == 0;
}

uint32_t BytesEqual(const void* a, const void* b, uint32_t n) {
  const auto* pa = static_cast<const uint8_t*>(a);
  const auto* pb = static_cast<const uint8_t*>(b);
  uint32_t differing = 0;
  for (uint32_t i = 0; i < n; ++i)
    if (pa[i] != pb[i]) ++differing;
  return differing;
}

AnsiString ConvertFmtString(const AnsiString& s) {
  AnsiString out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char next = s[++i];
    if (next == '\\')
      out += '\\';
    else if (next == 'n')
      out += '\r';
  }
  return out;
}

AnsiString replace(const AnsiString& s, char oldChar, char newChar) {
  AnsiString out = s;
  for (char& c : out)
    if (c == oldChar) c = newChar;
  return out;
}

AnsiString GetNextTextLine(const char*& pos, const char* end) {
  AnsiString line;
  while (pos < end && *pos != '\r' && *pos != '\n') {
    if (line.size() < kShortStringMax) line += *pos;
    ++pos;
  }
  if (pos < end) pos += (*pos == '\r' && end - pos >= 2 && pos[1] == '\n') ? 2 : 1;
  return line;
}

AnsiString AbbreviatePath(const AnsiString& path, int maxLen) {
  const WideString w = AnsiToWide(path);
  const long L = static_cast<long>(w.size());
  long first = 0, cutEnd = 0, cut = 0;
  // Positions count from 1 as in the path's own notation; the last character
  // is never a cut point, so the file name survives.
  for (long i = 1; i < L; ++i) {
    if (L - cut + 5 <= maxLen) break;
    if (w[i - 1] != u'\\') continue;
    if (first == 0) {
      first = i;
    } else {
      cutEnd = i;
      cut = i - first + 1;
    }
  }
  if (cut == 0) return path;
  return WideToAnsi(w.substr(0, first) + u"..." + w.substr(cutEnd - 1));
}

AnsiString GetRootPath(const AnsiString& path) { return path.empty() ? AnsiString() : path.substr(0, 1) + ":\\"; }

AnsiString ExtractFileNameFaster(const AnsiString& path) {
  // The code page is UTF-8, where a backslash byte is never part of a longer
  // character, so the last backslash byte is the last separator.
  const size_t slash = path.rfind('\\');
  return slash == AnsiString::npos ? path : path.substr(slash + 1);
}

uint32_t NewDiskFree(const AnsiString& rootPath) {
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!GetDiskFreeSpaceA(rootPath.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
    return 0;
  const uint64_t clusterBytes = uint64_t{sectorsPerCluster} * bytesPerSector;
  if (freeClusters != 0 && clusterBytes > 0xFFFFFFFFu / freeClusters) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(clusterBytes * freeClusters);
}

bool IsWinNT() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

int ShellGetIconIndex(const AnsiString& path, DWORD attributes) {
  SHFILEINFOA info{};
  SHGetFileInfoA(path.c_str(), attributes, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_USEFILEATTRIBUTES);
  return info.iIcon;
}

int ShellGetFileInfo(const AnsiString& path, DWORD attributes, AnsiString& typeName) {
  SHFILEINFOA info{};
  SHGetFileInfoA(path.c_str(), attributes, &info, sizeof info,
                 SHGFI_SYSICONINDEX | SHGFI_TYPENAME | SHGFI_USEFILEATTRIBUTES);
  typeName.assign(info.szTypeName, strnlen(info.szTypeName, sizeof info.szTypeName));
  return info.iIcon;
}

bool ShellGetFileType(const AnsiString& path, DWORD attributes, AnsiString& typeName) {
  SHFILEINFOA info{};
  if (!SHGetFileInfoA(path.c_str(), attributes, &info, sizeof info, SHGFI_TYPENAME | SHGFI_USEFILEATTRIBUTES))
    return false;
  typeName.assign(info.szTypeName, strnlen(info.szTypeName, sizeof info.szTypeName));
  return true;
}

void KeepWindowsAlive() { ProcessOneMessage(); }

namespace {

char FoldCase(char c) { return static_cast<unsigned char>(c) < 0x80 ? char(std::tolower(static_cast<unsigned char>(c))) : c; }

}  // namespace

bool MatchWildCard(const AnsiString& Name, const AnsiString& Mask, char OneChar, char AnyRun, bool /*Flag*/) {
  // Greedy match with one backtrack point: linear in practice, never exponential.
  size_t n = 0, m = 0, starM = AnsiString::npos, starN = 0;
  while (n < Name.size()) {
    if (m < Mask.size() && Mask[m] == AnyRun) {
      starM = m++;
      starN = n;
    } else if (m < Mask.size() && (Mask[m] == OneChar || FoldCase(Mask[m]) == FoldCase(Name[n]))) {
      ++m;
      ++n;
    } else if (starM != AnsiString::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < Mask.size() && Mask[m] == AnyRun) ++m;
  return m == Mask.size();
}

AnsiString MakeSafeFileName(const AnsiString& Name) {
  if (Name.empty() || Name == ".") return "_";
  if (Name == "..") return "__";
  AnsiString out = Name;
  // A long name of 255 characters can pass the host's 255-byte limit in
  // UTF-8; cut it at a character boundary rather than fail the save.
  if (out.size() > 255) {
    size_t cut = 255;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  // U+0080..U+009F (C2 80..C2 9F) are control characters too: terminals
  // take some of them as commands when a listing shows the name.
  AnsiString safe;
  safe.reserve(out.size());
  for (size_t i = 0; i < out.size(); ++i) {
    const auto b = static_cast<unsigned char>(out[i]);
    if (b == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(out[i + 1]) <= 0x9F) {
      safe += '_';
      ++i;
    } else {
      safe += b < 0x20 || b == 0x7F || b == '/' || b == '\\' ? '_' : out[i];
    }
  }
  return safe;
}
