// moxvolscan scan: every file of one or more volumes through the scanner
// interface. The factory picks each volume's back-end; several volumes are
// scanned at the same time through one scanner list.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "CliSupport.h"
#include "Command.h"
#include "MoxVolScan.h"
#include "MoxVolumeScanner.h"
#include "MoxVolumeScannerFind.h"
#include "MoxVolumeScannerList.h"
#include "Names.h"
#include "Volume.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

enum class OutputMode { Lines, Json, Count };

// One PATH of the command line: its letter, its scanner and, on its scan
// thread, the output not yet written.
struct VolumeScan {
  std::string path;
  std::string shown;  // path as the terminal and JSON may show it
  char letter = 0;
  InterfacePtr<IMoxVolumeScanner> scanner;

  std::string out;
  WideString folderWide;
  std::string folderUtf8;
  std::string shownName;
  std::atomic<uint64_t> files{0}, bytes{0};  // written by the scan thread only
  bool aborted = false;  // from its finish event; read once the scan threads have ended

  ~VolumeScan() {
    scanner = nullptr;
    if (letter) MoxUnbindDriveLetter(letter);
  }
};

// The kinds --api names, "auto" letting the factory choose.
bool ApiKind(const std::string& api, TMoxVolumeScannerAPI& kind) {
  static const std::pair<const char*, TMoxVolumeScannerAPI> kinds[] = {
      {"auto", vsaAuto}, {"find", vsaFind}, {"ntfs", vsaNTFS}, {"vfat", vsaVFAT}};
  for (const auto& [name, k] : kinds)
    if (api == name) return kind = k, true;
  return false;
}

const char* BackEndName(TMoxVolumeScannerAPI kind) {
  return kind == vsaNTFS ? "NtfsLib" : kind == vsaVFAT ? "raw FAT reader" : "directory walk";
}

// "ntfs-3g mount of /dev/loop3" when dir is a mount point, else "".
std::string MountOf(const std::string& dir, const std::string& fileSystem) {
  std::string type, source;
  if (!HostMountAt(dir, type, source)) return "";
  // ntfs-3g mounts through FUSE, which names no file system of its own.
  const FileSystemType* named = FileSystemNamed(fileSystem);
  if ((type == "fuse" || type == "fuseblk") && named && named->format == VolumeFormat::Ntfs) type = "ntfs-3g";
  return type + " mount of " + Printable(source);
}

// What --verbose says of a volume: its file system, what PATH is, and
// why the back-end it got was chosen.
std::string Describe(const VolumeScan& v, TMoxVolumeScannerAPI asked) {
  const WideString root = WideString(1, char16_t(v.letter)) + u":\\";
  WCHAR name[MAX_PATH + 1] = {};
  const bool known = GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1);
  const std::string fileSystem = known ? WideToAnsi(name) : "unknown file system";
  std::string resolved, reason;
  HostPathKind kind;
  std::string what = fileSystem;
  if (ResolveHostPath(v.path, resolved, kind, reason)) {
    if (kind == HostPathKind::File) {
      what += " image";
    } else if (kind == HostPathKind::Device) {
      what += " device";
    } else {
      const std::string mount = MountOf(resolved, fileSystem);
      what += mount.empty() ? " folder (not a mount point)" : " (" + mount + ")";
    }
  }
  const TMoxVolumeScannerAPI got = v.scanner->GetScannerAPI();
  std::string why;
  if (asked != vsaAuto)
    why = " (asked for)";
  else if (const FileSystemType* named = FileSystemNamed(fileSystem); got == vsaFind && named)
    why = named->rawScanner == vsaNTFS   ? " (NtfsLib cannot read it raw)"
          : named->rawScanner == vsaVFAT ? " (the raw FAT reader refused it)"
                                         : "";
  return std::string(1, v.letter) + ": " + v.shown + ": " + what + ", " + BackEndName(got) + why;
}

// Why the factory gave no scanner for PATH.
std::string NoScannerReason(TMoxVolumeScannerAPI kind, bool folder) {
  switch (kind) {
    case vsaNTFS: return "not an NTFS volume that NtfsLib can read";
    case vsaVFAT: return "not a FAT image or device";
    case vsaFind: return "cannot list this folder";
    default: return folder ? "cannot list this folder" : "not a " + FileSystemsRead("or") + " image or device";
  }
}

// Receives the events of every scan, each on its own scan thread, and writes
// the listing: each volume buffers its own lines, written whole under one lock.
class ScanPrinter : public TInterfacedObject<IMoxVolumeScannerCallbacks> {
 public:
  ScanPrinter(OutputMode mode, bool showProgress, std::vector<VolumeScan*> volumes)
      : mode_(mode), showProgress_(showProgress), volumes_(std::move(volumes)), labelled_(volumes_.size() > 1) {
    for (VolumeScan* v : volumes_) v->out.reserve(kFlushAt + 4096);
  }

