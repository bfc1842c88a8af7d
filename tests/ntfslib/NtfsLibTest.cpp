// NtfsLib through its C interface: statuses and damaged MFTs (full listings
// and abort: the scanner tests; hostile bytes: the fuzz target).
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>

#include "../scanner/Recorder.h"
#include "MoxVolumeScannerNTFS.h"
#include "NtfsImage.h"
#include "NtfsLib.h"
#include "WinApi.h"

namespace {

// What one library scan reported, by "dir/name".
struct LibraryScan {
  int starts = 0, finishes = 0;
  bool aborted = false;
  std::map<std::string, uint32_t> recordOf;
};

// Scans root with a fresh handle to its end. The callbacks run on the scan
// thread; the lock taken at the finish publishes what they wrote before it.
LibraryScan ScanWithLibrary(const std::u16string& root) {
  struct Collector {
    LibraryScan scan;
    std::mutex lock;
    std::condition_variable finished;
  } c;
  void* h = NtfsLibCreate();
  NtfsLibSetStartCallback(h, [](void*, void* u) { ++static_cast<Collector*>(u)->scan.starts; }, &c);
  NtfsLibSetItemCallback(h, [](void*, const NtfsLibFindData* item, void* u) {
    NtfsLibChar* folder = nullptr;
    std::string path = NtfsLibGetItemPath(item, &folder) == NTFSLIB_OK ? WideToAnsi(folder) : "";
    std::free(folder);
    std::replace(path.begin(), path.end(), '\\', '/');
    path += WideToAnsi(item->cFileName);
    static_cast<Collector*>(u)->scan.recordOf[path] = item->dwReserved0;
  }, &c);
  NtfsLibSetFinishCallback(h, [](void*, int32_t aborted, void* u) {
    auto* c = static_cast<Collector*>(u);
    std::lock_guard g(c->lock);
    c->scan.aborted = aborted != 0;
    ++c->scan.finishes;
    c->finished.notify_all();
  }, &c);
  if (NtfsLibSetMountPoint(h, root.c_str()) == NTFSLIB_OK && NtfsLibScanVolume(h) == NTFSLIB_OK) {
    std::unique_lock g(c.lock);
    c.finished.wait(g, [&] { return c.scan.finishes > 0; });
  }
  NtfsLibDestroy(h);
  return std::move(c.scan);
}

TEST(NtfsLib, StatusesFollowTheCallContract) {
  ScratchDir dir;
  const std::string ntfs = dir / "ntfs.img", fat = dir / "fat.img";
  ASSERT_TRUE(MakeNtfsImage(ntfs, 8));
  ASSERT_TRUE(RunQuietly("truncate -s 8M '" + fat + "' && mkfs.fat '" + fat + "'"));
  BoundImage ntfsRoot(ntfs), fatRoot(fat);
  const struct {
    std::u16string mountPoint;
    int32_t status;
  } mountPoints[] = {
      {ntfsRoot.root, NTFSLIB_OK},
      {u"\\\\?\\" + ntfsRoot.root, NTFSLIB_OK},
      {ntfsRoot.root.substr(0, 2), NTFSLIB_OK},
      {fatRoot.root, NTFSLIB_E_NOT_NTFS},
      {ntfsRoot.root + u"sub\\", NTFSLIB_E_MOUNTPOINT},
      {u"", NTFSLIB_E_MOUNTPOINT},
  };
  void* h = NtfsLibCreate();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(NtfsLibAbortScan(h), NTFSLIB_OK);  // nothing running
  EXPECT_EQ(NtfsLibScanVolume(h), NTFSLIB_E_NO_VOLUME);
  for (const auto& c : mountPoints)
    EXPECT_EQ(NtfsLibSetMountPoint(h, c.mountPoint.c_str()), c.status) << WideToAnsi(c.mountPoint);
  EXPECT_EQ(NtfsLibScanVolume(h), NTFSLIB_E_NO_VOLUME) << "a refused mount point leaves none";
  UnbindRoot(fatRoot.root);
  EXPECT_EQ(NtfsLibSetMountPoint(h, fatRoot.root.c_str()), NTFSLIB_E_MOUNTPOINT) << "unbound letter";

  NtfsLibFindData item{};
  NtfsLibChar* path = nullptr;
  EXPECT_EQ(NtfsLibGetItemPath(&item, &path), NTFSLIB_E_NO_ITEM) << "outside an item callback";
  EXPECT_EQ(NtfsLibSetMountPoint(nullptr, ntfsRoot.root.c_str()), NTFSLIB_E_HANDLE);
  EXPECT_EQ(NtfsLibScanVolume(nullptr), NTFSLIB_E_HANDLE);
  EXPECT_EQ(NtfsLibDestroy(h), NTFSLIB_OK);
  ReturningAssertions assertions;
  InterfacePtr<IMoxVolumeScanner> notAVolume(new TMoxVolumeScannerNTFS(ntfsRoot.root + u"sub\\"));
  EXPECT_FALSE(notAVolume->GetIsValid() || notAVolume->ScanVolume());
  EXPECT_TRUE(notAVolume->GetCurrentPath().empty());  // outside an item: an assertion and ""

  // An empty volume: start and finish, no item.
  const LibraryScan empty = ScanWithLibrary(ntfsRoot.root);
  EXPECT_EQ(empty.starts, 1);
  EXPECT_EQ(empty.finishes, 1);
  EXPECT_TRUE(empty.recordOf.empty());
}

// A handle's own start callback destroys it while another thread waits in
// NtfsLibAbortScan: that call returns OK, no callback follows, and the handle
// is freed once both are done. Aborted at once, a scan still starts and finishes.
TEST(NtfsLib, DestroyedFromItsCallbackWhileAnotherThreadAborts) {
  ScratchDir dir;
  const std::string image = dir / "ntfs.img";
  ASSERT_TRUE(MakeNtfsImage(image, 8));
  BoundImage bound(image);
  struct Round {
    bool destroy = false;
    std::atomic<int> starts{0}, finishes{0};
    std::atomic<bool> started{false}, aborting{false};
  };
  for (const bool destroy : {false, true}) {
    for (int i = 0; i < 10; ++i) {
      Round round;
      round.destroy = destroy;
      void* h = NtfsLibCreate();
      NtfsLibSetStartCallback(h, [](void* h, void* u) {
        auto* r = static_cast<Round*>(u);
        ++r->starts;
        r->started = true;
        if (!r->destroy) return;
        WaitFor(r->aborting);
        NtfsLibDestroy(h);
      }, &round);
      NtfsLibSetFinishCallback(h, [](void*, int32_t, void* u) { ++static_cast<Round*>(u)->finishes; }, &round);
      ASSERT_EQ(NtfsLibSetMountPoint(h, bound.root.c_str()), NTFSLIB_OK);
      ASSERT_EQ(NtfsLibScanVolume(h), NTFSLIB_OK);
      if (destroy) WaitFor(round.started);
      round.aborting = true;
      EXPECT_EQ(NtfsLibAbortScan(h), NTFSLIB_OK);
      EXPECT_TRUE(destroy || NtfsLibDestroy(h) == NTFSLIB_OK);
      EXPECT_EQ(round.starts, 1);
      EXPECT_EQ(round.finishes, destroy ? 0 : 1);
    }
  }
}

// A copy of the filled image, held in memory while bytes of chosen MFT
// records (of the first extent) are changed.
struct DamagedImage {
  DamagedImage() {
    std::ifstream in(SharedVolume().image, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    const uint64_t cluster = Le(0x0B, 2) * bytes[0x0D];
    const int8_t perRecord = int8_t(bytes[0x40]);
    recordSize = perRecord > 0 ? perRecord * cluster : 1u << -perRecord;
    mft = Le(0x30, 8) * cluster;
  }
  uint64_t Le(uint64_t at, int n) const {
    uint64_t v = 0;
    while (n--) v = v << 8 | bytes[at + n];
    return v;
  }
  uint64_t Record(uint32_t n) const { return mft + uint64_t(n) * recordSize; }
  void Patch(uint32_t record, uint32_t offset, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) bytes[Record(record) + offset + i] = uint8_t(v >> (8 * i));
  }
  // Offset of the first attribute of a type in a record, 0 when none.
  uint32_t AttributeOffset(uint32_t record, uint32_t type) const {
    const uint64_t r = Record(record);
    for (uint64_t off = Le(r + 0x14, 2), len; off + 8 <= recordSize; off += len) {
      const uint64_t t = Le(r + off, 4);
      len = Le(r + off + 4, 2);
      if (t == type) return uint32_t(off);
      if (t == 0xFFFFFFFF || len == 0) break;
    }
    return 0;
  }
  std::string Write() {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
  }
  ScratchDir dir;
  std::string path = dir / "damaged.img";
  std::vector<uint8_t> bytes;
  uint64_t mft = 0;
  uint32_t recordSize = 0;
};

TEST(NtfsLib, DamagedMftsEndTheScanCleanly) {
  if (SharedVolume().mount.empty()) GTEST_SKIP() << "no FUSE here: ntfs-3g cannot fill the volume";
  BoundImage original(SharedVolume().image);
  const LibraryScan whole = ScanWithLibrary(original.root);
  const uint32_t links = whole.recordOf.at("links"), other = whole.recordOf.at("other");
  const uint32_t orig = whole.recordOf.at("links/orig"), top = whole.recordOf.at("top.txt");
  constexpr uint32_t kParent = 0x18;  // value offset of the parent reference in a name
  const struct Case {
    const char* what;
    std::function<void(DamagedImage&)> damage;
    std::function<void(const LibraryScan&)> expect;
  } cases[] = {
      {"MFT record 0 marked BAAD", [](DamagedImage& d) { d.Patch(0, 0, 0x44414142, 4); },
       [](const LibraryScan& s) { EXPECT_TRUE(s.recordOf.empty()); }},
      {"torn record: check word differs", [&](DamagedImage& d) { d.Patch(top, 510, 0xEEEE, 2); },
       [&](const LibraryScan& s) { EXPECT_EQ(s.recordOf.count("top.txt"), 0u); }},
      {"two folders that are each other's parent",
       [&](DamagedImage& d) {
         d.Patch(links, d.AttributeOffset(links, 0x30) + kParent, other, 8);
         d.Patch(other, d.AttributeOffset(other, 0x30) + kParent, links, 8);
       },
       [&](const LibraryScan& s) {
         EXPECT_EQ(s.recordOf.count("links/orig"), 0u);
         bool orphaned = false;
         for (const auto& [path, record] : s.recordOf) orphaned |= path.rfind("$Orphans/", 0) == 0 && record == orig;
         EXPECT_TRUE(orphaned);
       }},
      {"parent reused: its sequence number moved on",
       [&](DamagedImage& d) { d.Patch(links, 0x10, 0x7777, 2); },
       [&](const LibraryScan& s) {
         EXPECT_EQ(s.recordOf.count("$Orphans/orig"), 1u);
         EXPECT_EQ(s.recordOf.count("other/alias two"), 1u) << "its other name is still in place";
       }},
      {"file record freed", [&](DamagedImage& d) { d.Patch(orig, 0x16, 0, 1); },
       [&](const LibraryScan& s) {
         EXPECT_EQ(s.recordOf.count("links/orig") + s.recordOf.count("other/alias two"), 0u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DamagedImage d;
    c.damage(d);
    BoundImage bound(d.Write());
    const LibraryScan s = ScanWithLibrary(bound.root);
    EXPECT_EQ(s.starts, 1);
    EXPECT_EQ(s.finishes, 1);
    c.expect(s);
  }
}

// A scan that could not read the whole MFT ends as aborted, since the
// finish's one flag is all a host has to tell it from a whole scan.
TEST(NtfsLib, ScanThatMissesPartOfTheMftFinishesAborted) {
  EXPECT_FALSE(ScanWithLibrary(BoundImage(SharedVolume().image).root).aborted);
  DamagedImage baad, cut;
  baad.Patch(0, 0, 0x44414142, 4);   // "BAAD": no map of the MFT
  cut.bytes.resize(cut.Record(20));  // the image ends inside the MFT
  for (DamagedImage* d : {&baad, &cut}) {
    const LibraryScan s = ScanWithLibrary(BoundImage(d->Write()).root);
    EXPECT_EQ(s.finishes, 1);
    EXPECT_TRUE(s.aborted) << (d == &baad ? "no MFT" : "cut");
  }
}

}  // namespace
