// NTFS volumes for the NtfsLib tests: an image made by mkntfs, filled through
// an ntfs-3g mount, and the oracle that walks the mount.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "ScratchDir.h"

// mkntfs image of sizeMiB in dir; false when mkntfs fails.
bool MakeNtfsImage(const std::string& image, int sizeMiB);

// The shared filled volume: made once per test program. mount is empty when
// FUSE is unavailable (tests that need content then skip).
struct FilledVolume {
  std::string image;
  std::string mount;
  std::map<std::string, uint64_t> walk;  // "dir/file" -> size, as the mount shows it
};
const FilledVolume& SharedVolume();

void UnbindRoot(const std::u16string& root);
// A free letter bound to an image file while this lives; root is "X:\" or "" on failure.
struct BoundImage {
  explicit BoundImage(const std::string& path);
  ~BoundImage() { UnbindRoot(root); }
  std::u16string root;
};

// The entries only one side has, for failure messages.
std::string Difference(const std::map<std::string, uint64_t>& got, const std::map<std::string, uint64_t>& want);

// Waits up to 5 s for flag to be set, then sleeps 2 ms more, so that a thread
// that set it just before a call is inside that call.
void WaitFor(const std::atomic<bool>& flag);
