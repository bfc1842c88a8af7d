// The raw FAT scanner through the scanner interface, on the mkfs.fat fixtures
// bound to drive letters.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "../scanner/Recorder.h"
#include "MoxVolumeScannerVFAT.h"
#include "OracleSupport.h"
#include "Volumes.h"

using namespace oracle;
namespace fs = std::filesystem;

namespace {

InterfacePtr<IMoxVolumeScanner> MakeScanner(const std::u16string& mountPoint) {
  return InterfacePtr<IMoxVolumeScanner>(new TMoxVolumeScannerVFAT(mountPoint));
}

std::vector<WIN32_FIND_DATAW> Scan(IMoxVolumeScanner* scanner, Recorder& recorder, int scans = 1) {
  std::vector<WIN32_FIND_DATAW> records;
  recorder.onItem = [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW& r) { records.push_back(r); };
  scanner->RegisterCallbacks(&recorder);
  for (int i = 1; i <= scans; ++i) {
    EXPECT_TRUE(scanner->ScanVolume());
    recorder.WaitFinished(i);
  }
  scanner->RevokeCallbacks(&recorder);
  return records;
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
  const std::u16string lower{char16_t(img.letter() - 'A' + 'a'), u':', u'\\'};
  for (const auto& mp : {img.Root(), lower, u"\\\\?\\" + img.Root()}) {
    auto s = MakeScanner(mp);
    EXPECT_TRUE(s->GetIsValid()) << WideToAnsi(mp);
    EXPECT_EQ(s->GetScannerAPI(), vsaVFAT);
  }
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
  fs::path zeros = fs::path(FixtureDir()) / ("zeros-" + std::to_string(getpid()) + ".img");
  { std::ofstream(zeros, std::ios::binary) << std::string(1 << 20, '\0'); }
  {
    ImageDevice blank(zeros.string());
    EXPECT_FALSE(MakeScanner(blank.Root())->GetIsValid());
  }
  fs::remove(zeros);
}

// Every live file arrives once per scan, with its folder from GetCurrentPath;
// folders themselves never reach a receiver.
TEST(VfatScanner, ReportsEveryLiveFileWithItsFolder) {
  for (const auto& name : FixtureNames()) {
    std::multiset<std::string> expected;
    {
      MountedImage m(FixtureImage(name));
      ASSERT_TRUE(m.mounted());
      for (auto& e : m.Scan(false))
        if (!e.dir) expected.insert(e.path);
    }
    ImageDevice img(FixtureImage(name));
    auto scanner = MakeScanner(img.Root());
    ASSERT_TRUE(scanner->GetIsValid()) << name;
    auto recorder = InterfacePtr<Recorder>(new Recorder);
    Scan(scanner.get(), *recorder, 2);  // the second scan walks it again in full
    std::multiset<std::string> got;
    for (auto& item : recorder->items()) {
      EXPECT_EQ(item.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
      std::string path = item.folder + item.name;
      std::replace(path.begin(), path.end(), '\\', '/');
      got.insert(path);
    }
    auto twice = expected;  // once per scan
    twice.insert(expected.begin(), expected.end());
    EXPECT_EQ(got, twice) << name;
    EXPECT_EQ(recorder->starts(), 2);
    EXPECT_EQ(recorder->finishes(), 2);
    EXPECT_FALSE(recorder->aborted());
  }
}

TEST(VfatScanner, RecordCarriesTimesSizeAndAttributes) {
  ImageDevice img(FixtureImage("fat32"));
  auto scanner = MakeScanner(img.Root());
  auto recorder = InterfacePtr<Recorder>(new Recorder);
  std::map<std::string, std::pair<WIN32_FIND_DATAW, std::string>> byName;
  recorder->onItem = [&](IMoxVolumeScanner* s, const WIN32_FIND_DATAW& r) {
    byName[WideToAnsi(r.cFileName)] = {r, WideToAnsi(s->GetCurrentPath())};
  };
  scanner->RegisterCallbacks(recorder.get());
  ASSERT_TRUE(scanner->ScanVolume());
  recorder->WaitFinished();

  auto& readme = byName.at("README.TXT");
  FILETIME want{};
  ASSERT_TRUE(DosDateTimeToFileTime(uint16_t((21 << 9) | (2 << 5) | 3), uint16_t((4 << 11) | (5 << 5) | 3), &want));
  EXPECT_EQ(readme.first.ftLastWriteTime.dwLowDateTime, want.dwLowDateTime);
  EXPECT_EQ(readme.first.ftLastWriteTime.dwHighDateTime, want.dwHighDateTime);
  EXPECT_EQ(readme.first.nFileSizeLow, 1200u);
  EXPECT_EQ(readme.second, "");
  EXPECT_EQ(byName.at("ALL.TXT").first.dwFileAttributes, 0x27u);
  EXPECT_EQ(byName.at("deep file.txt").second, "Docs\\Reports\\2005\\Q1\\Week 12\\Monday\\Morning\\");
  EXPECT_EQ(byName.at("日本語のファイル.txt").first.nFileSizeLow, 1500u);
  // Outside an item event there is no current path.
  EXPECT_EQ(scanner->GetCurrentPath(), u"");
}

// Abort while a receiver holds the first item: nothing more is reported,
// OnFinish says aborted, and AbortScan returns once the thread has ended.
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
  bool aborted = false;
  std::thread stopper([&] {
    aborting = true;
    aborted = scanner->AbortScan();
  });
  stopper.join();
  EXPECT_TRUE(aborted);
  EXPECT_EQ(recorder->finishes(), 1);
  EXPECT_TRUE(recorder->aborted());
  EXPECT_EQ(recorder->items().size(), 1u);
  // AbortScan from inside a receiver fails (and says so).
  ReturningAssertions assertions;
  bool inside = true;
  recorder->onItem = [&](IMoxVolumeScanner* s, const WIN32_FIND_DATAW&) {
    if (inside) inside = s->AbortScan();
  };
  ASSERT_TRUE(scanner->ScanVolume());
  recorder->WaitFinished(2);
  EXPECT_FALSE(inside);
  EXPECT_FALSE(assertions.messages().empty());
}

TEST(VfatScanner, ReleasingTheScannerDuringAScanStopsIt) {
  ImageDevice img(FixtureImage("fat32"));
  auto recorder = InterfacePtr<Recorder>(new Recorder);
  {
    auto scanner = MakeScanner(img.Root());
    scanner->RegisterCallbacks(recorder.get());
    ASSERT_TRUE(scanner->ScanVolume());
  }
  EXPECT_EQ(recorder->finishes(), 1);
}

}  // namespace
