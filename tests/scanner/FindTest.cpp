// The directory-walk scanner over real temporary trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "MoxVolumeScannerFind.h"
#include "Recorder.h"
#include "TreeFixture.h"

namespace {

class CountedFind : public TMoxVolumeScannerFind {
 public:
  CountedFind(const WideString& mp, std::atomic<int>* destroyed) : TMoxVolumeScannerFind(mp), destroyed_(destroyed) {}
  ~CountedFind() override { ++*destroyed_; }

 private:
  std::atomic<int>* destroyed_;
};

// A one-shot signal between the test thread and the scan thread.
class Gate {
 public:
  void Open() {
    std::lock_guard g(m_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock g(m_);
    cv_.wait(g, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

using FindScan = TreeFixture;

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Runs one complete scan of mountPoint and returns the recorder.
InterfacePtr<Recorder> ScanAll(const std::u16string& mountPoint) {
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(mountPoint));
  EXPECT_TRUE(s->GetIsValid());
  InterfacePtr<Recorder> r(new Recorder);
  s->RegisterCallbacks(r.get());
  EXPECT_TRUE(s->ScanVolume());
  r->WaitFinished();
  EXPECT_TRUE(s->AbortScan());  // the scan has ended: this only closes its thread
  return r;
}

TEST_F(FindScan, EmptyVolumeGivesStartAndFinishOnly) {
  auto r = ScanAll(Root());
  EXPECT_EQ(r->starts(), 1);
  EXPECT_EQ(r->finishes(), 1);
  EXPECT_FALSE(r->aborted());
  EXPECT_TRUE(r->items().empty());
}

TEST_F(FindScan, FilesInsideFoldersAreReportedWithTheirFolder) {
  File("a/x.txt", 5);
  File("a/b/y.txt", 7);
  File("a/b/c/z", 0);
  File(".hidden", 1);
  Dir("empty");
  auto r = ScanAll(Root());
  EXPECT_EQ(Sorted(r->paths()), (std::vector<std::string>{".hidden", "a\\b\\c\\z", "a\\b\\y.txt", "a\\x.txt"}));
  for (const auto& i : r->items()) {
    if (i.name == "y.txt") {
      EXPECT_EQ(i.folder, "a\\b\\");
      EXPECT_EQ(i.size, 7u);
      EXPECT_EQ(i.attributes, FILE_ATTRIBUTE_ARCHIVE);
    }
    if (i.name == ".hidden") {
      EXPECT_EQ(i.attributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    }
  }
}

TEST_F(FindScan, LinksAreNeitherReportedNorEnteredSoLoopsEnd) {
  File("real/f.txt", 3);
  Link(dir / "real", "linkdir");
  Link(dir.path(), "real/loop");
  Link("real/f.txt", "linkfile");
  Link("nowhere", "dangling");
  auto r = ScanAll(Root());
  EXPECT_EQ(r->paths(), (std::vector<std::string>{"real\\f.txt"}));
}

TEST_F(FindScan, NamesArriveAsUtf16WithBadBytesReplaced) {
  File("été/日本語.txt");
  File("\xF0\x9F\x98\x80.txt");  // outside the BMP: a surrogate pair
  File("bad\xFF.txt");
  auto r = ScanAll(Root());
  std::vector<std::u16string> names;
  for (const auto& i : r->items()) names.push_back(i.wideName);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"bad\uFFFD.txt", u"日本語.txt", u"\U0001F600.txt"}));
  for (const auto& i : r->items()) {
    if (i.name == "日本語.txt") {
      EXPECT_EQ(i.folder, "été\\");
    }
  }
}

TEST_F(FindScan, DeepTreesBeyondTheOldPathLimitAreWalked) {
  std::string rel, expected;
  for (int i = 0; i < 60; ++i) {
    rel += "level_" + std::to_string(100 + i) + "/";
    expected += "level_" + std::to_string(100 + i) + "\\";
  }
  File(rel + "bottom.bin", 11);
  ASSERT_GT(expected.size(), 400u);
  auto r = ScanAll(Root());
  ASSERT_EQ(r->items().size(), 1u);
  EXPECT_EQ(r->items()[0].folder, expected);
  // A mount point that already carries the long-path prefix is walked as given.
  auto prefixed = ScanAll(u"\\\\?\\" + Root());
  EXPECT_EQ(prefixed->paths(), r->paths());
}

TEST_F(FindScan, UnlistableRootMakesAnInvalidScanner) {
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root() + u"missing\\"));
  EXPECT_FALSE(s->GetIsValid());
  EXPECT_FALSE(s->ScanVolume());
  EXPECT_EQ(s->GetScannerAPI(), vsaFind);
}

