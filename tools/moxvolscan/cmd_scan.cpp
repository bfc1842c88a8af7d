// moxvolscan scan: every file under a path through the scanner interface.
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "CliSupport.h"
#include "Command.h"
#include "MoxVolScan.h"
#include "MoxVolumeScannerFind.h"
#include "MoxVolumeScannerVFAT.h"
#include "Names.h"
#include "WinApi.h"

namespace {

enum class OutputMode { Lines, Json, Count };

// The back-end for --api; null with a usage message for a kind not offered.
InterfacePtr<IMoxVolumeScanner> CreateScanner(const std::string& api, const WideString& mountPoint,
                                              std::string& usageError) {
  if (api == "find") return InterfacePtr<IMoxVolumeScanner>(new TMoxVolumeScannerFind(mountPoint));
  if (api == "vfat") return InterfacePtr<IMoxVolumeScanner>(new TMoxVolumeScannerVFAT(mountPoint));
  usageError = "unknown scanner '" + api + "' (available: find, vfat)";
  return nullptr;
}

// Receives the scan's events on the scan thread and writes the listing.
class ScanPrinter : public TInterfacedObject<IMoxVolumeScannerCallbacks> {
 public:
  ScanPrinter(OutputMode mode, bool showProgress) : mode_(mode), showProgress_(showProgress) {
    out_.reserve(kFlushAt + 4096);
  }

  void OnStart(IMoxVolumeScanner*) override { startMs_ = GetTickCount(); }

  void OnItem(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem) override {
    const uint64_t size = (uint64_t(AItem.nFileSizeHigh) << 32) | AItem.nFileSizeLow;
    ++files_;
    bytes_ += size;
    if (mode_ != OutputMode::Count) Print(AScanner, AItem, size);
    if (showProgress_ && (files_ & 1023) == 0) {
      const DWORD elapsed = GetTickCount() - startMs_;
      const uint64_t rate = elapsed ? files_ * 1000 / elapsed : 0;
      progress_.Update(std::to_string(files_) + " files, " + std::to_string(bytes_ >> 20) + " MiB, " +
                       std::to_string(rate) + " files/s");
    }
  }

  void OnFinish(IMoxVolumeScanner*, bool AAborted) override {
    Flush();
    progress_.Clear();
    std::lock_guard guard(lock_);
    finished_ = true;
    aborted_ = AAborted;
    changed_.notify_all();
  }

  void RequestInterrupt() {
    std::lock_guard guard(lock_);
    interruptRequested_ = true;
    changed_.notify_all();
  }

  // Waits for the end of the scan or for Ctrl-C; true when interrupted first.
  bool WaitFinishedOrInterrupted() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return finished_ || interruptRequested_; });
    return !finished_;
  }

  // Valid once the scan thread has ended.
  uint64_t files() const { return files_; }
  uint64_t bytes() const { return bytes_; }
  bool aborted() const { return aborted_; }

 private:
  static constexpr size_t kFlushAt = 1 << 18;

  void Print(IMoxVolumeScanner* scanner, const WIN32_FIND_DATAW& item, uint64_t size) {
    // The folder changes far less often than the file: convert it only then.
    const WideString folder = scanner->GetCurrentPath();
    if (folder != folderWide_) {
      folderWide_ = folder;
      // Each folder name shown as ls shows names, "/" after each.
      const std::string utf8 = WideToHostName(folder.data(), folder.size());
      folderUtf8_.clear();
      for (size_t pos = 0, end; (end = utf8.find('\\', pos)) != std::string::npos; pos = end + 1) {
        AppendShownName(folderUtf8_, utf8.substr(pos, end - pos), false);
        folderUtf8_ += '/';
      }
    }
    size_t units = 0;
    while (units < MAX_PATH && item.cFileName[units]) ++units;
    shownName_.clear();
    AppendShownName(shownName_, WideToHostName(item.cFileName, units), false);
    if (mode_ == OutputMode::Json) {
      out_ += "{\"path\":\"";
      AppendJsonEscaped(out_, folderUtf8_.data(), folderUtf8_.size());
      AppendJsonEscaped(out_, shownName_.data(), shownName_.size());
      out_ += "\",\"size\":";
      out_ += std::to_string(size);
      out_ += ",\"mtime\":\"";
      AppendFileTimeIso(out_, item.ftLastWriteTime);
      out_ += "\",\"attributes\":";
      out_ += std::to_string(item.dwFileAttributes);
      out_ += "}\n";
    } else {
      out_ += folderUtf8_;
      out_ += shownName_;
      out_ += '\t';
      out_ += std::to_string(size);
      out_ += '\t';
      AppendFileTimeIso(out_, item.ftLastWriteTime);
      out_ += '\n';
    }
    if (out_.size() >= kFlushAt) Flush();
  }

  void Flush() {
    if (out_.empty()) return;
    progress_.Clear();
    std::fwrite(out_.data(), 1, out_.size(), stdout);
    out_.clear();
  }

  const OutputMode mode_;
  const bool showProgress_;
  ProgressLine progress_;
  std::string out_;
  WideString folderWide_;
  std::string folderUtf8_;
  std::string shownName_;
  uint64_t files_ = 0;
  uint64_t bytes_ = 0;
  DWORD startMs_ = 0;

  std::mutex lock_;
  std::condition_variable changed_;
  bool finished_ = false;
  bool aborted_ = false;
  bool interruptRequested_ = false;
};

