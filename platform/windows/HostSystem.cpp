// The program's host calls on Windows: UTF-16 paths, the console and its
// Ctrl-C. Paths travel as UTF-8 and meet the system as UTF-16, so any name
// works whatever the ANSI code page.
#include "HostSystem.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "NativeSys.h"
#include "WinApi.h"

namespace {

WideString Wide(const std::string& path) { return HostNameToWide(path.data(), path.size()); }

HostPathKind KindOf(DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES) return HostPathKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? HostPathKind::Folder : HostPathKind::File;
}

// "\\.\X:" and "\\.\PhysicalDriveN" name devices, which have no attributes.
bool IsDevicePath(const std::string& path) {
  return path.size() > 4 && (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0);
}

// The C runtime's words for the common failures, as the Linux program gives
// them ("No such file or directory"); the system's for the rest.
std::string ReasonOf(DWORD code) {
  int error = 0;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case 123:  // ERROR_INVALID_NAME
    case 161:  // ERROR_BAD_PATHNAME
      error = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case 32:  // ERROR_SHARING_VIOLATION
      error = EACCES;
      break;
    case 267:  // ERROR_DIRECTORY
      error = ENOTDIR;
      break;
    case ERROR_FILE_EXISTS:
    case 183:  // ERROR_ALREADY_EXISTS
      error = EEXIST;
      break;
    case 206:  // ERROR_FILENAME_EXCED_RANGE
      error = ENAMETOOLONG;
      break;
    default:
      return SysErrorMessage(code);
  }
  return std::strerror(error);
}

}  // namespace

std::vector<std::string> StartHostProgram(int argc, char** argv) {
  native::UseBinaryStreams();
  std::vector<std::string> args;
  for (const auto& arg : native::CommandLineArguments()) args.push_back(WideToHostName(arg.data(), arg.size()));
  if (args.empty()) args.assign(argv, argv + argc);
  return args;
}

bool ResolveHostPath(const std::string& path, std::string& resolved, HostPathKind& kind, std::string& reason) {
  if (IsDevicePath(path)) {
    resolved = path;
    kind = HostPathKind::Device;
    return true;
  }
  const WideString wide = Wide(path);
  const std::u16string final = native::FinalPath(wide.c_str());
  const DWORD attributes = final.empty() ? INVALID_FILE_ATTRIBUTES : native::PathAttributes(final.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    reason = ReasonOf(GetLastError());
    return false;
  }
  resolved = WideToHostName(final.data(), final.size());
  kind = KindOf(attributes);
  return true;
}

HostPathKind HostPathKindOf(const std::string& path) {
  if (IsDevicePath(path)) return HostPathKind::Device;
  return KindOf(native::PathAttributes(Wide(path).c_str()));
}

bool HostMountAt(const std::string& dir, std::string& type, std::string& source) {
  std::u16string fileSystem, volumeName;
  if (!native::VolumeMountedAt(Wide(dir).c_str(), fileSystem, volumeName)) return false;
  type = WideToHostName(fileSystem.data(), fileSystem.size());
  source = WideToHostName(volumeName.data(), volumeName.size());
  return true;
}

bool IsHostLink(const std::string& path) {
  const DWORD attributes = native::PathAttributes(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakeHostFolder(const std::string& path) { return native::MakeFolder(Wide(path).c_str()); }

bool RemoveHostFolder(const std::string& path) { return native::RemoveFolder(Wide(path).c_str()); }

void ClearHostError() { SetLastError(ERROR_SUCCESS); }

std::string HostErrorText() {
  const DWORD code = GetLastError();
  return code == ERROR_SUCCESS ? "" : ReasonOf(code);
}

bool IsTerminal(HostStream stream) { return native::IsConsole(stream == HostStream::Out); }

namespace {

std::atomic<bool> interrupted{false};
std::mutex interruptLock;
std::function<void()> interruptCallback;

void OnInterrupt() {
  if (interrupted.exchange(true)) native::ExitNow(130);  // second Ctrl-C: leave at once
  std::function<void()> callback;
  {
    std::lock_guard guard(interruptLock);
    callback = interruptCallback;
  }
  if (callback) callback();
}

}  // namespace

void InstallInterruptHandler(std::function<void()> onInterrupt) {
  std::lock_guard guard(interruptLock);
  interruptCallback = std::move(onInterrupt);
  static std::once_flag installed;
  std::call_once(installed, [] { native::OnConsoleInterrupt(OnInterrupt); });
}

bool Interrupted() { return interrupted.load(); }