TEST_F(FindScan, CurrentPathIsEmptyOutsideItemEvents) {
  File("a/f");
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root()));
  InterfacePtr<Recorder> r(new Recorder);
  std::u16string atStart = u"unset", atFinish = u"unset";
  r->onStart = [&](IMoxVolumeScanner* sc) { atStart = sc->GetCurrentPath(); };
  r->onFinish = [&](IMoxVolumeScanner* sc, bool) { atFinish = sc->GetCurrentPath(); };
  s->RegisterCallbacks(r.get());
  EXPECT_EQ(s->GetCurrentPath(), u"");
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished();
  s->AbortScan();
  EXPECT_EQ(atStart, u"");
  EXPECT_EQ(atFinish, u"");
  EXPECT_EQ(r->items().at(0).folder, "a\\");
  EXPECT_EQ(s->GetCurrentPath(), u"");
}

TEST_F(FindScan, AbortDuringADeepWalkStopsItAndReportsAborted) {
  Many(40, 25);
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root()));
  InterfacePtr<Recorder> r(new Recorder);
  Gate inside, aborting;
  r->onItem = [&, first = true](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) mutable {
    if (!first) return;
    first = false;
    inside.Open();
    aborting.Wait();
  };
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  inside.Wait();
  aborting.Open();
  EXPECT_TRUE(s->AbortScan());
  EXPECT_EQ(r->finishes(), 1);  // AbortScan returned after the thread ended
  EXPECT_TRUE(r->aborted());
  EXPECT_LT(r->items().size(), 1000u);
  const size_t seen = r->items().size();
  EXPECT_TRUE(s->AbortScan());  // nothing left running
  EXPECT_EQ(r->items().size(), seen);
}

TEST_F(FindScan, RescanRunsAFullScanAgain) {
  Many(5, 10);
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root()));
  InterfacePtr<Recorder> r(new Recorder);
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished(1);
  ASSERT_TRUE(s->ScanVolume());  // closes the ended thread, clears the abort request
  r->WaitFinished(2);
  s->AbortScan();
  EXPECT_EQ(r->starts(), 2);
  EXPECT_FALSE(r->aborted());
  EXPECT_EQ(r->items().size(), 100u);
}

TEST_F(FindScan, RegistrationFromAnotherThreadWaitsForTheRunningScan) {
  Many(10, 10);
  std::vector<std::string> log;
  std::mutex logLock;
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root()));
  InterfacePtr<Recorder> a(new Recorder("A", &log, &logLock)), b(new Recorder("B", &log, &logLock));
  Gate calling;
  std::thread registrar;
  a->onStart = [&](IMoxVolumeScanner* sc) {
    if (registrar.joinable() || b->RefCount() > 1) return;  // first scan only
    registrar = std::thread([&, sc] {
      calling.Open();
      sc->RegisterCallbacks(b.get());
      std::lock_guard g(logLock);
      log.push_back("registered");
    });
    calling.Wait();
  };
  s->RegisterCallbacks(a.get());
  ASSERT_TRUE(s->ScanVolume());
  a->WaitFinished();
  s->AbortScan();
  registrar.join();
  const auto finish = std::find(log.begin(), log.end(), "A:finish");
  const auto registered = std::find(log.begin(), log.end(), "registered");
  ASSERT_NE(registered, log.end());
  EXPECT_LT(finish, registered);
  EXPECT_EQ(b->starts(), 0);
  // The next scan reaches both.
  ASSERT_TRUE(s->ScanVolume());
  b->WaitFinished();
  s->AbortScan();
  EXPECT_EQ(b->items().size(), 100u);
}