  void OnStart(IMoxVolumeScanner*) override {
    std::call_once(started_, [&] { startMs_ = GetTickCount(); });
  }

  void OnItem(IMoxVolumeScanner* AScanner, const WIN32_FIND_DATAW& AItem) override {
    VolumeScan& v = VolumeOf(AScanner);
    const uint64_t size = (uint64_t(AItem.nFileSizeHigh) << 32) | AItem.nFileSizeLow;
    const uint64_t files = v.files.load(std::memory_order_relaxed) + 1;
    v.files.store(files, std::memory_order_relaxed);
    v.bytes.store(v.bytes.load(std::memory_order_relaxed) + size, std::memory_order_relaxed);
    if (mode_ != OutputMode::Count) Print(v, AScanner, AItem, size);
    if (showProgress_ && (files & 1023) == 0) ShowProgress();
  }

  void OnFinish(IMoxVolumeScanner* AScanner, bool AAborted) override {
    VolumeScan& v = VolumeOf(AScanner);
    Flush(v);
    std::lock_guard guard(lock_);
    ++finished_;
    v.aborted = AAborted;
    changed_.notify_all();
  }

  void RequestInterrupt() {
    std::lock_guard guard(lock_);
    interruptRequested_ = true;
    changed_.notify_all();
  }

  // Waits until scans finished or Ctrl-C came.
  void WaitFinishedOrInterrupted(int scans) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return finished_ >= scans || interruptRequested_; });
  }

  // Valid once every scan thread has ended.
  bool interrupted() const { return interruptRequested_; }
  void ClearProgress() {
    std::lock_guard guard(outLock_);
    progress_.Clear();
  }

 private:
  static constexpr size_t kFlushAt = 1 << 18;

  VolumeScan& VolumeOf(IMoxVolumeScanner* scanner) {
    for (VolumeScan* v : volumes_)
      if (v->scanner.get() == scanner) return *v;
    return *volumes_.front();  // not reached: the list holds only our scanners
  }

  void Print(VolumeScan& v, IMoxVolumeScanner* scanner, const WIN32_FIND_DATAW& item, uint64_t size) {
    // The folder changes far less often than the file: convert it only then.
    const WideString folder = scanner->GetCurrentPath();
    if (folder != v.folderWide) {
      v.folderWide = folder;
      // Each folder name shown as ls shows names, "/" after each.
      const std::string utf8 = WideToHostName(folder.data(), folder.size());
      v.folderUtf8.clear();
      for (size_t pos = 0, end; (end = utf8.find('\\', pos)) != std::string::npos; pos = end + 1) {
        AppendShownName(v.folderUtf8, utf8.substr(pos, end - pos), false);
        v.folderUtf8 += '/';
      }
    }
    size_t units = 0;
    while (units < MAX_PATH && item.cFileName[units]) ++units;
    v.shownName.clear();
    AppendShownName(v.shownName, WideToHostName(item.cFileName, units), false);
    std::string& out = v.out;
    if (mode_ == OutputMode::Json) {
      if (labelled_) {
        out += "{\"volume\":\"";
        AppendJsonEscaped(out, v.shown.data(), v.shown.size());
        out += "\",\"path\":\"";
      } else {
        out += "{\"path\":\"";
      }
      AppendJsonEscaped(out, v.folderUtf8.data(), v.folderUtf8.size());
      AppendJsonEscaped(out, v.shownName.data(), v.shownName.size());
      out += "\",\"size\":";
      out += std::to_string(size);
      out += ",\"mtime\":\"";
      AppendFileTimeIso(out, item.ftLastWriteTime);
      out += "\",\"attributes\":";
      out += std::to_string(item.dwFileAttributes);
      out += "}\n";
    } else {
      if (labelled_) {
        out += v.shown;
        out += '\t';
      }
      out += v.folderUtf8;
      out += v.shownName;
      out += '\t';
      out += std::to_string(size);
      out += '\t';
      AppendFileTimeIso(out, item.ftLastWriteTime);
      out += '\n';
    }
    if (out.size() >= kFlushAt) Flush(v);
  }

  void Flush(VolumeScan& v) {
    if (v.out.empty()) return;
    std::lock_guard guard(outLock_);
    progress_.Clear();
    std::fwrite(v.out.data(), 1, v.out.size(), stdout);
    v.out.clear();
  }

  void ShowProgress() {
    uint64_t files = 0, bytes = 0;
    for (const VolumeScan* v : volumes_) {
      files += v->files.load(std::memory_order_relaxed);
      bytes += v->bytes.load(std::memory_order_relaxed);
    }
    const DWORD elapsed = GetTickCount() - startMs_;
    const uint64_t rate = elapsed ? files * 1000 / elapsed : 0;
    std::lock_guard guard(outLock_);
    progress_.Update(std::to_string(files) + " files, " + std::to_string(bytes >> 20) + " MiB, " +
                     std::to_string(rate) + " files/s");
  }

  const OutputMode mode_;
  const bool showProgress_;
  const std::vector<VolumeScan*> volumes_;
  const bool labelled_;  // several volumes: each line says which
  std::once_flag started_;
  DWORD startMs_ = 0;

  std::mutex outLock_;  // stdout and the progress line
  ProgressLine progress_;

  std::mutex lock_;
  std::condition_variable changed_;
  int finished_ = 0;
  bool interruptRequested_ = false;
};

