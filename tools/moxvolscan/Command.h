// Each sub-command of moxvolscan lives in its own file and registers itself
// with a static CommandRegistrar; main.cpp only dispatches.
#pragma once

#include <string>
#include <vector>

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Command {
  std::string name;     // "scan"
  std::string usage;    // "scan PATH [--json | --count] [--api find|vfat|ntfs|auto]"
  std::string summary;  // one line for --help
  std::string help;     // full text for "moxvolscan CMD --help"
  int (*run)(const std::vector<std::string>& args);  // args after the command name
};

struct CommandRegistrar {
  explicit CommandRegistrar(Command command);
};

const std::vector<Command>& RegisteredCommands();
