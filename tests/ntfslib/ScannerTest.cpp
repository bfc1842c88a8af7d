// TMoxVolumeScannerNTFS over the real NtfsLib, on the filled volume. The nine
// calls are seen on their way to the library: this program defines them
// itself, logs each and passes it on to the library's own definition.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "../scanner/Recorder.h"
#include "ItemText.h"
#include "MoxVolumeScannerNTFS.h"
#include "NtfsImage.h"
#include "NtfsLib.h"
#include "ToolProcess.h"

namespace {

struct LibraryCalls {
  std::mutex lock;
  std::vector<std::string> log;
  std::atomic<bool> refuseMountPoint{false};
  void Add(const char* call) {
    std::lock_guard g(lock);
    log.emplace_back(call);
  }
  std::vector<std::string> Take() {
    std::lock_guard g(lock);
    return std::exchange(log, {});
  }
} calls;

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define PASS_ON(name, ...)                               \
  calls.Add(#name);                                      \
  static const auto next = Next<decltype(&name)>(#name); \
  return next(__VA_ARGS__)

extern "C" {
void* NtfsLibCreate(void) { PASS_ON(NtfsLibCreate); }
int32_t NtfsLibDestroy(void* h) { PASS_ON(NtfsLibDestroy, h); }
int32_t NtfsLibSetStartCallback(void* h, NtfsLibStartCallback c, void* u) { PASS_ON(NtfsLibSetStartCallback, h, c, u); }
int32_t NtfsLibSetItemCallback(void* h, NtfsLibItemCallback c, void* u) { PASS_ON(NtfsLibSetItemCallback, h, c, u); }
int32_t NtfsLibSetFinishCallback(void* h, NtfsLibFinishCallback c, void* u) { PASS_ON(NtfsLibSetFinishCallback, h, c, u); }
int32_t NtfsLibScanVolume(void* h) { PASS_ON(NtfsLibScanVolume, h); }
int32_t NtfsLibAbortScan(void* h) { PASS_ON(NtfsLibAbortScan, h); }
int32_t NtfsLibGetItemPath(const NtfsLibFindData* i, NtfsLibChar** p) { PASS_ON(NtfsLibGetItemPath, i, p); }
int32_t NtfsLibSetMountPoint(void* h, const NtfsLibChar* m) {
  if (calls.refuseMountPoint) {
    calls.Add("NtfsLibSetMountPoint");
    return 1;
  }
  PASS_ON(NtfsLibSetMountPoint, h, m);
}
}

namespace {

using CountedNTFS = Counted<TMoxVolumeScannerNTFS>;

class NtfsScanner : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SharedVolume().mount.empty()) GTEST_SKIP() << "no FUSE here: ntfs-3g cannot fill the volume";
    ASSERT_FALSE(root.empty());
  }
  void TearDown() override { calls.refuseMountPoint = false; }
  BoundImage bound{SharedVolume().image};
  const std::u16string root = bound.root;
};

TEST_F(NtfsScanner, CallsReachTheLibraryInTheirOrder) {
  calls.Take();
  std::atomic<int> destroyed{0};
  {
    InterfacePtr<IMoxVolumeScanner> s(new CountedNTFS(root, &destroyed));
    InterfacePtr<Recorder> r(new Recorder);
    s->RegisterCallbacks(r.get());
    EXPECT_TRUE(s->ScanVolume());
    r->WaitFinished(1);
    EXPECT_TRUE(s->ScanVolume());
    r->WaitFinished(2);
    std::vector<std::string> log = calls.Take();
    log.erase(std::remove(log.begin(), log.end(), "NtfsLibGetItemPath"), log.end());
    EXPECT_EQ(log, (std::vector<std::string>{"NtfsLibCreate", "NtfsLibSetStartCallback", "NtfsLibSetItemCallback",
                                             "NtfsLibSetFinishCallback", "NtfsLibSetMountPoint", "NtfsLibAbortScan",
                                             "NtfsLibScanVolume", "NtfsLibAbortScan", "NtfsLibScanVolume"}));
  }
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(calls.Take(), (std::vector<std::string>{"NtfsLibAbortScan", "NtfsLibDestroy"}));

  // A refused volume: the scanner is invalid, frees its handle and never calls again.
  ReturningAssertions assertions;
  calls.refuseMountPoint = true;
  InterfacePtr<IMoxVolumeScanner> refused(new TMoxVolumeScannerNTFS(root));
  EXPECT_FALSE(refused->GetIsValid());
  EXPECT_FALSE(refused->ScanVolume());
  EXPECT_EQ(assertions.messages().size(), 1u);
  refused.reset();
  const std::vector<std::string> log = calls.Take();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{"NtfsLibSetMountPoint", "NtfsLibAbortScan", "NtfsLibDestroy"}));
}

