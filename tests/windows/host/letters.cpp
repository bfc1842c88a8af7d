// A Windows host of the installed package: scans the drive letter it is
// given with the back-end it is told, and prints every file as one JSON line
// (path, size, mtime, attributes), as `moxvolscan scan --json` does, so the
// two can be compared line by line.
//   letters find|ntfs|vfat X
#include <moxvolscan/MoxVolScan.h>
#include <moxvolscan/MoxVolumeScanner.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <string>

namespace {

std::string Utf8(const WideString& wide) {
  std::string out;
  for (size_t i = 0; i < wide.size(); ++i) {
    uint32_t c = wide[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size())
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6), out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12), out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18), out += char(0x80 | (c >> 12 & 0x3F));
      out += char(0x80 | (c >> 6 & 0x3F)), out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Json(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') out += '\\', out += char(c);
    else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else out += char(c);
  }
  return out;
}

std::string Iso(const FILETIME& ft) {
  const uint64_t ticks = uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
  if (ticks == 0) return "";
  const __time64_t seconds = __time64_t(ticks / 10'000'000) - 11'644'473'600;
  struct tm utc {};
  if (_gmtime64_s(&utc, &seconds) != 0) return "?";
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
  std::string out = buf;
  if (const uint64_t fraction = ticks % 10'000'000) {
    std::snprintf(buf, sizeof buf, ".%07llu", static_cast<unsigned long long>(fraction));
    out += buf;
  }
  return out + "Z";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strlen(argv[2]) != 1) {
    std::fprintf(stderr, "usage: letters find|ntfs|vfat LETTER\n");
    return 2;
  }
  const std::string api = argv[1];
  const TMoxVolumeScannerAPI kind = api == "find" ? vsaFind : api == "ntfs" ? vsaNTFS : vsaVFAT;
  Initialize();
  std::string lines;
  std::promise<bool> finished;
  auto callbacks = MoxCreateVolumeScannerCallbacks(
      nullptr,
      [&](IMoxVolumeScanner* scanner, const WIN32_FIND_DATAW& item) {
        std::string folder = Utf8(scanner->GetCurrentPath());
        for (char& c : folder)
          if (c == '\\') c = '/';
        size_t units = 0;
        while (units < MAX_PATH && item.cFileName[units]) ++units;
        const uint64_t size = uint64_t(item.nFileSizeHigh) << 32 | item.nFileSizeLow;
        lines += "{\"path\":\"" + Json(folder + Utf8(WideString(item.cFileName, units))) +
                 "\",\"size\":" + std::to_string(size) + ",\"mtime\":\"" + Iso(item.ftLastWriteTime) +
                 "\",\"attributes\":" + std::to_string(item.dwFileAttributes) + "}\n";
      },
      [&](IMoxVolumeScanner*, bool aborted) { finished.set_value(aborted); });
  auto scanner = MoxCreateVolumeScanner(WideString(1, char16_t(argv[2][0])) + u":\\", callbacks, kind);
  if (!scanner || !scanner->ScanVolume()) {
    std::fprintf(stderr, "letters: cannot scan %s: with %s (error %u)\n", argv[2], argv[1],
                 unsigned(GetLastError()));
    return 1;
  }
  const bool aborted = finished.get_future().get();
  _setmode(_fileno(stdout), _O_BINARY);  // "\n" as on Linux, not "\r\n"
  std::fwrite(lines.data(), 1, lines.size(), stdout);
  scanner.reset();
  Finalize();
  return aborted ? 1 : 0;
}
