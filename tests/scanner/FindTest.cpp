// The directory-walk scanner over real temporary trees.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <set>
#include <thread>

#include "MoxVolumeScannerFind.h"
#include "Recorder.h"
#include "TreeFixture.h"

namespace {

void WaitFor(const std::atomic<bool>& flag) {
  while (!flag) std::this_thread::yield();
}

using FindScan = TreeFixture;

// Runs `scans` complete scans of s with r (a fresh recorder if none) and returns it.
InterfacePtr<Recorder> ScanAll(IMoxVolumeScanner* s, InterfacePtr<Recorder> r = {}, int scans = 1) {
  if (!r) r = InterfacePtr<Recorder>(new Recorder);
  EXPECT_TRUE(s->GetIsValid());
  s->RegisterCallbacks(r.get());
  for (int i = 1; i <= scans; ++i) {
    EXPECT_TRUE(s->ScanVolume());  // a rescan closes the ended thread first
    r->WaitFinished(i);
  }
  EXPECT_TRUE(s->AbortScan());  // the scan has ended: this only closes its thread
  return r;
}
InterfacePtr<Recorder> ScanAll(const std::u16string& mountPoint, InterfacePtr<Recorder> r = {}, int scans = 1) {
  return ScanAll(InterfacePtr<IMoxVolumeScanner>(new TMoxVolumeScannerFind(mountPoint)).get(), r, scans);
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
  const auto r = ScanAll(raw);
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
  const rlimit tight{rlim_t(open + 12), old.rlim_max};
  auto* raw = new TMoxVolumeScannerFind(Root());
  InterfacePtr<IMoxVolumeScanner> s(raw);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const auto r = ScanAll(raw);
  setrlimit(RLIMIT_NOFILE, &old);
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
  // Depth-first: once the walk has come out of a folder, nothing below it follows.
  std::set<std::string> left;
  for (size_t i = 1; i < items.size(); ++i) {
    const std::string &was = items[i - 1].folder, &now = items[i].folder;
    for (size_t end = was.find('\\'); end != std::string::npos; end = was.find('\\', end + 1))
      if (now.rfind(was.substr(0, end + 1), 0) != 0) left.insert(was.substr(0, end + 1));
    for (const std::string& f : left) EXPECT_NE(now.rfind(f, 0), 0u) << now << " after leaving " << f;
  }
}

TEST_F(FindScan, InvalidateFromAReceiverStopsTheWalkAndReportsItAborted) {
  Many(5, 10);
  EXPECT_EQ(ScanInvalidatedAtFirstItem(new TMoxVolumeScannerFind(Root()))->items().size(), 1u);
}

// The host lets go of its last reference while the receiver holds on inside
// OnItem, or the receiver drops the last one on the scan thread itself.
TEST_F(FindScan, ReleasingTheLastReferenceMidScanStopsAndFreesItOnce) {
  Many(30, 30);
  for (bool fromScanThread : {false, true}) {
    SCOPED_TRACE(fromScanThread ? "released on the scan thread" : "released by the host");
    std::atomic<int> destroyed{0};
    auto* raw = new CountedFind(Root(), &destroyed);
    InterfacePtr<IMoxVolumeScanner> hostRef(raw), receiverRef;
    if (fromScanThread) receiverRef = hostRef;
    InterfacePtr<Recorder> r(new Recorder);
    std::atomic<bool> inside{false}, hostLetGo{false};
    r->onItem = [&, first = true](IMoxVolumeScanner* sc, const WIN32_FIND_DATAW&) mutable {
      if (!std::exchange(first, false)) return;
      inside = true;
      if (fromScanThread) {
        WaitFor(hostLetGo);
        receiverRef.reset();  // now only DoItem's own short reference is left
        return;
      }
      while (raw->RefCount() < (1 << 30)) std::this_thread::yield();  // destruction has begun
      InterfacePtr<IMoxVolumeScanner> brief(sc);  // a short-lived reference must not destroy it again
    };
    hostRef->RegisterCallbacks(r.get());
    ASSERT_TRUE(hostRef->ScanVolume());
    WaitFor(inside);
    hostRef.reset();  // the host's release stops the scan and waits for its thread
    hostLetGo = true;
    r->WaitFinished();
    while (r->RefCount() != 1) std::this_thread::yield();  // the scanner lets go of its receiver
    EXPECT_EQ(std::tuple(destroyed.load(), r->finishes(), r->aborted()), std::tuple(1, 1, true));
  }
}

TEST_F(FindScan, ThrowingReceiverStillGetsOnFinishAndARescanLeavesNoLockHeld) {
  Many(5, 10);
  InterfacePtr<Recorder> r(new Recorder);
  r->onStart = [](IMoxVolumeScanner*) { throw std::runtime_error("start"); };
  r->onItem = [](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) { throw std::runtime_error("item"); };
  r->onFinish = [](IMoxVolumeScanner*, bool) { throw std::runtime_error("finish"); };
  ScanAll(Root(), r, 2);  // hangs if a lock were left behind
  // Each walk ended at its first item.
  EXPECT_EQ(std::tuple(r->starts(), r->items().size(), r->aborted()), std::tuple(2, 2u, false));
  auto plain = ScanAll(Root(), {}, 2);
  EXPECT_EQ(std::tuple(plain->starts(), plain->items().size()), std::tuple(2, 100u));
}

}  // namespace
