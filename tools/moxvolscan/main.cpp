// moxvolscan: list volumes and disk images, find deleted files, get them back.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Command.h"
#include "HostSystem.h"

namespace {

std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

void PrintHelp(FILE* out) {
  std::fprintf(out,
               "Usage: moxvolscan COMMAND [ARGS...]\n"
               "Scan volumes and FAT/NTFS images, list deleted items, read and save files.\n\n"
               "Commands:\n");
  auto commands = RegisteredCommands();
  std::sort(commands.begin(), commands.end(), [](auto& a, auto& b) { return a.name < b.name; });
  for (const auto& c : commands) std::fprintf(out, "  %-8s %s\n", c.name.c_str(), c.summary.c_str());
  std::fprintf(out,
               "\nRun 'moxvolscan COMMAND --help' for a command's options.\n"
               "Exit status: 0 success, 1 failure, 2 usage error.\n");
}

}  // namespace

CommandRegistrar::CommandRegistrar(Command command) { Registry().push_back(std::move(command)); }

const std::vector<Command>& RegisteredCommands() { return Registry(); }

int main(int argc, char** argv) {
  const std::vector<std::string> argv8 = StartHostProgram(argc, argv);
  if (argv8.size() < 2) {
    PrintHelp(stderr);
    return kExitUsage;
  }
  const std::string& first = argv8[1];
  if (first == "--help" || first == "-h" || first == "help") {
    PrintHelp(stdout);
    return kExitOk;
  }
  if (first == "--version" || first == "-V") {
    std::printf("moxvolscan %s\n", MOX_VERSION);
    return kExitOk;
  }
  for (const auto& c : RegisteredCommands()) {
    if (c.name != first) continue;
    std::vector<std::string> args(argv8.begin() + 2, argv8.end());
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
      std::printf("Usage: moxvolscan %s\n\n%s\n", c.usage.c_str(), c.help.c_str());
      return kExitOk;
    }
    return c.run(args);
  }
  std::fprintf(stderr, "moxvolscan: unknown command '%s' (try 'moxvolscan --help')\n", first.c_str());
  return kExitUsage;
}
