// The factory's choice of back-end and its fall-backs, over letters bound to
// folders and to images the raw readers accept or reject; the callbacks adapter.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "ImageDevice.h"
#include "MoxVolScan.h"
#include "MoxVolumeScanner.h"
#include "MoxVolumeScannerFind.h"
#include "Recorder.h"
#include "ScratchDir.h"

namespace {

constexpr UINT kQuiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
constexpr UINT kHostMode = 0x4;  // any mode the factory must hand back

UINT CurrentErrorMode() {
  const UINT mode = SetErrorMode(0);
  SetErrorMode(mode);
  return mode;
}

// Passes reads on and notes any made while critical-error dialogs could show.
class ModeSpy : public RawSource {
 public:
  explicit ModeSpy(std::shared_ptr<RawSource> inner) : inner_(std::move(inner)) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    if (CurrentErrorMode() != kQuiet) loudReads++;
    return inner_->ReadAt(offset, buffer, len, done);
  }
  bool WriteAt(uint64_t, const void*, size_t, size_t&) override { return false; }
  uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return false; }
  std::atomic<int> loudReads{0};

 private:
  std::shared_ptr<RawSource> inner_;
};

enum class Image { None, Fat, Ntfs, Zeros };

class Factory : public ::testing::Test {
 protected:
  void SetUp() override {
    Initialize();
    ASSERT_FALSE(scratch.path().empty());
    ASSERT_TRUE(RunQuietly("mkfs.fat -C " + scratch / "fat.img" + " 1024"));
    ASSERT_TRUE(RunQuietly("truncate -s 8M " + scratch / "ntfs.img" + " && mkntfs -F -q -f " + scratch / "ntfs.img"));
    ASSERT_TRUE(RunQuietly("truncate -s 1M " + scratch / "zeros.img"));
    WriteHostFile(scratch / "tree/sub/a.txt", "a");
    WriteHostFile(scratch / "tree/b.txt", "b");
  }
  void TearDown() override {
    for (char l : letters) UnbindDriveLetter(l);
    Finalize();
  }

  // "X:" of a fresh letter bound to an image and/or the scratch tree.
  std::u16string Bind(Image image, const std::string& fileSystem, bool folder) {
    static const char* names[] = {"", "fat.img", "ntfs.img", "zeros.img"};
    DriveBinding b;
    if (image != Image::None) b.raw = spy = std::make_shared<ModeSpy>(OpenImageSource(scratch / names[int(image)]));
    if (folder) b.rootDir = scratch / "tree";
    b.fileSystemName = fileSystem;
    const char l = NextFreeLetter();
    EXPECT_TRUE(BindDriveLetter(l, b));
    letters.push_back(l);
    return {char16_t(l), u':'};
  }

  ScratchDir scratch;
  std::vector<char> letters;
  std::shared_ptr<ModeSpy> spy;
};