TEST_F(FindScan, ReleasingTheLastReferenceDuringAScanStopsItOnce) {
  Many(30, 30);
  std::atomic<int> destroyed{0};
  auto* raw = new CountedFind(Root(), &destroyed);
  InterfacePtr<IMoxVolumeScanner> s(raw);
  InterfacePtr<Recorder> r(new Recorder);
  Gate inside;
  r->onItem = [&, first = true](IMoxVolumeScanner* sc, const WIN32_FIND_DATAW&) mutable {
    if (!first) return;
    first = false;
    inside.Open();
    while (raw->RefCount() < (1 << 30)) std::this_thread::yield();  // destruction has begun
    InterfacePtr<IMoxVolumeScanner> brief(sc);  // a short-lived reference must not destroy it again
  };
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  inside.Wait();
  s.reset();  // the last reference: stops the scan and waits for its thread
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(r->finishes(), 1);
  EXPECT_TRUE(r->aborted());
  EXPECT_EQ(r->RefCount(), 1);  // the scanner let go of its receiver
}

TEST_F(FindScan, LastReferenceReleasedOnTheScanThreadEndsTheScanThere) {
  Many(30, 30);
  std::atomic<int> destroyed{0};
  auto* raw = new CountedFind(Root(), &destroyed);
  InterfacePtr<IMoxVolumeScanner> hostRef(raw);
  InterfacePtr<Recorder> r(new Recorder);
  InterfacePtr<IMoxVolumeScanner> receiverRef = hostRef;
  Gate hostLetGo;
  r->onItem = [&, first = true](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) mutable {
    if (!first) return;
    first = false;
    hostLetGo.Wait();
    receiverRef.reset();  // now only DoItem's own short reference is left
  };
  hostRef->RegisterCallbacks(r.get());
  ASSERT_TRUE(hostRef->ScanVolume());
  hostRef.reset();
  hostLetGo.Open();
  r->WaitFinished();
  EXPECT_TRUE(r->aborted());
  // The scan thread deletes the scanner after OnFinish; its receiver reference goes with it.
  while (r->RefCount() != 1) std::this_thread::yield();
  EXPECT_EQ(destroyed, 1);
  EXPECT_LT(r->items().size(), 900u);
}

TEST_F(FindScan, ThrowingReceiverStillGetsOnFinishAndLeavesNoLockHeld) {
  Many(5, 10);
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root()));
  InterfacePtr<Recorder> r(new Recorder);
  r->onStart = [](IMoxVolumeScanner*) { throw std::runtime_error("start"); };
  r->onItem = [](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) { throw std::runtime_error("item"); };
  r->onFinish = [](IMoxVolumeScanner*, bool) { throw std::runtime_error("finish"); };
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished(1);
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished(2);
  s->AbortScan();
  EXPECT_EQ(r->starts(), 2);
  EXPECT_EQ(r->items().size(), 2u);  // each walk ended at its first item
  EXPECT_FALSE(r->aborted());
  // If a lock were left behind by an ended thread, this would never return.
  InterfacePtr<Recorder> other(new Recorder);
  s->RegisterCallbacks(other.get());
  s->RevokeCallbacks(other.get());
}

TEST_F(FindScan, AbortScanFromAReceiverFailsAndTheScanGoesOn) {
  ReturningAssertions asserts;
  Many(3, 5);
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root()));
  InterfacePtr<Recorder> r(new Recorder);
  std::vector<bool> results;
  r->onItem = [&](IMoxVolumeScanner* sc, const WIN32_FIND_DATAW&) {
    if (results.empty()) results.push_back(sc->AbortScan());
  };
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished();
  s->AbortScan();
  EXPECT_EQ(results, std::vector<bool>{false});
  EXPECT_EQ(asserts.messages().size(), 1u);
  EXPECT_FALSE(r->aborted());
  EXPECT_EQ(r->items().size(), 15u);
}

}  // namespace
