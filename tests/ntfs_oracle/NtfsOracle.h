// What the NTFS oracle tests share: the fixture images (made by
// tests/fixtures/ntfs/make_ntfs_fixtures.sh, kept compressed, unpacked into
// the build folder), what The Sleuth Kit and ntfsundelete say about them, and
// the same images mounted as a TNTFSdrive the way the program mounts them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "ItemText.h"
#include "Ntfs.h"

namespace ntfsoracle {

const std::vector<std::string>& FixtureNames();  // ntfs512, ntfs4k, ntfs64k
// The unpacked image of a fixture; unpacks the committed copy on first use.
std::string FixtureImage(const std::string& name);

// What the manifest written with the images says about one of them.
struct Manifest {
  uint32_t clusterBytes = 0;
  uint32_t liveItems = 0;         // live items outside the $-files, as fls counts them
  uint64_t reusedParent = 0;      // the folder record a newer folder took over
  std::vector<uint64_t> deleted;  // records of the deleted items that keep a name
};
// Parses the [NAME.img] section of a manifest file; empty when it is missing.
Manifest ReadManifest(const std::string& manifestPath, const std::string& name);
std::string CommittedManifest();  // tests/fixtures/ntfs/manifest.txt

using Entry = Listed;

// "fls -r -p -l": live items (deleted = false) or deleted ones; the $-files,
// their folders and alternate streams left out. Orphans keep their
// "$OrphanFiles/" path, records without a name as "$OrphanFiles/OrphanFile-N".
std::vector<Entry> TskListing(const std::string& image, bool deleted);

// One row of "ntfsundelete --scan" that has a name.
struct UndeleteRow {
  uint64_t record = 0;
  bool dir = false;
  int percent = 0;  // ntfsundelete's estimate of what is recoverable
  uint64_t size = 0;
  std::string name;
};
std::vector<UndeleteRow> UndeleteScan(const std::string& image);

// "icat IMAGE RECORD": the unnamed data of a record, live or free.
std::string Icat(const std::string& image, uint64_t record);

// Why the generator cannot run here (it mounts through FUSE as root); "" when it can.
std::string WhyNoRegeneration();
// Rebuilds one fixture and its manifest into dir: 0 when done, 77 when it
// cannot mount here after all, else a failure; err gets the generator's errors.
int Regenerate(const std::string& dir, const std::string& name, std::string& err);

// An image mounted as a TNTFSdrive on a TDevice, POSIX-only names listed as the program does.
class MountedNtfs {
 public:
  explicit MountedNtfs(const std::string& image);
  bool mounted() const { return mounted_; }
  TNTFSdrive& drive() { return *drive_; }
  // ScanDrive("*", includeDeleted, deletedOnly) in report order.
  std::vector<Entry> Scan(bool includeDeleted, bool deletedOnly);
  // The unnamed data of a record through blockread, 64 KiB at a time.
  std::string ReadAll(uint64_t record, int64_t size);

 private:
  bool mounted_ = false;
  std::unique_ptr<ImageDevice> device_;
  std::unique_ptr<TNTFSdrive> drive_;  // declared after its device, so freed before it
};

}  // namespace ntfsoracle