int RunScan(const std::vector<std::string>& args) {
  auto parsed = ParseArgs(args, {"--json", "--count", "--verbose"}, {"--api", "--partition", "--sector"});
  if (!parsed) return kExitUsage;
  DiskPlace place;
  if (!PartitionOption(*parsed, "scan", place)) return kExitUsage;
  if (parsed->positional.empty()) {
    std::fprintf(stderr, "moxvolscan scan: give a PATH (try 'moxvolscan scan --help')\n");
    return kExitUsage;
  }
  if (parsed->Has("--json") && parsed->Has("--count")) {
    std::fprintf(stderr, "moxvolscan scan: --json and --count exclude each other\n");
    return kExitUsage;
  }
  TMoxVolumeScannerAPI kind;
  const std::string api = parsed->Get("--api", "auto");
  if (!ApiKind(api, kind)) {
    std::fprintf(stderr, "moxvolscan scan: unknown scanner '%s' (available: auto, find, ntfs, vfat)\n",
                 Printable(api).c_str());
    return kExitUsage;
  }
  const OutputMode mode = parsed->Has("--count")  ? OutputMode::Count
                          : parsed->Has("--json") ? OutputMode::Json
                                                  : OutputMode::Lines;
  const bool verbose = parsed->Has("--verbose");

  ModuleSession module;
  int status = kExitOk;
  // A PATH that fails is named and skipped; the others are scanned.
  auto fail = [&](const std::string& shown, const std::string& reason) {
    std::fprintf(stderr, "moxvolscan scan: %s: %s\n", shown.c_str(), reason.c_str());
    status = kExitFailure;
  };
  std::vector<std::unique_ptr<VolumeScan>> volumes;
  for (const std::string& path : parsed->positional) {
    auto v = std::make_unique<VolumeScan>();
    v->path = path;
    v->shown = Printable(path);
    std::string error;
    v->letter = BindHostPath(path, error, place);
    if (!v->letter) {
      std::fprintf(stderr, "moxvolscan scan: %s\n", error.c_str());
      status = kExitFailure;
      continue;
    }
    const WideString mountPoint = WideString(1, char16_t(v->letter)) + u":\\";
    v->scanner = MoxCreateVolumeScanner(mountPoint, nullptr, kind);
    if (!v->scanner) {
      const auto binding = GetDriveBinding(v->letter);
      const bool folder = binding && !binding->rootDir.empty();
      const SourceFacts facts = ExamineSource(v->letter);
      // What the source is, when that is why no back-end took it.
      const std::string problem = kind == vsaAuto && !folder ? SourceProblem(facts) : "";
      fail(v->shown, !problem.empty() ? problem : NoScannerReason(kind, folder));
      continue;
    }
    if (verbose) std::fprintf(stderr, "%s\n", Describe(*v, kind).c_str());
    volumes.push_back(std::move(v));
  }
  if (volumes.empty()) return status;

  std::vector<VolumeScan*> shown;
  for (const auto& v : volumes) shown.push_back(v.get());
  // A progress line would fight with a listing on the same terminal.
  const bool showProgress = mode == OutputMode::Count || !IsTerminal(HostStream::Out);
  InterfacePtr<ScanPrinter> printer(new ScanPrinter(mode, showProgress, shown));
  InterfacePtr<IMoxVolumeScannerList> list = MoxCreateVolumeScannerList();
  list->RegisterCallbacks(printer.get());
  for (const auto& v : volumes) list->Add(v->scanner.get());
  InstallInterruptHandler([p = printer] { p->RequestInterrupt(); });

  // Started one by one through the list's enumerator, so a scan that cannot
  // start is named; they all run at the same time.
  int started = 0;
  {
    auto e = list->GetEnumerator();
    for (size_t i = 0; e->MoveNext(); ++i) {
      if (e->GetCurrent()->ScanVolume())
        ++started;
      else
        fail(volumes[i]->shown, "cannot start the scan");
    }
  }
  printer->WaitFinishedOrInterrupted(started);
  list->AbortScans();  // stops interrupted scans; in any case waits for every thread to end
  InstallInterruptHandler(nullptr);
  printer->ClearProgress();
  std::fflush(stdout);

  uint64_t files = 0, bytes = 0;
  for (const auto& v : volumes) files += v->files, bytes += v->bytes;
  const std::string totals = std::to_string(files) + " files, " + std::to_string(bytes) + " bytes";
  if (mode == OutputMode::Count) std::printf("%s\n", totals.c_str());
  if (printer->interrupted() || Interrupted()) {
    std::fprintf(stderr, "moxvolscan scan: interrupted after %s\n", totals.c_str());
    return kExitFailure;
  }
  // A scan that ended early on its own missed part of its volume.
  for (const auto& v : volumes)
    if (v->aborted) {
      const SourceFacts facts = ExamineSource(v->letter);
      std::string why = TruncationText(facts);
      if (why.empty() && v->scanner->GetScannerAPI() == vsaNTFS) why = "its MFT, or part of it, cannot be read";
      fail(v->shown, "the scan could not read the whole volume" + (why.empty() ? "" : ": " + why));
    }
  // What the walk could not enter is not in the listing: say so.
  for (const auto& v : volumes) {
    auto* walk = dynamic_cast<TMoxVolumeScannerFind*>(v->scanner.get());
    for (const WideString& folder : walk ? walk->SkippedFolders() : std::vector<WideString>{}) {
      std::string where = WideToAnsi(folder);
      for (char& c : where)
        if (c == '\\') c = '/';
      if (volumes.size() > 1) where += " (in " + v->shown + ")";
      std::fprintf(stderr, "moxvolscan scan: could not enter %s\n", where.c_str());
      status = kExitFailure;
    }
  }
  return status;
}