// The program's automatic choice, through the factory and a scanner list:
// the ntfs-3g mount and the image itself are both read raw through NtfsLib,
// at the same time, and each lists exactly what a walk of the mount finds.
// A PATH that fails is named without stopping the others.
TEST_F(NtfsScanner, ProgramListsWhatTheMountShowsForMountAndImageAtOnce) {
  const FilledVolume& v = SharedVolume();
  const std::string missing = v.mount + "-missing";
  const ToolResult r = RunTool({"scan", "--json", "--verbose", v.mount, v.image, missing});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(": " + v.mount + ": NTFS (ntfs-3g mount of " + v.image + "), NtfsLib\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(": " + v.image + ": NTFS image, NtfsLib\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("moxvolscan scan: " + missing + ": "), std::string::npos) << r.err;
  std::map<std::string, std::map<std::string, uint64_t>> files;
  for (const std::string& line : Lines(r.out)) {
    EXPECT_EQ(std::stoul(JsonField(line, "attributes")) & FILE_ATTRIBUTE_DIRECTORY, 0u) << line;
    files[JsonField(line, "volume")][JsonField(line, "path")] = std::stoull(JsonField(line, "size"));
  }
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& volume : {v.mount, v.image})
    EXPECT_TRUE(files[volume] == v.walk) << volume << Difference(files[volume], v.walk);
}

TEST_F(NtfsScanner, LastReleaseWaitsForTheScanAlsoWithAdapterReceivers) {
  std::atomic<int> destroyed{0};
  ExpectLastReleaseWaitsForTheScan(new CountedNTFS(root, &destroyed), destroyed);
}

// As on the other back-ends: AbortScan and ScanVolume from a receiver fail
// without stopping the scan, and GetCurrentPath has nothing to say outside
// OnItem or on another thread.
TEST_F(NtfsScanner, ReceiverCallsFailAsOnTheOtherBackends) {
  InterfacePtr<IMoxVolumeScanner> s(new TMoxVolumeScannerNTFS(root));
  InterfacePtr<Recorder> r(new Recorder), full(new Recorder);
  std::vector<std::pair<bool, DWORD>> results;
  std::u16string atStart = u"?";
  r->onStart = [&](IMoxVolumeScanner* sc) { atStart = sc->GetCurrentPath(); };
  CallBackIntoTheScanAtFirstItem(*r, results);
  s->RegisterCallbacks(full.get());
  ASSERT_TRUE(s->ScanVolume());
  full->WaitFinished();
  const size_t all = full->items().size();
  s->RevokeCallbacks(full.get());
  s->RegisterCallbacks(r.get());
  ASSERT_TRUE(s->ScanVolume());
  r->WaitFinished();
  const std::pair<bool, DWORD> refused{false, ERROR_POSSIBLE_DEADLOCK};
  EXPECT_EQ(results, (std::vector{refused, refused}));
  EXPECT_EQ(std::tuple(r->aborted(), r->items().size()), std::tuple(false, all));
  EXPECT_EQ(atStart, u"");
  EXPECT_EQ(s->GetCurrentPath(), u"");
}

// Ways a scan ends early, each while another thread is inside a call that
// waits for the library's thread: a receiver on that thread invalidates the
// scanner or drops the last-but-one or last reference, or the host alone
// aborts, rescans or lets go. Every start gets its finish, the first scan
// stops at the next item, the library handle is freed once, by one thread,
// never under a call using it, and the scanner dies once, dropping its receiver.
TEST_F(NtfsScanner, EndsEarlyWhileAnotherThreadDrivesIt) {
  enum Receiver { kNothing, kInvalidate, kRelease };
  enum Host { kAbort, kRescan, kDrop };
  for (const Receiver receiver : {kNothing, kInvalidate, kRelease})
    for (const Host host : {kAbort, kRescan, kDrop})
      for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(testing::Message() << "receiver " << receiver << ", host " << host);
        std::atomic<int> destroyed{0}, firstItems{-1};
        std::atomic<bool> atItem{false}, hostCalling{false}, firstAborted{false};
        auto* raw = new CountedNTFS(root, &destroyed);
        InterfacePtr<IMoxVolumeScanner> s(raw);
        if (receiver == kRelease) raw->AddRef();  // the receiver's own
        InterfacePtr<Recorder> r(new Recorder);
        r->onItem = [&, seen = 0](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) mutable {
          if (++seen != 5) return;
          atItem = true;
          WaitFor(hostCalling);  // and the host is now waiting for this thread
          if (receiver == kInvalidate) raw->Invalidate();
          if (receiver == kRelease) raw->Release();
        };
        r->onFinish = [&](IMoxVolumeScanner*, bool aborted) {
          int none = -1;
          if (firstItems.compare_exchange_strong(none, static_cast<int>(r->items().size()))) firstAborted = aborted;
        };
        s->RegisterCallbacks(r.get());
        ASSERT_TRUE(s->ScanVolume());
        WaitFor(atItem);
        hostCalling = true;
        const bool valid = receiver != kInvalidate;
        if (host == kAbort) {
          EXPECT_TRUE(s->AbortScan());
        } else if (host == kRescan) {
          EXPECT_EQ(s->ScanVolume(), valid);
        } else {
          s.reset();
        }
        if (s) {
          EXPECT_EQ(s->ScanVolume(), valid);
          EXPECT_TRUE(s->AbortScan());
          s.reset();
        }
        for (int i = 0; i < 2500 && (destroyed == 0 || r->RefCount() != 1); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(r->RefCount(), 1);
        EXPECT_EQ(r->starts(), r->finishes());
        EXPECT_TRUE(firstAborted);
        EXPECT_GE(firstItems, 5);
        EXPECT_LT(firstItems, 20) << "the scan stops at the next item";
      }
}

}  // namespace
