// The scanner list over directory-walk scanners: what it stores, its fan-out
// of receivers and scans, and its lock against enumerators, writers and
// scanners that go away mid-scan (run these under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "MoxVolumeScannerFind.h"
#include "MoxVolumeScannerList.h"
#include "Recorder.h"
#include "TreeFixture.h"

namespace {

class ScannerList : public TreeFixture {
 protected:
  InterfacePtr<IMoxVolumeScanner> Scanner(std::atomic<int>* destroyed = nullptr) {
    return InterfacePtr<IMoxVolumeScanner>(new CountedFind(Root(), destroyed));
  }
  std::vector<IMoxVolumeScanner*> Enumerate(IMoxVolumeScannerList* list) {
    std::vector<IMoxVolumeScanner*> out;
    auto e = list->GetEnumerator();
    while (e->MoveNext()) out.push_back(e->GetCurrent().get());
    return out;
  }
};

TEST_F(ScannerList, StoresEachValidScannerOnceInOrder) {
  ReturningAssertions assertions;
  auto list = MoxCreateVolumeScannerList();
  InterfacePtr<IMoxVolumeScanner> invalid(new TMoxVolumeScannerFind(u"Q:\\"));  // Q: is bound to nothing
  ASSERT_FALSE(invalid->GetIsValid());
  auto a = Scanner(), b = Scanner(), c = Scanner();
  const std::pair<IMoxVolumeScanner*, int32_t> adds[] = {{nullptr, -1}, {invalid.get(), -1}, {a.get(), 0},
                                                         {b.get(), 1},   {a.get(), 0},         {c.get(), 2}};
  for (const auto& [scanner, index] : adds) EXPECT_EQ(std::max(list->Add(scanner), -1), index);  // refused: < 0
  EXPECT_EQ(Enumerate(list.get()), (std::vector<IMoxVolumeScanner*>{a.get(), b.get(), c.get()}));

  const std::pair<int32_t, IMoxVolumeScanner*> items[] = {{-1, nullptr}, {0, a.get()}, {2, c.get()}, {3, nullptr}};
  for (const auto& [index, expected] : items) EXPECT_EQ(list->GetItem(index).get(), expected) << index;
  EXPECT_FALSE(list->GetEnumerator()->GetCurrent());  // before the first MoveNext
  EXPECT_EQ(assertions.messages().size(), 1u);
}

TEST_F(ScannerList, ReceiversReachEveryScannerAndScansStartTogether) {
  File("a.txt");
  File("sub/b.txt");
  auto list = MoxCreateVolumeScannerList();
  InterfacePtr<Recorder> early(new Recorder), late(new Recorder);
  list->RegisterCallbacks(early.get());
  list->RegisterCallbacks(nullptr);
  auto a = Scanner(), b = Scanner(), broken = Scanner();
  for (auto* s : {a.get(), b.get(), a.get(), broken.get()}) list->Add(s);
  list->RegisterCallbacks(late.get());
  list->RegisterCallbacks(early.get());
  static_cast<CountedFind*>(broken.get())->Invalidate();  // can no longer start

  EXPECT_TRUE(list->AbortScans());  // nothing runs yet
  EXPECT_EQ(list->ScanVolumes(), 2);
  EXPECT_TRUE(list->AbortScans());
  for (auto* r : {early.get(), late.get()}) {
    EXPECT_EQ(r->starts(), 2);  // once per scanner, however often it was added or registered
    EXPECT_EQ(r->finishes(), 2);
  }
  list->RevokeCallbacks(early.get());
  EXPECT_EQ(list->ScanVolumes(), 2);
  late->WaitFinished(4);
  EXPECT_TRUE(list->AbortScans());
  EXPECT_EQ(early->starts(), 2);
  EXPECT_EQ(late->starts(), 4);
  EXPECT_EQ(early->RefCount(), 1);  // no scanner holds it any more
}

TEST_F(ScannerList, WriterWaitsForAnEnumeratorOnAnotherThread) {
  auto list = MoxCreateVolumeScannerList();
  auto a = Scanner(), b = Scanner();
  list->Add(a.get());
  std::atomic<bool> added{false};
  auto e = list->GetEnumerator();
  std::thread writer([&] {
    list->Add(b.get());
    added = true;
  });
  Sleep(100);
  EXPECT_FALSE(added);
  // The reading thread reads on while the writer waits.
  ASSERT_TRUE(e->MoveNext());
  EXPECT_EQ(e->GetCurrent().get(), a.get());
  EXPECT_FALSE(e->MoveNext());  // counted when it was made
  EXPECT_FALSE(added);
  e = nullptr;
  writer.join();
  EXPECT_TRUE(added);
  EXPECT_EQ(list->GetCount(), 2);
}

// A host thread registers a receiver (which waits for the running scan)
// while a receiver of that scan reads the list: both must get through.
TEST_F(ScannerList, ReceiverReadsTheListWhileAHostThreadWritesIt) {
  Many(3, 10);
  auto list = MoxCreateVolumeScannerList();
  auto s = Scanner();
  list->Add(s.get());
  std::atomic<bool> inside{false}, writing{false};
  std::vector<IMoxVolumeScanner*> seen;
  InterfacePtr<Recorder> reader(new Recorder), late(new Recorder);
  reader->onItem = [&, first = true](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) mutable {
    if (!std::exchange(first, false)) return;
    inside = true;
    while (!writing) std::this_thread::yield();
    Sleep(50);  // the writer is inside RegisterCallbacks by now
    seen = Enumerate(list.get());
    seen.push_back(list->GetItem(0).get());
  };
  list->RegisterCallbacks(reader.get());
  ASSERT_EQ(list->ScanVolumes(), 1);
  while (!inside) std::this_thread::yield();
  writing = true;
  list->RegisterCallbacks(late.get());  // waits for the scan to finish
  EXPECT_EQ(reader->finishes(), 1);
  EXPECT_EQ(seen, (std::vector<IMoxVolumeScanner*>{s.get(), s.get()}));
  EXPECT_TRUE(list->AbortScans());
}

TEST_F(ScannerList, LockIsReentrantAndReadersMayAskToWrite) {
  auto list = MoxCreateVolumeScannerList();
  list->BeginWrite();
  list->BeginRead();  // inside one's own write
  EXPECT_TRUE(list->BeginWrite());
  list->EndWrite();
  list->EndRead();
  list->EndWrite();

  // Two readers asking to write at once: each gets the lock in turn, the second learns it was not first.
  std::atomic<int> ready{0}, first{0};
  auto promote = [&] {
    list->BeginRead();
    ++ready;
    while (ready < 2) Sleep(1);
    if (list->BeginWrite()) ++first;
    list->EndWrite();
    list->EndRead();
  };
  std::thread t1(promote), t2(promote);
  t1.join();
  t2.join();
  EXPECT_EQ(first, 1);
}

// Two threads start and abort the scans in rounds, through the list and on
// one scanner directly, while others enumerate and register receivers
// (writers that wait for running scans): each start is one whole scan with
// its finish, and no thread handle is closed twice or left behind.
TEST_F(ScannerList, ScansStartAndAbortFromSeveralThreadsWhileOthersReadAndWrite) {
  Many(20, 40);
  auto list = MoxCreateVolumeScannerList();
  InterfacePtr<Recorder> r(new Recorder), passing(new Recorder);
  list->RegisterCallbacks(r.get());
  std::vector<InterfacePtr<IMoxVolumeScanner>> scanners;
  for (int i = 0; i < 4; ++i) list->Add(scanners.emplace_back(Scanner()).get());
  std::atomic<bool> stop{false};
  std::thread enumerating([&] {
    while (!stop) EXPECT_EQ(Enumerate(list.get()).size(), 4u);
  });
  std::thread registering([&] {
    while (!stop) {
      list->RegisterCallbacks(passing.get());
      list->RevokeCallbacks(passing.get());
    }
  });
  std::atomic<int> started{0};
  auto scanning = [&] {
    for (int round = 0; round < 10; ++round) {
      started += list->ScanVolumes() + (scanners[0]->ScanVolume() ? 1 : 0);
      EXPECT_TRUE(list->AbortScans());
    }
  };
  std::thread one(scanning), other(scanning);
  one.join();
  other.join();
  stop = true;
  enumerating.join();
  registering.join();
  EXPECT_EQ(std::tuple(started.load(), r->starts(), r->finishes()), std::tuple(100, 100, 100));
  EXPECT_EQ(passing->starts(), passing->finishes());
  EXPECT_EQ(passing->RefCount(), 1);
}

TEST_F(ScannerList, ReleasingTheListMidScanStopsAndFreesEveryScanner) {
  Many(20, 40);
  for (bool fromScanThread : {false, true}) {
    SCOPED_TRACE(fromScanThread ? "released by a receiver" : "released by the host");
    std::atomic<int> destroyed{0};
    InterfacePtr<Recorder> r(new Recorder);
    auto list = MoxCreateVolumeScannerList();
    list->RegisterCallbacks(r.get());
    for (int i = 0; i < 3; ++i) list->Add(Scanner(&destroyed).get());  // the list holds the only references
    // The host holds its reference for the length of its own call; after
    // that the list's last reference goes while the scans run.
    std::atomic<IMoxVolumeScannerList*> owned{nullptr};
    std::atomic<bool> handedOver{false};
    if (fromScanThread)
      r->onItem = [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) {
        while (!handedOver) Sleep(1);
        if (auto* l = owned.exchange(nullptr)) l->Release();
      };
    ASSERT_EQ(list->ScanVolumes(), 3);
    owned = list.detach();
    handedOver = true;
    if (!fromScanThread) owned.exchange(nullptr)->Release();
    // A scanner freed on its own thread lets go of the receiver just after it counts.
    for (int waited = 0; (destroyed < 3 || r->RefCount() != 1) && waited < 20000; ++waited) Sleep(1);
    EXPECT_EQ(std::tuple(destroyed.load(), r->finishes(), r->RefCount()), std::tuple(3, 3, 1));
  }
}

}  // namespace