CommandRegistrar registrar({
    "scan",
    "scan PATH... [--partition N | --sector S] [--api auto|find|ntfs|vfat] [--json | --count] [--verbose]",
    "list every file of one or more volumes through the scanner interface",
    "Binds a free drive letter to each PATH, scans it and prints one line per\n"
    "file: its path relative to PATH (with '/'), its size in bytes and its\n"
    "last-write time (UTC), separated by tabs. Folders and symbolic links are\n"
    "not listed; links are never followed. Names are shown as 'moxvolscan ls'\n"
    "shows them (control characters, '%', '/', '\\' as %XX).\n\n"
    "PATH may be a folder, a folder where a volume is mounted, an image file\n"
    "or a block device. Several PATHs are scanned at the same time; each line\n"
    "then begins with its PATH and a tab, and the totals cover them all. A\n"
    "PATH that cannot be scanned is named on stderr and the others go on.\n\n"
    "  --api KIND  the scanner back-end:\n"
    "              auto  (default) by the volume's file system: an NTFS\n"
    "                    volume (an image, a device, or the folder where\n"
    "                    ntfs-3g mounts one) through NtfsLib, which reads its\n"
    "                    MFT raw; a FAT one through the raw FAT reader;\n"
    "                    anything else, or a volume those refuse, by the\n"
    "                    directory walk\n"
    "              find  the directory walk\n"
    "              ntfs  NtfsLib (fails for anything but an NTFS volume)\n"
    "              vfat  the raw FAT reader (an image or device)\n"
    "              The raw readers give the volume's own view: hard links\n"
    "              once per name, times as the volume records them (a FAT\n"
    "              volume's local times read in TZ at their date).\n"
    "  --json      one JSON object per line: path, size, mtime (ISO 8601),\n"
    "              attributes (the Windows attribute bits, e.g. 32 = archive);\n"
    "              with several PATHs also volume (the PATH)\n"
    "  --count     print only the totals: 'N files, B bytes'\n"
    "  --verbose   say on stderr which back-end each volume got and why, e.g.\n"
    "              'X: /mnt/n: NTFS (ntfs-3g mount of /dev/loop3), NtfsLib'\n"
    "  --partition N   of a whole disk image or device PATH, the Nth partition\n"
    "              (as Linux numbers them: 1-4 primary, 5... logical, GPT from 1)\n"
    "  --sector S  of a whole disk PATH, the volume starting at sector S (in the\n"
    "              disk's own sectors): a partition whose table entry is lost\n\n"
    "A progress line appears on stderr when it is a terminal. Ctrl-C stops\n"
    "every scan, prints the totals so far and exits with status 1; so does a\n"
    "PATH that could not be scanned or a folder the walk could not enter.",
    RunScan,
});

}  // namespace
