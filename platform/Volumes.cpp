#include "Volumes.h"

#include <array>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>

#include "RawDevices.h"

namespace {

// Host paths below a letter's folder are written the system's way.
#ifdef _WIN32
constexpr char kHostSeparator = '\\';
#else
constexpr char kHostSeparator = '/';
#endif

struct Namespace {
  std::mutex lock;
  std::array<std::optional<DriveBinding>, 26> letters;
  std::map<unsigned, DriveBinding> physical;

  Namespace() {
#ifndef _WIN32
    // Every host path is reachable as Z:\... ; Windows has its own letters.
    DriveBinding root;
    root.rootDir = "/";
    letters['Z' - 'A'] = root;
#endif
  }
};

std::atomic<uint64_t> generation{0};

Namespace& Table() {
  static Namespace table;
  return table;
}

int LetterIndex(char letter) {
  const char up = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  return (up >= 'A' && up <= 'Z') ? up - 'A' : -1;
}

}  // namespace

bool BindDriveLetter(char letter, DriveBinding binding) {
  const int i = LetterIndex(letter);
  if (i < 0) return false;
  if (!binding.rootDir.empty() && !binding.raw) {
    std::string fsName;
    binding.raw = RawSourceForMountPoint(binding.rootDir, fsName);
    if (binding.fileSystemName.empty()) binding.fileSystemName = fsName;
  }
  auto& t = Table();
  std::lock_guard guard(t.lock);
  t.letters[i] = std::move(binding);
  ++generation;
  return true;
}

void UnbindDriveLetter(char letter) {
  const int i = LetterIndex(letter);
  if (i < 0) return;
  auto& t = Table();
  std::lock_guard guard(t.lock);
  t.letters[i].reset();
  ++generation;
}

std::optional<DriveBinding> GetDriveBinding(char letter) {
  const int i = LetterIndex(letter);
  if (i < 0) return std::nullopt;
  auto& t = Table();
  std::lock_guard guard(t.lock);
  return t.letters[i];
}

uint64_t VolumeBindingsGeneration() { return generation.load(); }

char FindFreeDriveLetter() {
  auto& t = Table();
  const uint32_t taken = SystemDriveLetters();
  std::lock_guard guard(t.lock);
  for (int i = 'Y' - 'A'; i >= 0; --i)
    if (!t.letters[i] && !(taken & (1u << i))) return static_cast<char>('A' + i);
  return 0;
}

bool BindPhysicalDrive(unsigned number, std::shared_ptr<RawSource> raw, uint32_t sectorSize, UINT driveType) {
  if (!raw) return false;
  DriveBinding b;
  b.raw = std::move(raw);
  b.sectorSize = sectorSize;
  b.driveType = driveType;
  auto& t = Table();
  std::lock_guard guard(t.lock);
  t.physical[number] = std::move(b);
  ++generation;
  return true;
}

void UnbindPhysicalDrive(unsigned number) {
  auto& t = Table();
  std::lock_guard guard(t.lock);
  t.physical.erase(number);
  ++generation;
}

std::optional<DriveBinding> GetPhysicalDriveBinding(unsigned number) {
  auto& t = Table();
  std::lock_guard guard(t.lock);
  auto it = t.physical.find(number);
  if (it == t.physical.end()) return std::nullopt;
  return it->second;
}

std::string StripLongPathPrefix(const std::string& path) {
  if (path.size() >= 4 && path.compare(0, 4, "\\\\?\\") == 0) return path.substr(4);
  return path;
}

std::string HostPathFromWindowsPath(const std::string& windowsPath) {
  const std::string p = StripLongPathPrefix(windowsPath);
  if (p.size() < 2 || p[1] != ':') return {};
  auto binding = GetDriveBinding(p[0]);
  if (!binding || binding->rootDir.empty()) return {};
  std::string host = binding->rootDir;
  std::string rest = p.substr(2);
  // Resolve "." and ".." lexically so a path never leaves the letter's root.
  std::string out;
  std::string comp;
  auto flush = [&] {
    if (comp.empty() || comp == ".") {
    } else if (comp == "..") {
      const auto cut = out.rfind(kHostSeparator);
      out.erase(cut == std::string::npos ? 0 : cut);
    } else {
      out += kHostSeparator;
      out += comp;
    }
    comp.clear();
  };
  for (const char c : rest) {
    if (c == '\\' || c == '/')
      flush();
    else
      comp += c;
  }
  flush();
  const bool trailing = !rest.empty() && (rest.back() == '/' || rest.back() == '\\');
  while (host.size() > 1 && (host.back() == '/' || host.back() == kHostSeparator)) host.pop_back();
  if (host == "/") host.clear();
  std::string result = host + out;
  if (trailing || result.empty() || result.back() == ':') result += kHostSeparator;
  return result;
}