TEST_F(Factory, AutomaticChoiceByFileSystemNameFallsBackToTheWalk) {
  struct Case {
    const char* what;
    Image image;
    const char* fileSystem;  // forced name, "" = from the boot sector or mount table
    bool folder;
    int kind;  // 0: no scanner
  } cases[] = {
      {"a folder", Image::None, "", true, vsaFind},
      {"a FAT image", Image::Fat, "", false, vsaVFAT},
      {"only the prefix counts, in any case", Image::Fat, "fat12", false, vsaVFAT},
      {"exFAT is no FAT: the raw reader is not tried", Image::Fat, "exFAT", false, 0},
      {"a damaged FAT volume", Image::Zeros, "FAT32", true, vsaFind},
      {"an NTFS image", Image::Ntfs, "", false, vsaNTFS},
      {"NtfsLib refuses a FAT volume named NTFS", Image::Fat, "ntfs-3g", true, vsaFind},
      {"nothing readable at all", Image::Zeros, "", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto root = Bind(c.image, c.fileSystem, c.folder);
    InterfacePtr<Recorder> receiver(new Recorder);
    SetErrorMode(kHostMode);
    auto scanner = MoxCreateVolumeScanner(root, receiver, vsaAuto);
    EXPECT_EQ(CurrentErrorMode(), kHostMode);
    EXPECT_EQ(spy ? spy->loudReads.load() : 0, 0);
    spy = nullptr;
    EXPECT_EQ(scanner ? int(scanner->GetScannerAPI()) : 0, c.kind);
    if (!scanner) continue;
    EXPECT_TRUE(scanner->GetIsValid());
    EXPECT_EQ(scanner->GetMountPoint(), root + u"\\");
    EXPECT_EQ(receiver->RefCount(), 2);  // ours and the final scanner's, none left behind
    scanner = nullptr;
    EXPECT_EQ(receiver->RefCount(), 1);
  }
  SetErrorMode(0);
}

// A kind that could not be made gives null, with the reason as the thread's
// last error; a host's bad arguments are answered the same way, not with an
// assertion.
TEST_F(Factory, ExplicitKindsGiveThatScannerOrNoneAndSayWhy) {
  const auto folder = Bind(Image::None, "", true);
  const auto fat = Bind(Image::Fat, "", false);
  struct Case {
    const char* what;
    std::u16string mountPoint;
    int kind;
    DWORD error;  // ERROR_SUCCESS: made
  } cases[] = {
      {"the walk", folder, vsaFind, ERROR_SUCCESS},
      {"the raw FAT reader", fat, vsaVFAT, ERROR_SUCCESS},
      {"the raw FAT reader on a folder", folder, vsaVFAT, ERROR_NOT_READY},
      {"NtfsLib on FAT", fat, vsaNTFS, ERROR_UNRECOGNIZED_VOLUME},
      {"no such kind", folder, 7, ERROR_INVALID_PARAMETER},
      {"a mount point too short", u"C", vsaFind, ERROR_INVALID_PARAMETER},
      {"an unbound letter", u"B:", vsaFind, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetErrorMode(kHostMode);
    SetLastError(ERROR_HANDLE_EOF);  // whatever came before
    auto scanner = MoxCreateVolumeScanner(c.mountPoint, nullptr, TMoxVolumeScannerAPI(c.kind));
    EXPECT_EQ(GetLastError(), c.error) << SysErrorMessage(GetLastError());
    EXPECT_EQ(CurrentErrorMode(), kHostMode);
    EXPECT_EQ(scanner ? int(scanner->GetScannerAPI()) : 0, c.error ? 0 : c.kind);
  }
  SetErrorMode(0);
}

// A host that forgot Initialize learns it: the raw reader is refused for
// that reason, and the walk's failure (the image has no folder) doesn't hide it.
TEST_F(Factory, ForgottenInitializeIsTheReasonGiven) {
  const auto fat = Bind(Image::Fat, "", false);
  int started = 0;
  for (; MoxIsInitialized(); ++started) Finalize();
  auto scanner = MoxCreateVolumeScanner(fat, nullptr, vsaAuto);
  const DWORD error = GetLastError();
  for (int i = 0; i < started; ++i) Initialize();
  EXPECT_FALSE(scanner);
  EXPECT_EQ(SysErrorMessage(error), "The device is not ready.");
  EXPECT_TRUE(MoxCreateVolumeScanner(fat, nullptr, vsaAuto));
}

TEST_F(Factory, AdapterCallsTheAssignedHandlersWithTheScannersRecord) {
  const auto root = Bind(Image::None, "", true);
  auto silent = MoxCreateVolumeScannerCallbacks(nullptr, nullptr, nullptr);
  auto* find = new TMoxVolumeScannerFind(root + u"\\");
  InterfacePtr<IMoxVolumeScanner> scanner(find);
  WIN32_FIND_DATAW record{};
  std::vector<std::string> seen;
  auto adapter = MoxCreateVolumeScannerCallbacks(
      [&](IMoxVolumeScanner*) { seen.push_back("start " + std::to_string(find->RefCount())); },
      [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW& item) { seen.push_back(&item == &record ? "same" : "a copy"); },
      [&](IMoxVolumeScanner*, bool aborted) { seen.push_back(aborted ? "aborted" : "finished"); });
  for (auto* callbacks : {silent.get(), adapter.get()}) {
    callbacks->OnStart(scanner.get());  // held for the call: one reference more
    callbacks->OnItem(scanner.get(), record);
    callbacks->OnFinish(scanner.get(), true);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"start 2", "same", "aborted"}));
  EXPECT_EQ(find->RefCount(), 1);
}

}  // namespace
