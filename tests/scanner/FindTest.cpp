// The directory-walk scanner over real temporary trees.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
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
struct Gate {
  std::promise<void> promise;
  std::shared_future<void> future = promise.get_future().share();
  void Open() { promise.set_value(); }
  void Wait() { future.wait(); }
};

using FindScan = TreeFixture;

// Runs `scans` complete scans with r (a fresh recorder if none) and returns it.
InterfacePtr<Recorder> ScanAll(const std::u16string& mountPoint, InterfacePtr<Recorder> r = {}, int scans = 1) {
  if (!r) r = InterfacePtr<Recorder>(new Recorder);
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(mountPoint));
  EXPECT_TRUE(s->GetIsValid());
  s->RegisterCallbacks(r.get());
  for (int i = 1; i <= scans; ++i) {
    EXPECT_TRUE(s->ScanVolume());  // a rescan closes the ended thread first
    r->WaitFinished(i);
  }
  EXPECT_TRUE(s->AbortScan());  // the scan has ended: this only closes its thread
  return r;
}

TEST_F(FindScan, FilesAreReportedWithFolderAndAttributesButLinksAreNotFollowed) {
  EXPECT_TRUE(ScanAll(Root())->items().empty());
  File("a/b/y.txt", 7);
  File(".hidden", 1);
  Dir("empty");
  Link(dir / "a", "linkdir");
  Link(dir.path(), "a/loop");
  Link("a/b/y.txt", "linkfile");
  Link("nowhere", "dangling");
  auto r = ScanAll(Root());
  EXPECT_FALSE(r->aborted());
  auto items = r->items();
  std::sort(items.begin(), items.end(), [](auto& x, auto& y) { return x.name < y.name; });
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].folder + items[0].name, ".hidden");
  EXPECT_EQ(items[0].attributes, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(items[1].folder + items[1].name, "a\\b\\y.txt");
  EXPECT_EQ(items[1].size, 7u);
  EXPECT_EQ(items[1].attributes, FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(FindScan, NamesArriveAsUtf16WithStrayBytesAsLoneSurrogates) {
  File("été/日本語.txt");
  File("\xF0\x9F\x98\x80.txt");  // outside the BMP: a surrogate pair
  File("bad\xFF.txt");
  std::vector<std::u16string> names;
  for (const auto& i : ScanAll(Root())->items()) {
    names.push_back(i.wideName);
    if (i.name == "日本語.txt") {
      EXPECT_EQ(i.folder, "été\\");
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"bad\xDCFF.txt", u"日本語.txt", u"\U0001F600.txt"}));
}

// A chain of `levels` folders named `name`, made through descriptors: its
// path is longer than the host takes in one call.
void DeepChain(const std::string& top, const std::string& name, int levels) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < levels; ++i) {
    mkdirat(fd, name.c_str(), 0755);
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  close(openat(fd, "bottom.bin", O_CREAT | O_WRONLY, 0644));
  close(fd);
}

TEST_F(FindScan, TreesDeeperThanTheHostsPathLimitAreWalkedToTheBottom) {
  const std::string name = "level_folder";  // 13 bytes a level: 400 levels pass PATH_MAX
  DeepChain(dir.path(), name, 400);
  std::string expected;
  for (int i = 0; i < 400; ++i) expected += name + "\\";
  auto* raw = new TMoxVolumeScannerFind(u"\\\\?\\" + Root());  // prefix already given
  InterfacePtr<IMoxVolumeScanner> s(raw);
  InterfacePtr<Recorder> r(new Recorder);
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished();
  s->AbortScan();
  ASSERT_EQ(r->items().size(), 1u);
  EXPECT_EQ(r->items()[0].folder, expected);
  EXPECT_TRUE(raw->SkippedFolders().empty());
  RunQuietly("rm -rf '" + dir.path() + "/" + name + "'");  // deeper than remove_all reaches
}

TEST_F(FindScan, FoldersItCannotOpenAreNamedNotDropped) {
  File("side.txt");
  DeepChain(dir.path(), "n", 40);
  // One descriptor a level: a tight limit stops the walk part way down.
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  rlimit tight = old;
  tight.rlim_cur = rlim_t(open + 12);
  auto* raw = new TMoxVolumeScannerFind(Root());
  InterfacePtr<IMoxVolumeScanner> s(raw);
  InterfacePtr<Recorder> r(new Recorder);
  s->RegisterCallbacks(r.get());
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished();
  setrlimit(RLIMIT_NOFILE, &old);
  s->AbortScan();
  EXPECT_EQ(r->paths(), std::vector<std::string>{"side.txt"});
  const auto skipped = raw->SkippedFolders();
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(WideToAnsi(skipped[0]).rfind("n\\n\\n\\", 0), 0u);
}

