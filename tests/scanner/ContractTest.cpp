// What the scanner interface promises a host, held against the directory
// walk and the raw FAT reader alike (NtfsLib's scanner: tests/ntfslib).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "MoxVolScan.h"
#include "MoxVolumeScannerVFAT.h"
#include "Recorder.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

namespace {

class Contract : public ::testing::TestWithParam<TMoxVolumeScannerAPI> {
 protected:
  void SetUp() override {
    Initialize();
    ASSERT_FALSE(scratch.path().empty());
    for (int d = 0; d < 4; ++d)
      for (int f = 0; f < 10; ++f) WriteHostFile(scratch / ("tree/d" + std::to_string(d) + "/f" + std::to_string(f)), "x");
    DriveBinding b;
    if (GetParam() == vsaVFAT) {
      ASSERT_TRUE(RunQuietly("mkfs.fat -C " + scratch / "fat.img" + " 1024 && mcopy -s -i " + scratch / "fat.img" +
                             " " + scratch / "tree/d0 " + scratch / "tree/d1 " + scratch / "tree/d2 " +
                             scratch / "tree/d3 ::/"));
      b.raw = OpenImageSource(scratch / "fat.img");
    } else {
      b.rootDir = scratch / "tree";
    }
    letter = FindFreeDriveLetter();
    ASSERT_TRUE(BindDriveLetter(letter, b));
  }
  void TearDown() override {
    UnbindDriveLetter(letter);
    Finalize();
  }
  // A new scanner of the kind under test; destroyed counts its destructions.
  TMoxVolumeScannerThreaded* Make(std::atomic<int>* destroyed = nullptr) {
    const std::u16string root = {char16_t(letter), u':', u'\\'};
    if (GetParam() == vsaVFAT) return new Counted<TMoxVolumeScannerVFAT>(root, destroyed);
    return new Counted<TMoxVolumeScannerFind>(root, destroyed);
  }

  ScratchDir scratch;
  char letter = 0;
};

TEST_P(Contract, LastReleaseWaitsForTheScanAlsoWithAdapterReceivers) {
  std::atomic<int> destroyed{0};
  ExpectLastReleaseWaitsForTheScan(Make(&destroyed), destroyed);
}

// Neither can wait for the thread it is called on: both say so and the scan
// goes on to its end; nothing is thrown at the receiver.
TEST_P(Contract, AbortAndRescanFromAReceiverFailAndTheScanGoesOn) {
  InterfacePtr<IMoxVolumeScanner> s(Make());
  InterfacePtr<Recorder> r(new Recorder);
  std::vector<std::pair<bool, DWORD>> results;
  CallBackIntoTheScanAtFirstItem(*r, results);
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished();
  const std::pair<bool, DWORD> refused{false, ERROR_POSSIBLE_DEADLOCK};
  EXPECT_EQ(results, (std::vector{refused, refused}));
  EXPECT_EQ(std::tuple(r->aborted(), r->items().size(), r->starts()), std::tuple(false, 40u, 1));
}

// A receiver that invalidates the scanner when its scan is aborted: the
// rescan that aborted it must not start a walk over what is then gone.
TEST_P(Contract, RescanFailsWhenTheStoppedScansReceiverInvalidatedTheScanner) {
  auto* raw = Make();
  InterfacePtr<IMoxVolumeScanner> s(raw);
  InterfacePtr<Recorder> r(new Recorder);
  std::atomic<bool> inside{false};
  r->onItem = [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) {
    inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  r->onFinish = [raw](IMoxVolumeScanner*, bool aborted) {
    if (aborted) raw->Invalidate();
  };
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  while (!inside) std::this_thread::yield();
  EXPECT_FALSE(s->ScanVolume());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(std::tuple(r->starts(), r->finishes(), s->GetIsValid()), std::tuple(1, 1, false));
}

INSTANTIATE_TEST_SUITE_P(Backends, Contract, ::testing::Values(vsaFind, vsaVFAT),
                         [](const auto& info) { return info.param == vsaVFAT ? "RawFat" : "DirectoryWalk"; });

}  // namespace
