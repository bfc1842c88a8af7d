#include "Names.h"

#include <array>
#include <cstdint>

namespace {

const char kHex[] = "0123456789ABCDEF";

// Code page 437, bytes $80..$FF.
const char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void AppendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
size_t Utf8SequenceAt(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
  const unsigned c = b(0);
  auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return b(k) >= lo && b(k) <= hi; };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (c >= 0xE1 && c <= 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

bool IsUtf8(std::string_view s) {
  for (size_t i = 0, n; i < s.size(); i += n)
    if ((n = Utf8SequenceAt(s, i)) == 0) return false;
  return true;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void AppendShownName(std::string& out, std::string_view name, bool shortName) {
  if (name.empty()) {
    out += '%';
    return;
  }
  if (name == "." || name == "..") {
    out += name.size() == 1 ? "%2E" : "%2E%2E";
    return;
  }
  // Whether the bytes are code page 437 is asked at the first byte above $7F:
  // most names have none.
  int cp437 = shortName ? -1 : 0;
  auto isCp437 = [&] {
    if (cp437 < 0) cp437 = IsUtf8(name) ? 0 : 1;
    return cp437 == 1;
  };
  // Printable ASCII but '%', '/' and '\', looked up: this runs on every byte listed.
  static constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c) plain[size_t(c)] = c != '%' && c != '/' && c != '\\';
    return plain;
  }();
  auto plain = [](unsigned char c) { return kPlain[c]; };
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (plain(c)) {  // runs of printable ASCII, the common case, in one append
      size_t end = i + 1;
      while (end < name.size() && plain(static_cast<unsigned char>(name[end]))) ++end;
      out.append(name.data() + i, end - i);
      i = end - 1;
    } else if (IsControl(c) || c == '%' || c == '/' || c == '\\') {
      AppendEscaped(out, c);
    } else if (isCp437()) {
      AppendUtf8(out, kCp437High[c - 0x80]);
    } else if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) < 0xA0) {
      AppendEscaped(out, c);  // U+0080..U+009F: terminals take some of them as commands
      AppendEscaped(out, static_cast<unsigned char>(name[++i]));
    } else if (const size_t n = Utf8SequenceAt(name, i); n == 0) {
      AppendEscaped(out, c);
    } else {
      out.append(name.data() + i, n);
      i += n - 1;
    }
  }
}

std::string ShownName(const std::string& name) {
  std::string out;
  AppendShownName(out, name);
  return out;
}

std::string TypedName(const std::string& component) {
  if (component == "%") return "";
  std::string out;
  for (size_t i = 0; i < component.size(); ++i) {
    int hi, lo;
    if (component[i] == '%' && i + 2 < component.size() &&
        (hi = HexValue(component[i + 1])) >= 0 && (lo = HexValue(component[i + 2])) >= 0) {
      out += char(hi * 16 + lo);
      i += 2;
    } else {
      out += component[i];
    }
  }
  return out;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (size_t i = 0, n; i < text.size(); i += n) {
    n = Utf8SequenceAt(text, i);
    const auto c = static_cast<unsigned char>(text[i]);
    if (n == 0 || IsControl(c) || (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      AppendEscaped(out, c);
      n = 1;
    } else {
      out.append(text, i, n);
    }
  }
  return out;
}
