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
