// Timelines: body-file lines and the time keys of the JSON listing.
#include "Timeline.h"

#include <charconv>

#include "CliSupport.h"
#include "ItemFacts.h"
#include "Volume.h"
#include "WinApi.h"

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;  // 1970-01-01 counted from 1601

FILETIME AsFileTime(int64_t ticks) {
  return FILETIME{DWORD(uint64_t(ticks) & 0xFFFFFFFF), DWORD(uint64_t(ticks) >> 32)};
}
int64_t TicksOf(const FILETIME& ft) { return int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime); }

// The instant a stamp names, in ticks since 1601 UTC; false for none.
bool InstantOf(const Stamp& s, int64_t& ticks) {
  if (s.kind == Stamp::Kind::None) return false;
  if (s.kind == Stamp::Kind::Instant) {
    ticks = s.ticks;
    return true;
  }
  const FILETIME local = AsFileTime(s.ticks);
  FILETIME utc{};
  if (!LocalFileTimeToFileTime(&local, &utc)) return false;
  ticks = TicksOf(utc);
  return true;
}

// The name column: a '|' in a name (POSIX names may hold one) would end it,
// so it is escaped as shown names escape the rest ('%' is already "%25").
void AppendBodyName(std::string& out, const std::string& path) {
  out += '/';
  for (const char c : path) c == '|' ? out += "%7C" : out += c;
}

// fls's mode: the name's type, '/', the file's type and permissions, where
// read-only takes away the read bits and hidden the write bits. Written the
// same way, lines of both tools merge into one timeline.
void AppendMode(std::string& out, const ItemFacts& f, const ItemTimes& t) {
  const char type = f.dir ? 'd' : 'r';
  out += f.deleted && t.untypedWhenDeleted ? '-' : type;
  out += '/';
  out += type;
  const bool readable = !(f.attributes & FILE_ATTRIBUTE_READONLY), writable = !(f.attributes & FILE_ATTRIBUTE_HIDDEN);
  for (int i = 0; i < 3; ++i) {
    out += readable ? 'r' : '-';
    out += writable ? 'w' : '-';
    out += 'x';
  }
}

void AppendNumber(std::string& out, uint64_t v) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, v).ptr);
}

void AppendLine(std::string& out, const ItemFacts& f, const ItemTimes& t, bool fileName) {
  out += "0|";
  AppendBodyName(out, f.path);
  if (fileName) out += " ($FILE_NAME)";
  if (f.deleted) out += " (deleted)";
  out += '|';
  out += fileName ? t.fnInode : t.inode;
  out += '|';
  AppendMode(out, f, t);
  out += '|';
  AppendNumber(out, t.uid);
  out += "|0|";
  AppendNumber(out, fileName ? t.fnSize : t.size);
  const Stamp* const stamps[2][4] = {{&t.accessed, &t.modified, &t.changed, &t.created},
                                      {&t.fnAccessed, &t.fnModified, &t.fnChanged, &t.fnCreated}};
  for (const Stamp* s : stamps[fileName]) {
    out += '|';
    AppendEpochSeconds(out, *s);
  }
  out += '\n';
}

// ISO 8601 as the listing shows times: an instant in UTC with Z and 100 ns,
// a wall-clock time as it stands (to the 10 ms FAT keeps), a date alone.
void AppendIso(std::string& out, const Stamp& s) {
  if (s.kind == Stamp::Kind::None) {
    out += "null";
    return;
  }
  out += '"';
  const size_t at = out.size();
  AppendFileTimeIso(out, AsFileTime(s.ticks));
  if (s.kind != Stamp::Kind::Instant && out.size() > at && out.back() == 'Z') {
    out.pop_back();
    if (s.kind == Stamp::Kind::WallClockDate) out.resize(at + out.substr(at).find('T'));
    while (out.size() > at && out.find('.', at) != std::string::npos && (out.back() == '0' || out.back() == '.'))
      out.pop_back();
  }
  out += '"';
}

}  // namespace

Stamp Stamp::Instant(const FILETIME& ft) {
  Stamp s;
  s.ticks = TicksOf(ft);
  if (s.ticks > 0) s.kind = Kind::Instant;  // 0 is what a record holds for "never"
  return s;
}

Stamp Stamp::WallClock(uint16_t date, uint16_t time, uint8_t tenMs) {
  Stamp s;
  FILETIME local{};
  if (!DosDateTimeToFileTime(date, time, &local)) return s;
  s.kind = Kind::WallClock;
  // Up to 199 units: the odd second of the 2-second time and its fraction.
  s.ticks = TicksOf(local) + int64_t(tenMs < 200 ? tenMs : 0) * (kTicksPerSecond / 100);
  return s;
}

Stamp Stamp::Date(uint16_t date) {
  Stamp s = WallClock(date, 0);
  if (s.kind != Kind::None) s.kind = Kind::WallClockDate;
  return s;
}

void AppendEpochSeconds(std::string& out, const Stamp& stamp) {
  int64_t ticks = 0;
  if (!InstantOf(stamp, ticks)) {
    out += '0';
    return;
  }
  // Whole seconds and a fraction of at most 7 digits; mactime reads decimals.
  int64_t since = ticks - kUnixEpochTicks;
  if (since < 0) {
    out += '-';
    since = -since;
  }
  AppendNumber(out, uint64_t(since / kTicksPerSecond));
  if (int64_t fraction = since % kTicksPerSecond) {
    char digits[8] = "0000000";
    for (int i = 6; i >= 0; --i, fraction /= 10) digits[i] = char('0' + fraction % 10);
    int n = 7;
    while (digits[n - 1] == '0') --n;
    out += '.';
    out.append(digits, size_t(n));
  }
}

void AppendBodyLines(std::string& out, const ItemFacts& facts, const ItemTimes& times) {
  AppendLine(out, facts, times, false);
  if (times.hasFileName) AppendLine(out, facts, times, true);
}

void AppendTimesJson(std::string& out, const ItemTimes& t) {
  const auto key = [&out](const char* name, const Stamp& s) {
    out += ",\"";
    out += name;
    out += "\":";
    AppendIso(out, s);
  };
  key("atime", t.accessed);
  key("ctime", t.changed);
  key("crtime", t.created);
  if (!t.hasFileName) return;
  out += ",\"file_name\":{\"mtime\":";
  AppendIso(out, t.fnModified);
  key("atime", t.fnAccessed);
  key("ctime", t.fnChanged);
  key("crtime", t.fnCreated);
  out += '}';
}
