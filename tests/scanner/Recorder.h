// A receiver that records what a scan reports, for the scanner tests.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "InterfacePtr.h"
#include "MoxVolumeScanner.h"
#include "MoxVolumeScannerFind.h"
#include "MoxVolumeScannerIntf.h"
#include "WinApi.h"

struct RecordedItem {
  std::string folder;  // GetCurrentPath during OnItem, UTF-8
  std::string name;    // cFileName, UTF-8
  DWORD attributes = 0;
  uint64_t size = 0;
};

class Recorder : public TInterfacedObject<IMoxVolumeScannerCallbacks> {
 public:
  // Hooks run inside the events, after they are recorded.
  std::function<void(IMoxVolumeScanner*)> onStart;
  std::function<void(IMoxVolumeScanner*, const WIN32_FIND_DATAW&)> onItem;
  std::function<void(IMoxVolumeScanner*, bool)> onFinish;

  void OnStart(IMoxVolumeScanner* s) override {
    Record([&] { ++starts_; });
    if (onStart) onStart(s);
  }
  void OnItem(IMoxVolumeScanner* s, const WIN32_FIND_DATAW& item) override {
    const RecordedItem r{WideToAnsi(s->GetCurrentPath()), WideToAnsi(item.cFileName), item.dwFileAttributes,
                         (uint64_t(item.nFileSizeHigh) << 32) | item.nFileSizeLow};
    Record([&] { items_.push_back(r); });
    if (onItem) onItem(s, item);
  }
  void OnFinish(IMoxVolumeScanner* s, bool aborted) override {
    Record([&] { ++finishes_, aborted_ = aborted; });
    if (onFinish) onFinish(s, aborted);  // may throw: the finish is already counted
  }

  // Waits until n OnFinish calls have arrived (no time limit: a hang fails the test run).
  void WaitFinished(int n = 1) {
    std::unique_lock g(lock_);
    changed_.wait(g, [&] { return finishes_ >= n; });
  }

  int starts() { return Locked(starts_); }
  int finishes() { return Locked(finishes_); }
  bool aborted() { return Locked(aborted_); }
  std::vector<RecordedItem> items() { return Locked(items_); }
  // "folder/name" paths with "\" kept as the scanner reports them.
  std::vector<std::string> paths() {
    std::vector<std::string> out;
    for (const auto& i : items()) out.push_back(i.folder + i.name);
    return out;
  }

 private:
  template <class T>
  T Locked(const T& field) {
    std::lock_guard g(lock_);
    return field;
  }
  template <class Change>
  void Record(Change change) {
    std::lock_guard g(lock_);
    change();
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  int starts_ = 0, finishes_ = 0;
  bool aborted_ = false;
  std::vector<RecordedItem> items_;
};

// A scanner that counts its destructions.
template <class Scanner>
class Counted : public Scanner {
 public:
  Counted(const WideString& root, std::atomic<int>* destroyed) : Scanner(root), destroyed_(destroyed) {}
  ~Counted() override {
    if (destroyed_) ++*destroyed_;
  }

 private:
  std::atomic<int>* destroyed_;
};
using CountedFind = Counted<TMoxVolumeScannerFind>;

// One scan by raw (handed over) whose receiver invalidates it at the first
// item: the walk must stop, say it was aborted, and let go of the receiver.
template <class Scanner>
InterfacePtr<Recorder> ScanInvalidatedAtFirstItem(Scanner* raw) {
  InterfacePtr<IMoxVolumeScanner> s(raw);
  InterfacePtr<Recorder> r(new Recorder);
  r->onItem = [raw, first = true](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) mutable {
    if (std::exchange(first, false)) raw->Invalidate();
  };
  s->RegisterCallbacks(r.get());
  EXPECT_TRUE(s->ScanVolume());
  r->WaitFinished();
  EXPECT_TRUE(s->AbortScan());  // waits for the thread to end
  EXPECT_TRUE(r->aborted());
  EXPECT_FALSE(s->GetIsValid());
  EXPECT_EQ(r->RefCount(), 1);  // dropped once OnFinish had reached it
  return r;
}

// At its first item, r calls AbortScan and then ScanVolume from inside the
// receiver; results gets each call's result and last error.
inline void CallBackIntoTheScanAtFirstItem(Recorder& r, std::vector<std::pair<bool, DWORD>>& results) {
  r.onItem = [&results](IMoxVolumeScanner* sc, const WIN32_FIND_DATAW&) {
    if (!results.empty()) return;
    const bool aborted = sc->AbortScan();
    results.emplace_back(aborted, GetLastError());
    const bool started = sc->ScanVolume();
    results.emplace_back(started, GetLastError());
  };
}

// The host lets go of its only reference while a receiver made by
// MoxCreateVolumeScannerCallbacks (which holds the scanner for each event) is
// inside OnItem: the release must stop the scan and wait for it, so OnFinish
// has come and the scanner is gone when the host's call returns. raw counts
// its destructions into destroyed.
inline void ExpectLastReleaseWaitsForTheScan(IMoxVolumeScanner* raw, std::atomic<int>& destroyed) {
  InterfacePtr<IMoxVolumeScanner> host(raw);
  std::atomic<bool> inside{false}, releasing{false}, finished{false}, aborted{false};
  auto callbacks = MoxCreateVolumeScannerCallbacks(
      nullptr,
      [&, first = true](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) mutable {
        if (!std::exchange(first, false)) return;
        inside = true;
        while (!releasing) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the host is inside its release
      },
      [&](IMoxVolumeScanner*, bool a) { aborted = a, finished = true; });
  host->RegisterCallbacks(callbacks.get());
  ASSERT_TRUE(host->ScanVolume());
  while (!inside) std::this_thread::yield();
  releasing = true;
  host.reset();
  EXPECT_TRUE(finished) << "the host's release returned before the scan ended";
  EXPECT_TRUE(aborted);
  EXPECT_EQ(destroyed, 1);
  callbacks->AddRef();
  EXPECT_EQ(callbacks->Release(), 1u) << "the scanner let go of its receiver";
}

// Makes assertions return for the life of the object, counting them.
#include "Assert.h"
class ReturningAssertions {
 public:
  ReturningAssertions() {
    SetAssertionHandler([this](const std::string& m) {
      std::lock_guard g(lock_);
      messages_.push_back(m);
    });
  }
  ~ReturningAssertions() { SetAssertionHandler(nullptr); }
  std::vector<std::string> messages() {
    std::lock_guard g(lock_);
    return messages_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> messages_;
};
