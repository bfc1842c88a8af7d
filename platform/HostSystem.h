// What the command-line program asks of the system it runs on besides the
// library's Windows calls: host paths, its standard streams and Ctrl-C.
// Plain C++ types only, so that the program includes no system header and
// each system's implementation may include its own.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The program's arguments as UTF-8, with stdout and stderr made ready to carry
// bytes unchanged (no line-end translation). Called once, first thing in main.
std::vector<std::string> StartHostProgram(int argc, char** argv);

// Host paths are UTF-8 on both systems.
enum class HostPathKind { Missing, Folder, File, Device, Other };
// The absolute form of path with links, "." and ".." resolved, and what it
// names (links followed). False with the reason when it can't be, in the C
// runtime's words where it has them ("No such file or directory").
bool ResolveHostPath(const std::string& path, std::string& resolved, HostPathKind& kind, std::string& reason);
HostPathKind HostPathKindOf(const std::string& path);
// The type and source of what is mounted on folder dir (a resolved path), the
// last mount there where several are: "ext4" and "/dev/sda2" on Linux, the
// file system and the volume's name on Windows. False when dir is no mount point.
bool HostMountAt(const std::string& dir, std::string& type, std::string& source);
// Whether path itself is a symbolic link (on Windows: any reparse point).
bool IsHostLink(const std::string& path);
bool MakeHostFolder(const std::string& path);
// Only an empty folder goes.
bool RemoveHostFolder(const std::string& path);
// Why the last host call failed, in the same words ("" when nothing is
// recorded since ClearHostError).
void ClearHostError();
std::string HostErrorText();

enum class HostStream { Out, Err };
bool IsTerminal(HostStream stream);

// Ctrl-C: the first one calls onInterrupt outside any signal context (it may
// lock and wait); the second one ends the process at once with status 130.
// Installing again replaces the callback; null keeps only the flag.
void InstallInterruptHandler(std::function<void()> onInterrupt);
bool Interrupted();
