// NTFS volumes for the NtfsLib tests: an image made by mkntfs, filled through
// an ntfs-3g mount, and the oracle that walks the mount.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "NtfsLib.h"
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

// Binds a free letter to an image file (or a mount folder); "X:\" or "" on failure.
std::u16string BindImage(const std::string& path, bool asMountFolder = false);
void UnbindRoot(const std::u16string& root);

// What one library scan reported, collected on its thread.
struct LibraryScan {
  int starts = 0, finishes = 0, pathFailures = 0;
  bool aborted = false;
  std::map<std::string, uint64_t> files;  // "dir/file" -> size, folders left out
  std::vector<uint32_t> records;          // record number of every item, in order
  std::map<std::string, uint32_t> recordOf;
};
// Scans root with a fresh handle to its end; status of NtfsLibSetMountPoint in *mountStatus.
LibraryScan ScanWithLibrary(const std::u16string& root, int32_t* mountStatus = nullptr);

// Where the records of the MFT's first extent lie, to patch a copy of an image.
struct MftLocation {
  uint64_t mftOffset = 0;
  uint32_t recordSize = 0;
  uint64_t Record(uint32_t n) const { return mftOffset + uint64_t(n) * recordSize; }
};
MftLocation LocateMft(const std::string& image);
std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t len);
void WriteBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);

std::string Utf8(const std::u16string& s);

// The entries only one side has, for failure messages.
std::string Difference(const std::map<std::string, uint64_t>& got, const std::map<std::string, uint64_t>& want);
