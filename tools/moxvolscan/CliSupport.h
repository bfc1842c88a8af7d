// What every moxvolscan command shares: option parsing, binding a host path to
// a drive letter, JSON and time formatting, the progress line, Ctrl-C.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostSystem.h"
#include "WinTypes.h"

// Options: "--name" flags and "--name VALUE" (or "--name=VALUE") options,
// everything else positional. Unknown options are a usage error.
struct ParsedArgs {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // flags map to ""
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const;
};
// flags: names without values; valued: names taking a value. On a usage error
// prints one line to stderr and returns nullopt.
std::optional<ParsedArgs> ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                                    const std::vector<std::string>& valued);

// Where on a whole disk a command's volume lies: a partition of its table, or
// a start sector for a volume whose table entry is lost.
struct DiskPlace {
  unsigned partition = 0;          // numbered as Linux numbers them; 0 for none
  std::optional<uint64_t> sector;  // in the disk's sectors
  // Names the command on the lines saying what the table reader skipped or
  // mended; null keeps them quiet (a second look at the same disk).
  const char* command = nullptr;
};

// Binds a free drive letter to a host directory (as the letter's root) or to
// an image file or block device (as its read-only raw source). A whole
// partitioned disk needs a partition or a sector: the letter then holds the
// volume there. Returns the letter, or 0 with a one-line error ("PATH:
// reason") in error.
char BindHostPath(const std::string& hostPath, std::string& error, const DiskPlace& place = {});

struct DriveBinding;
// binding.raw, a disk opened from hostPath, narrowed to the volume at place,
// with the sector size it has. False with a one-line error for a partitioned
// disk without a place (listing its partitions), a partition not on it, or a
// sector with no FAT or NTFS boot sector.
bool SelectPartition(const std::string& hostPath, DriveBinding& binding, const DiskPlace& place,
                     std::string& error);

std::string JsonEscape(const std::string& utf8);
// "2024-05-01T12:00:00Z", with 7 fraction digits when the time has any
// ("2024-05-01T12:00:00.1234567Z"); "" for 0.
std::string FileTimeToIso(const FILETIME& ft);
std::string Utf16ToUtf8(const std::u16string& s);
// Allocation-free forms of the two above for per-file output.
void AppendJsonEscaped(std::string& out, const char* utf8, size_t len);
void AppendFileTimeIso(std::string& out, const FILETIME& ft);

// Runs the module's start-up for the lifetime of a command.
struct ModuleSession {
  ModuleSession();
  ~ModuleSession();
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;
};

// True while stderr is a terminal; the line is redrawn at most ~10 times a second.
class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine();  // clears the line
  bool enabled() const { return enabled_; }
  void Update(const std::string& text);
  void Clear();

 private:
  bool enabled_;
  uint64_t lastMs_ = 0;
  bool shown_ = false;
};
