// The scanner base: registration, fan-out order, the item filter, validity,
// the lock across a scan and reference counting.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "MoxVolumeScannerBase.h"
#include "Recorder.h"

namespace {

// Drives the base's events directly from the test thread.
class TestScanner : public TMoxVolumeScannerBase {
 public:
  TestScanner(TMoxVolumeScannerAPI api, const WideString& mp) : TMoxVolumeScannerBase(api, mp) {}
  WideString GetCurrentPath() override { return u""; }
  bool ScanVolume() override { return false; }
  bool AbortScan() override { return true; }

  void Item(DWORD attributes) {
    WIN32_FIND_DATAW d{};
    d.dwFileAttributes = attributes;
    d.cFileName[0] = u'x';
    DoItem(this, d);
  }
  void EnterAndLeave() {
    EnterCriticalSection(&FLock);
    LeaveCriticalSection(&FLock);
  }
  // True when another thread can take the lock right now.
  bool LockFreeForOthers() {
    bool got = false;
    std::thread([&] {
      got = TryEnterCriticalSection(&FLock);
      if (got) LeaveCriticalSection(&FLock);
    }).join();
    return got;
  }
};

struct Fixture : ::testing::Test {
  std::vector<std::string> log;  // "tag:event", events driven from the test thread
  InterfacePtr<TestScanner> scanner{new TestScanner(vsaFind, u"C:\\")};
  InterfacePtr<Recorder> Make(const std::string& tag) {
    InterfacePtr<Recorder> r(new Recorder);
    r->onStart = [=, this](IMoxVolumeScanner*) { log.push_back(tag + ":start"); };
    r->onItem = [=, this](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) { log.push_back(tag + ":item"); };
    r->onFinish = [=, this](IMoxVolumeScanner*, bool) { log.push_back(tag + ":finish"); };
    return r;
  }
};

TEST_F(Fixture, RegistrationKeepsOrderIgnoresDuplicatesAndItemFilterDropsFolders) {
  auto a = Make("A"), b = Make("B"), c = Make("C");
  for (auto* r : {a.get(), b.get(), a.get(), static_cast<Recorder*>(nullptr), c.get()}) scanner->RegisterCallbacks(r);
  scanner->DoStart(scanner.get());
  for (DWORD attr : {0x10u, 0x400u, 0x410u, 0x11u}) scanner->Item(attr);  // folders and reparse points
  scanner->Item(0x20);
  scanner->DoFinish(scanner.get(), false);
  EXPECT_EQ(log, (std::vector<std::string>{"A:start", "B:start", "C:start", "A:item", "B:item", "C:item", "A:finish",
                                           "B:finish", "C:finish"}));
  log.clear();
  scanner->RevokeCallbacks(b.get());
  scanner->RevokeCallbacks(b.get());  // not registered any more: nothing changes
  scanner->DoStart(scanner.get());
  scanner->Item(0);
  scanner->DoFinish(scanner.get(), true);
  EXPECT_EQ(log, (std::vector<std::string>{"A:start", "C:start", "A:item", "C:item", "A:finish", "C:finish"}));
  EXPECT_TRUE(c->aborted());
}

TEST_F(Fixture, ChangesDuringAFanOutAffectOnlyLaterPasses) {
  auto a = Make("A"), b = Make("B"), late = Make("L");
  a->onStart = [&](IMoxVolumeScanner* s) { s->RegisterCallbacks(late.get()); };
  a->onItem = [&](IMoxVolumeScanner* s, const WIN32_FIND_DATAW&) { s->RevokeCallbacks(a.get()); };
  scanner->RegisterCallbacks(a.get());
  scanner->RegisterCallbacks(b.get());
  scanner->DoStart(scanner.get());
  scanner->Item(0x20);  // A revokes itself: the pass ends early, nothing is read past the end
  scanner->Item(0x20);
  scanner->DoFinish(scanner.get(), false);
  EXPECT_EQ(late->starts(), 0);  // registered during OnStart: not called in that pass
  EXPECT_EQ(late->items().size(), 2u);
  EXPECT_EQ(a->items().size(), 1u);
  EXPECT_EQ(b->items().size(), 1u);  // only the second item: the first pass shrank under it
}

TEST(ScannerBase, MountPointAndKindDecideValidity) {
  ReturningAssertions asserts;
  EXPECT_TRUE(InterfacePtr<TestScanner>(new TestScanner(vsaFind, u"C:\\"))->GetIsValid());
  EXPECT_TRUE(asserts.messages().empty());
  EXPECT_FALSE(InterfacePtr<TestScanner>(new TestScanner(vsaFind, u"C:"))->GetIsValid());
  EXPECT_FALSE(InterfacePtr<TestScanner>(new TestScanner(vsaFind, u""))->GetIsValid());
  EXPECT_FALSE(InterfacePtr<TestScanner>(new TestScanner(vsaAuto, u"C:\\"))->GetIsValid());
  ASSERT_EQ(asserts.messages().size(), 4u);  // "C:" fails two checks, "" and vsaAuto one each
  EXPECT_EQ(asserts.messages()[0].rfind("Assertion failure (MoxVolumeScannerBase, line ", 0), 0u);
}

TEST_F(Fixture, LockIsHeldFromStartToFinishAndLeftEvenWhenAReceiverThrows) {
  auto a = Make("A");
  bool throwing = true;
  a->onFinish = [&](IMoxVolumeScanner*, bool) {
    if (throwing) throw std::runtime_error("receiver failed");
  };
  scanner->RegisterCallbacks(a.get());
  EXPECT_TRUE(scanner->LockFreeForOthers());
  scanner->DoStart(scanner.get());
  scanner->EnterAndLeave();  // the owner re-enters; its leave does not free the lock
  EXPECT_FALSE(scanner->LockFreeForOthers());
  EXPECT_THROW(scanner->DoFinish(scanner.get(), false), std::runtime_error);
  EXPECT_TRUE(scanner->LockFreeForOthers());

  // A receiver that throws in OnStart leaves the lock held until DoFinish.
  throwing = false;
  a->onStart = [](IMoxVolumeScanner*) { throw std::runtime_error("start failed"); };
  EXPECT_THROW(scanner->DoStart(scanner.get()), std::runtime_error);
  EXPECT_FALSE(scanner->LockFreeForOthers());
  scanner->DoFinish(scanner.get(), false);
  EXPECT_TRUE(scanner->LockFreeForOthers());
}

}  // namespace
