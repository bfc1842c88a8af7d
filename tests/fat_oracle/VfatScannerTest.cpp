// The raw FAT scanner through the scanner interface, on the mkfs.fat fixtures
// bound to drive letters.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "../scanner/Recorder.h"
#include "MoxVolumeScannerVFAT.h"
#include "OracleSupport.h"
#include "ScopedZone.h"
#include "Volumes.h"

using namespace oracle;

namespace {

InterfacePtr<IMoxVolumeScanner> MakeScanner(const std::u16string& mountPoint) {
  return InterfacePtr<IMoxVolumeScanner>(new TMoxVolumeScannerVFAT(mountPoint));
}

TEST(VfatScanner, DriveNumberComesFromTheVolumeRootOnly) {
  const std::pair<std::u16string, int> cases[] = {
      {u"C:\\", 3},        {u"c:\\", 3},   {u"\\\\?\\C:\\", 3}, {u"\\\\?\\z:\\", 26},
      {u"\\\\?\\Volume{0a1b2c3d-0000-0000-0000-100000000000}\\", 0},
      {u"C:\\Mount\\", 0}, {u"1:\\", 0},   {u"C:", 0}};
  for (const auto& [root, number] : cases) EXPECT_EQ(TMoxVolumeScannerVFAT::DriveNumberOf(root), number) << WideToAnsi(root);
}

TEST(VfatScanner, ValidOnlyForLetteredFatRootsOfDrivesItMayRead) {
  ImageDevice img(FixtureImage("fat16"));
  ASSERT_TRUE(img.bound());
  auto s = MakeScanner(u"\\\\?\\" + img.Root());  // the other forms of a root: the test above
  EXPECT_TRUE(s->GetIsValid());
  EXPECT_EQ(s->GetScannerAPI(), vsaVFAT);
  EXPECT_FALSE(MakeScanner(img.Root() + u"Mount\\")->GetIsValid());
  EXPECT_FALSE(MakeScanner(u"B:\\")->GetIsValid());  // unbound
  // Network drives and CD-ROMs are refused whatever they hold.
  for (UINT type : {DRIVE_REMOTE, DRIVE_CDROM, DRIVE_REMOVABLE, DRIVE_RAMDISK}) {
    ImageDevice typed(FixtureImage("fat12"), type);
    EXPECT_EQ(MakeScanner(typed.Root())->GetIsValid(), type == DRIVE_REMOVABLE || type == DRIVE_RAMDISK) << type;
  }
  // A FAT boot sector on a volume the system names otherwise.
  ImageDevice ntfs(FixtureImage("fat12"), DRIVE_FIXED, "NTFS");
  EXPECT_FALSE(MakeScanner(ntfs.Root())->GetIsValid());
}

// Every live file arrives once per scan with its folder from GetCurrentPath,
// its size and attributes as the library lists them; folders themselves never
// reach a receiver.
TEST(VfatScanner, ReportsEveryLiveFileAsTheLibraryListsIt) {
  auto key = [](std::string path, uint64_t size, uint32_t attributes) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path + " " + std::to_string(size) + " " + std::to_string(attributes);
  };
  // README.TXT's time, 2001-02-03 04:05:06 on the volume, is the local
  // wall clock's: a find record carries it in UTC, 09:05:06 in New York.
  ScopedZone zone("America/New_York");
  const FILETIME want{DWORD(126'256'647'060'000'000), DWORD(126'256'647'060'000'000 >> 32)};
  for (const auto& name : FixtureNames()) {
    std::multiset<std::string> expected;
    {
      MountedImage m(FixtureImage(name));
      ASSERT_TRUE(m.mounted());
      for (auto& e : m.Scan(false))
        if (!e.dir) expected.insert(key(e.path, e.size, e.attributes));
    }
    ImageDevice img(FixtureImage(name));
    auto scanner = MakeScanner(img.Root());
    ASSERT_TRUE(scanner->GetIsValid()) << name;
    auto recorder = InterfacePtr<Recorder>(new Recorder);
    FILETIME readme{};
    recorder->onItem = [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW& r) {
      if (WideToAnsi(r.cFileName) == "README.TXT") readme = r.ftLastWriteTime;
    };
    scanner->RegisterCallbacks(recorder.get());
    for (int i = 1; i <= 2; ++i) {  // the second scan walks it again in full
      ASSERT_TRUE(scanner->ScanVolume());
      recorder->WaitFinished(i);
    }
    std::multiset<std::string> got;
    for (auto& item : recorder->items()) got.insert(key(item.folder + item.name, item.size, item.attributes));
    auto twice = expected;  // once per scan
    twice.insert(expected.begin(), expected.end());
    EXPECT_EQ(got, twice) << name;
    EXPECT_EQ(std::tuple(recorder->starts(), recorder->finishes(), recorder->aborted()), std::tuple(2, 2, false));
    EXPECT_EQ(std::pair(readme.dwLowDateTime, readme.dwHighDateTime), std::pair(want.dwLowDateTime, want.dwHighDateTime))
        << name;
    EXPECT_EQ(scanner->GetCurrentPath(), u"");  // outside an item event
  }
}

// Abort while a receiver holds the first item: nothing more is reported,
// OnFinish says aborted, and AbortScan returns once the thread has ended
// (from a receiver, and on release: the walk scanner's suite).
TEST(VfatScanner, AbortStopsTheWalk) {
  ImageDevice img(FixtureImage("fat16"));
  auto scanner = MakeScanner(img.Root());
  auto recorder = InterfacePtr<Recorder>(new Recorder);
  std::atomic<bool> inItem{false}, aborting{false};
  recorder->onItem = [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) {
    if (inItem.exchange(true)) return;
    while (!aborting) std::this_thread::yield();
    // AbortScan raises the request right after it is entered.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  scanner->RegisterCallbacks(recorder.get());
  ASSERT_TRUE(scanner->ScanVolume());
  while (!inItem) std::this_thread::yield();
  aborting = true;
  EXPECT_TRUE(scanner->AbortScan());
  EXPECT_EQ(recorder->finishes(), 1);
  EXPECT_TRUE(recorder->aborted());
  EXPECT_EQ(recorder->items().size(), 1u);
}

}  // namespace
