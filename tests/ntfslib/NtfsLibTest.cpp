// NtfsLib through its C interface, against real volumes: what the ntfs-3g
// mount shows, statuses and damaged MFTs (abort: the scanner tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include "NtfsImage.h"
#include "WinApi.h"

namespace {

#define REQUIRE_FILLED_VOLUME()                                                         \
  const FilledVolume& volume = SharedVolume();                                          \
  if (volume.mount.empty()) GTEST_SKIP() << "no FUSE here: ntfs-3g cannot fill the volume"

class BoundImage {
 public:
  explicit BoundImage(const std::string& path, bool asMountFolder = false) : root(BindImage(path, asMountFolder)) {}
  ~BoundImage() { UnbindRoot(root); }
  std::u16string root;
};

// Pieces of the MFT's data: runs in the run list of its record 0.
int MftRuns(const std::string& image) {
  const MftLocation mft = LocateMft(image);
  const auto rec = ReadBytes(image, mft.mftOffset, mft.recordSize);
  int runs = 0;
  for (uint32_t off = rec[0x14] | rec[0x15] << 8; off + 0x48 <= rec.size();) {
    const uint32_t length = rec[off + 4] | rec[off + 5] << 8;
    if (rec[off] == 0x80 && rec[off + 8] != 0) {
      for (uint32_t r = off + (rec[off + 0x20] | rec[off + 0x21] << 8); r < off + length && rec[r]; r += 1 + (rec[r] & 15) + (rec[r] >> 4))
        ++runs;
      break;
    }
    if (rec[off] == 0xFF || length == 0) break;
    off += length;
  }
  return runs;
}

// Through the mount folder, whose raw source the platform finds in the mount
// table (the scanner tests go through the image itself).
TEST(NtfsLib, ReportsExactlyTheFilesTheMountShows) {
  REQUIRE_FILLED_VOLUME();
  ASSERT_GT(volume.walk.size(), 3000u);
  BoundImage bound(volume.mount, true);
  ASSERT_FALSE(bound.root.empty());
  const LibraryScan scan = ScanWithLibrary(bound.root);
  EXPECT_EQ(scan.starts, 1);
  EXPECT_EQ(scan.finishes, 1);
  EXPECT_FALSE(scan.aborted);
  EXPECT_EQ(scan.pathFailures, 0);
  EXPECT_TRUE(scan.files == volume.walk) << Difference(scan.files, volume.walk);
  EXPECT_GT(MftRuns(volume.image), 2) << "the MFT should lie in pieces";
  // One item per name: the file with 121 names is reported 121 times.
  const uint32_t many = scan.recordOf.at("many/f");
  EXPECT_EQ(std::count(scan.records.begin(), scan.records.end(), many), 121);
}

TEST(NtfsLib, StatusesFollowTheCallContract) {
  ScratchDir dir;
  const std::string ntfs = dir / "ntfs.img", fat = dir / "fat.img";
  ASSERT_TRUE(MakeNtfsImage(ntfs, 8));
  ASSERT_TRUE(RunQuietly("truncate -s 8M '" + fat + "' && mkfs.fat '" + fat + "'"));
  BoundImage ntfsRoot(ntfs), fatRoot(fat);
  const std::u16string longForm = u"\\\\?\\" + ntfsRoot.root;
  const struct {
    std::u16string mountPoint;
    int32_t status;
  } mountPoints[] = {
      {ntfsRoot.root, NTFSLIB_OK},
      {longForm, NTFSLIB_OK},
      {ntfsRoot.root.substr(0, 2), NTFSLIB_OK},
      {fatRoot.root, NTFSLIB_E_NOT_NTFS},
      {ntfsRoot.root + u"sub\\", NTFSLIB_E_MOUNTPOINT},
      {u"", NTFSLIB_E_MOUNTPOINT},
  };
  void* h = NtfsLibCreate();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(NtfsLibAbortScan(h), NTFSLIB_OK);  // nothing running
  EXPECT_EQ(NtfsLibScanVolume(h), NTFSLIB_E_NO_VOLUME);
  for (const auto& c : mountPoints) EXPECT_EQ(NtfsLibSetMountPoint(h, c.mountPoint.c_str()), c.status) << Utf8(c.mountPoint);
  EXPECT_EQ(NtfsLibScanVolume(h), NTFSLIB_E_NO_VOLUME) << "a refused mount point leaves none";
  UnbindRoot(fatRoot.root);
  EXPECT_EQ(NtfsLibSetMountPoint(h, fatRoot.root.c_str()), NTFSLIB_E_MOUNTPOINT) << "unbound letter";

  NtfsLibFindData item{};
  NtfsLibChar* path = nullptr;
  EXPECT_EQ(NtfsLibGetItemPath(&item, &path), NTFSLIB_E_NO_ITEM) << "outside an item callback";
  EXPECT_EQ(NtfsLibSetMountPoint(nullptr, ntfsRoot.root.c_str()), NTFSLIB_E_HANDLE);
  EXPECT_EQ(NtfsLibScanVolume(nullptr), NTFSLIB_E_HANDLE);
  EXPECT_EQ(NtfsLibDestroy(h), NTFSLIB_OK);

  // An empty volume: start and finish, no item, twice in a row on one handle.
  int32_t status = -1;
  const LibraryScan empty = ScanWithLibrary(ntfsRoot.root, &status);
  EXPECT_EQ(status, NTFSLIB_OK);
  EXPECT_EQ(empty.starts, 1);
  EXPECT_EQ(empty.finishes, 1);
  EXPECT_TRUE(empty.records.empty());
}

// A copy of the filled image with bytes of chosen records changed.
class DamagedImage {
 public:
  DamagedImage() : path(dir / "damaged.img") {
    std::filesystem::copy_file(SharedVolume().image, path);
    mft = LocateMft(path);
  }
  void Patch(uint32_t record, uint32_t offset, std::vector<uint8_t> bytes) {
    WriteBytes(path, mft.Record(record) + offset, bytes);
  }
  void Patch64(uint32_t record, uint32_t offset, uint64_t v) {
    std::vector<uint8_t> b(8);
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
    Patch(record, offset, b);
  }
  // Offset of the first attribute of a type in a record, 0 when none.
  uint32_t AttributeOffset(uint32_t record, uint32_t type) {
    const auto rec = ReadBytes(path, mft.Record(record), mft.recordSize);
    for (uint32_t off = rec[0x14] | rec[0x15] << 8; off + 8 <= rec.size();) {
      const uint32_t t = rec[off] | rec[off + 1] << 8 | rec[off + 2] << 16 | uint32_t(rec[off + 3]) << 24;
      const uint32_t len = rec[off + 4] | rec[off + 5] << 8;
      if (t == type) return off;
      if (t == 0xFFFFFFFF || len == 0) break;
      off += len;
    }
    return 0;
  }
  ScratchDir dir;
  std::string path;
  MftLocation mft;
};

uint32_t FolderRecord(const LibraryScan& s, const std::string& file) { return s.recordOf.at(file); }

TEST(NtfsLib, DamagedMftsEndTheScanCleanly) {
  REQUIRE_FILLED_VOLUME();
  BoundImage original(volume.image);
  const LibraryScan whole = ScanWithLibrary(original.root);
  const uint32_t links = FolderRecord(whole, "links"), other = FolderRecord(whole, "other");
  const uint32_t orig = FolderRecord(whole, "links/orig"), top = FolderRecord(whole, "top.txt");
  constexpr uint32_t kParent = 0x18;  // value offset of the parent reference in a name
  const struct Case {
    const char* what;
    std::function<void(DamagedImage&)> damage;
    std::function<void(const LibraryScan&)> expect;
  } cases[] = {
      {"MFT record 0 not a FILE record", [](DamagedImage& d) { d.Patch(0, 0, {'B', 'A', 'A', 'D'}); },
       [](const LibraryScan& s) { EXPECT_TRUE(s.records.empty()); }},
      {"torn record: check word differs", [&](DamagedImage& d) { d.Patch(top, 510, {0xEE, 0xEE}); },
       [&](const LibraryScan& s) { EXPECT_EQ(s.files.count("top.txt"), 0u); }},
      {"MFT run list past the volume end",
       [](DamagedImage& d) {
         const uint32_t data = d.AttributeOffset(0, 0x80);
         const auto rec = ReadBytes(d.path, d.mft.Record(0) + data + 0x20, 2);
         d.Patch(0, data + (rec[0] | rec[1] << 8), {0x48, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
       },
       [](const LibraryScan& s) { EXPECT_TRUE(s.records.empty()); }},
      {"attribute length beyond the record",
       [&](DamagedImage& d) { d.Patch(top, d.AttributeOffset(top, 0x30) + 4, {0xFF, 0xFF, 0, 0}); },
       [&](const LibraryScan& s) { EXPECT_EQ(s.files.count("top.txt"), 0u); }},
      {"name longer than its value",
       [&](DamagedImage& d) { d.Patch(top, d.AttributeOffset(top, 0x30) + 0x18 + 0x40, {0xFF}); },
       [&](const LibraryScan& s) { EXPECT_EQ(s.files.count("top.txt"), 0u); }},
      {"two folders that are each other's parent",
       [&](DamagedImage& d) {
         d.Patch64(links, d.AttributeOffset(links, 0x30) + kParent, other);
         d.Patch64(other, d.AttributeOffset(other, 0x30) + kParent, links);
       },
       [&](const LibraryScan& s) {
         EXPECT_EQ(s.files.count("links/orig"), 0u);
         bool orphaned = false;
         for (const auto& [path, size] : s.files) orphaned |= path.rfind("$Orphans/", 0) == 0 && size == 700;
         EXPECT_TRUE(orphaned);
       }},
      {"parent reused: its sequence number moved on",
       [&](DamagedImage& d) { d.Patch(links, 0x10, {0x77, 0x77}); },
       [&](const LibraryScan& s) {
         EXPECT_EQ(s.files.count("$Orphans/orig"), 1u);
         EXPECT_EQ(s.files.count("other/alias two"), 1u) << "its other name is still in place";
       }},
      {"file record freed", [&](DamagedImage& d) { d.Patch(orig, 0x16, {0}); },
       [&](const LibraryScan& s) {
         EXPECT_EQ(s.files.count("links/orig") + s.files.count("other/alias two"), 0u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DamagedImage d;
    c.damage(d);
    BoundImage bound(d.path);
    const LibraryScan s = ScanWithLibrary(bound.root);
    EXPECT_EQ(s.starts, 1);
    EXPECT_EQ(s.finishes, 1);
    c.expect(s);
  }
}

// Random bytes over the first records: whatever happens, the scan ends with
// one start and one finish (and the sanitizers see no stray read).
TEST(NtfsLib, RandomDamageNeverEscapesTheMft) {
  REQUIRE_FILLED_VOLUME();
  std::mt19937 rng(20261205);
  DamagedImage d;
  const auto pristine = ReadBytes(d.path, d.mft.mftOffset, 200 * d.mft.recordSize);
  for (int round = 0; round < 40; ++round) {
    auto bytes = pristine;
    for (int i = 0; i < 200; ++i) bytes[rng() % bytes.size()] = uint8_t(rng());
    WriteBytes(d.path, d.mft.mftOffset, bytes);
    BoundImage bound(d.path);
    const LibraryScan s = ScanWithLibrary(bound.root);
    ASSERT_EQ(s.starts, 1) << "round " << round;
    ASSERT_EQ(s.finishes, 1) << "round " << round;
  }
}

}  // namespace
