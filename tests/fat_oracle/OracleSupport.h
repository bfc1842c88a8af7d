// What the FAT oracle tests share: the fixture images (built once per build
// folder by tests/fixtures/make_fat_fixtures.sh), The Sleuth Kit's listing
// and a FAT image mounted the way the scanner and the program mount it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Diskfs.h"
#include "ImageDevice.h"
#include "ItemText.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

namespace oracle {

// The folder holding fat12.img, fat16.img and fat32.img; builds them on first use.
const std::string& FixtureDir();
std::string FixtureImage(const std::string& name);  // "fat16" -> ".../fat16.img"
const std::vector<std::string>& FixtureNames();     // fat12, fat16, fat32

using Entry = Listed;

// The Sleuth Kit's listing with deleted items; the volume label left out.
std::vector<Entry> TskListing(const std::string& image);

// A FAT image behind a free drive letter, mounted as a TFATdrive on a TDevice.
class MountedImage {
 public:
  explicit MountedImage(const std::string& image);
  bool mounted() const { return mounted_; }
  // ScanDrive("*", includeDeleted, deletedOnly) collected in report order.
  std::vector<Entry> Scan(bool includeDeleted, bool deletedOnly = false);
  // All bytes of a file read through BlockRead in 64 KiB pieces.
  std::string ReadAll(TFATFile& file, uint8_t fatNumber);

 private:
  ImageDevice image_;
  bool mounted_ = false;
  std::unique_ptr<TFATdrive> drive_;
};

std::string ToLowerAscii(std::string s);

}  // namespace oracle