TEST_F(FindScan, EachFolderIsWalkedWholeBeforeTheWalkMovesOn) {
  Many(6, 4);
  File("top.txt");
  File("d0/mid.txt");
  const auto items = ScanAll(Root())->items();
  ASSERT_EQ(items.size(), 26u);
  // Depth-first: the items below any folder come in one unbroken run.
  std::map<std::string, std::pair<size_t, size_t>> runs;  // folder -> first index, count
  for (size_t i = 0; i < items.size(); ++i)
    for (size_t end = 0; end != std::string::npos; end = items[i].folder.find('\\', end + 1)) {
      auto [it, fresh] = runs.try_emplace(items[i].folder.substr(0, end), i, 0);
      ++it->second.second;
    }
  for (const auto& [folder, run] : runs) {
    const auto& [first, count] = run;
    size_t last = first;
    for (size_t i = first; i < items.size(); ++i)
      if (items[i].folder.rfind(folder, 0) == 0) last = i;
    EXPECT_EQ(last - first + 1, count) << folder;
  }
}

TEST_F(FindScan, InvalidateFromAReceiverStopsTheWalkAndReportsItAborted) {
  Many(5, 10);
  EXPECT_EQ(ScanInvalidatedAtFirstItem(new TMoxVolumeScannerFind(Root()))->items().size(), 1u);
}

TEST_F(FindScan, UnlistableRootMakesAnInvalidScanner) {
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerFind(Root() + u"missing\\"));
  EXPECT_FALSE(s->GetIsValid());
  EXPECT_FALSE(s->ScanVolume());
  EXPECT_EQ(s->GetScannerAPI(), vsaFind);
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
  s.reset();  // stops the scan and waits for its thread
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(r->finishes(), 1);
  EXPECT_TRUE(r->aborted());
  EXPECT_EQ(r->RefCount(), 1);  // the scanner let go of its receiver
}

TEST_F(FindScan, LastReferenceReleasedOnTheScanThreadEndsTheScanThere) {
  Many(30, 30);
  std::atomic<int> destroyed{0};
  InterfacePtr<IMoxVolumeScanner> hostRef(new CountedFind(Root(), &destroyed));
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
  while (r->RefCount() != 1) std::this_thread::yield();  // deleted on the scan thread after OnFinish
  EXPECT_EQ(destroyed, 1);
  EXPECT_LT(r->items().size(), 900u);
}

TEST_F(FindScan, ThrowingReceiverStillGetsOnFinishAndARescanLeavesNoLockHeld) {
  Many(5, 10);
  InterfacePtr<Recorder> r(new Recorder);
  r->onStart = [](IMoxVolumeScanner*) { throw std::runtime_error("start"); };
  r->onItem = [](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) { throw std::runtime_error("item"); };
  r->onFinish = [](IMoxVolumeScanner*, bool) { throw std::runtime_error("finish"); };
  ScanAll(Root(), r, 2);  // hangs if a lock were left behind
  EXPECT_EQ(r->starts(), 2);
  EXPECT_EQ(r->items().size(), 2u);  // each walk ended at its first item
  EXPECT_FALSE(r->aborted());
  auto plain = ScanAll(Root(), {}, 2);
  EXPECT_EQ(plain->starts(), 2);
  EXPECT_EQ(plain->items().size(), 100u);
}

TEST_F(FindScan, AbortScanFromAReceiverFailsAndTheScanGoesOn) {
  ReturningAssertions asserts;
  Many(3, 5);
  InterfacePtr<Recorder> r(new Recorder);
  std::vector<bool> results;
  r->onItem = [&](IMoxVolumeScanner* sc, const WIN32_FIND_DATAW&) {
    if (results.empty()) results.push_back(sc->AbortScan());
  };
  ScanAll(Root(), r);
  EXPECT_EQ(results, std::vector<bool>{false});
  EXPECT_EQ(asserts.messages().size(), 1u);
  EXPECT_FALSE(r->aborted());
  EXPECT_EQ(r->items().size(), 15u);
}

}  // namespace
