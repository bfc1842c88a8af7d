// TMoxVolumeScannerNTFS over the real NtfsLib, on the filled volume.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "../scanner/Recorder.h"
#include "MoxVolumeScannerNTFS.h"
#include "NtfsImage.h"
#include "ToolProcess.h"

namespace {

struct CountedNTFS : TMoxVolumeScannerNTFS {
  CountedNTFS(const WideString& mp, std::atomic<int>* destroyed) : TMoxVolumeScannerNTFS(mp), destroyed(destroyed) {}
  ~CountedNTFS() override { ++*destroyed; }
  std::atomic<int>* destroyed;
};

class NtfsScanner : public ::testing::Test {
 protected:
  void SetUp() override {
    const FilledVolume& v = SharedVolume();
    if (v.mount.empty()) GTEST_SKIP() << "no FUSE here: ntfs-3g cannot fill the volume";
    root = BindImage(v.image);
    ASSERT_FALSE(root.empty());
  }
  void TearDown() override { UnbindRoot(root); }
  std::u16string root;
};

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
  // Names here need no escaping: the path is the text between its quotes.
  auto field = [](const std::string& line, const std::string& key) {
    size_t from = line.find("\"" + key + "\":") + key.size() + 3;
    const bool text = line[from] == '"';
    from += text;
    return line.substr(from, line.find_first_of(text ? "\"" : ",}", from) - from);
  };
  std::map<std::string, std::map<std::string, uint64_t>> files;
  std::istringstream out(r.out);
  for (std::string line; std::getline(out, line);) {
    EXPECT_EQ(std::stoul(field(line, "attributes")) & FILE_ATTRIBUTE_DIRECTORY, 0u) << line;
    files[field(line, "volume")][field(line, "path")] = std::stoull(field(line, "size"));
  }
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& volume : {v.mount, v.image})
    EXPECT_TRUE(files[volume] == v.walk) << volume << Difference(files[volume], v.walk);
}

// Ways a scan ends early: the host aborts it or lets go of the scanner, or a
// receiver on the scan thread lets go of it or invalidates it.
TEST_F(NtfsScanner, EndsEarlyWithOneFinishAndOneDestruction) {
  enum How { kAbort, kReleaseFromHost, kReleaseFromReceiver, kInvalidateFromReceiver };
  for (const How how : {kAbort, kReleaseFromHost, kReleaseFromReceiver, kInvalidateFromReceiver}) {
    SCOPED_TRACE(how);
    std::atomic<int> destroyed{0};
    InterfacePtr<IMoxVolumeScanner> s(new CountedNTFS(root, &destroyed));
    InterfacePtr<Recorder> r(new Recorder);
    std::mutex m;
    std::condition_variable cv;
    int seen = 0;
    bool stopping = false;
    auto* raw = static_cast<CountedNTFS*>(s.get());
    r->onItem = [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) {
      std::unique_lock g(m);
      if (++seen != 5) return;
      if (how == kReleaseFromReceiver || how == kInvalidateFromReceiver) {
        g.unlock();
        if (how == kReleaseFromReceiver)
          raw->Release();  // the last reference goes on the scan thread
        else
          raw->Invalidate();  // the library stops calling: the finish comes from the scanner
        return;
      }
      cv.notify_all();
      // Held until the host is about to stop the scan, then a little longer
      // so that its request is in before this item ends.
      cv.wait_for(g, std::chrono::seconds(5), [&] { return stopping; });
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    s->RegisterCallbacks(r.get());
    ASSERT_TRUE(s->ScanVolume());
    if (how == kReleaseFromReceiver) {
      s.detach();
    } else if (how != kInvalidateFromReceiver) {
      std::unique_lock g(m);
      cv.wait(g, [&] { return seen >= 5; });
      stopping = true;
      cv.notify_all();
    }
    if (how == kAbort) {
      EXPECT_TRUE(s->AbortScan());
      EXPECT_EQ(r->finishes(), 1);
    } else if (how == kReleaseFromHost) {
      s.reset();
    }
    r->WaitFinished();
    EXPECT_TRUE(r->aborted());
    EXPECT_GE(r->items().size(), 5u);
    EXPECT_LT(r->items().size(), 20u) << "the scan stops at the next item";
    s.reset();
    for (int i = 0; i < 500 && destroyed == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(destroyed, 1);
  }
}

}  // namespace