int RunScan(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {"--json", "--count"}, {"--api"});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 1) {
    std::fprintf(stderr, "moxvolscan scan: give one PATH (try 'moxvolscan scan --help')\n");
    return kExitUsage;
  }
  if (parsed->Has("--json") && parsed->Has("--count")) {
    std::fprintf(stderr, "moxvolscan scan: --json and --count exclude each other\n");
    return kExitUsage;
  }
  const OutputMode mode = parsed->Has("--count")  ? OutputMode::Count
                          : parsed->Has("--json") ? OutputMode::Json
                                                  : OutputMode::Lines;
  const std::string path = parsed->positional[0];
  const std::string api = parsed->Get("--api", "find");

  ModuleSession module;
  std::string error;
  const char letter = BindHostPath(path, error);
  if (!letter) {
    std::fprintf(stderr, "moxvolscan scan: %s\n", error.c_str());
    return kExitFailure;
  }
  struct Unbind {
    char letter;
    ~Unbind() { MoxUnbindDriveLetter(letter); }
  } unbind{letter};

  const WideString mountPoint = WideString(1, char16_t(letter)) + u":\\";
  InterfacePtr<IMoxVolumeScanner> scanner = CreateScanner(api, mountPoint, error);
  if (!scanner) {
    std::fprintf(stderr, "moxvolscan scan: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!scanner->GetIsValid()) {
    std::fprintf(stderr, "moxvolscan scan: %s: %s\n", Printable(path).c_str(),
                 api == "vfat" ? "not a FAT image or device" : "cannot list this folder");
    return kExitFailure;
  }

  // A progress line would fight with a listing on the same terminal.
  const bool showProgress = mode == OutputMode::Count || !isatty(STDOUT_FILENO);
  InterfacePtr<ScanPrinter> printer(new ScanPrinter(mode, showProgress));
  scanner->RegisterCallbacks(printer.get());
  InstallInterruptHandler([p = printer] { p->RequestInterrupt(); });
  if (!scanner->ScanVolume()) {
    std::fprintf(stderr, "moxvolscan scan: %s: cannot start the scan\n", Printable(path).c_str());
    return kExitFailure;
  }
  printer->WaitFinishedOrInterrupted();
  scanner->AbortScan();  // stops an interrupted scan; in any case waits for the thread to end
  InstallInterruptHandler(nullptr);
  std::fflush(stdout);

  const std::string totals =
      std::to_string(printer->files()) + " files, " + std::to_string(printer->bytes()) + " bytes";
  if (mode == OutputMode::Count) std::printf("%s\n", totals.c_str());
  if (printer->aborted()) {
    std::fprintf(stderr, "moxvolscan scan: interrupted after %s\n", totals.c_str());
    return kExitFailure;
  }
  // What the walk could not enter is not in the listing: say so.
  auto* walk = dynamic_cast<TMoxVolumeScannerFind*>(scanner.get());
  const std::vector<WideString> skipped = walk ? walk->SkippedFolders() : std::vector<WideString>{};
  for (const WideString& folder : skipped) {
    std::string shown = WideToAnsi(folder);
    for (char& c : shown)
      if (c == '\\') c = '/';
    std::fprintf(stderr, "moxvolscan scan: could not enter %s\n", shown.c_str());
  }
  return skipped.empty() ? kExitOk : kExitFailure;
}

CommandRegistrar registrar({
    "scan",
    "scan PATH [--json | --count] [--api find|vfat]",
    "list every file under a folder through the scanner interface",
    "Binds a free drive letter to PATH, walks it with the directory scanner and\n"
    "prints one line per file: its path relative to PATH (with '/'), its size\n"
    "in bytes and its last-write time (UTC), separated by tabs. Folders and\n"
    "symbolic links are not listed; links are never followed. Names are shown\n"
    "as 'moxvolscan ls' shows them (control characters, '%', '/', '\\' as %XX).\n\n"
    "  --json      one JSON object per line: path, size, mtime (ISO 8601),\n"
    "              attributes (the Windows attribute bits, e.g. 32 = archive)\n"
    "  --count     print only the totals: 'N files, B bytes'\n"
    "  --api KIND  the scanner back-end: find (the directory walk), or vfat\n"
    "              (reads a FAT image or device sector by sector; PATH is\n"
    "              then the image or device; times are the volume's own)\n\n"
    "A progress line appears on stderr when it is a terminal. Ctrl-C stops the\n"
    "scan, prints the totals so far and exits with status 1.",
    RunScan,
});

}  // namespace
