#include "NtfsOracle.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ntfsoracle {
namespace fs = std::filesystem;

namespace {

const std::string kSourceFixtures = std::string(MOX_SOURCE_DIR) + "/tests/fixtures/ntfs";

// Beside the test program, so every build folder keeps its own images.
const std::string& UnpackDir() {
  static const std::string dir = [] {
    const std::string d = (fs::read_symlink("/proc/self/exe").parent_path() / "ntfs_fixtures").string();
    fs::create_directories(d);
    // Test programs may start at the same time: one unpacks, under a lock.
    const std::string script =
        "set -e; exec 9>\"$1/.lock\"; flock 9; "
        "for xz in \"$2\"/*.img.xz; do img=\"$1/$(basename \"$xz\" .xz)\"; "
        "[ \"$img\" -nt \"$xz\" ] || { xz -dc \"$xz\" >\"$img.tmp\" && mv \"$img.tmp\" \"$img\"; }; done";
    ToolResult r = RunProgram({"bash", "-c", script, "unpack", d, kSourceFixtures});
    if (r.exitCode != 0) {
      std::fprintf(stderr, "unpacking the NTFS fixtures failed:\n%s\n", r.err.c_str());
      std::abort();
    }
    return d;
  }();
  return dir;
}

uint64_t Number(const std::string& s) { return std::strtoull(s.c_str(), nullptr, 10); }

}  // namespace

const std::vector<std::string>& FixtureNames() {
  static const std::vector<std::string> names{"ntfs512", "ntfs4k", "ntfs64k"};
  return names;
}

std::string FixtureImage(const std::string& name) { return UnpackDir() + "/" + name + ".img"; }

std::string CommittedManifest() { return kSourceFixtures + "/manifest.txt"; }

Manifest ReadManifest(const std::string& manifestPath, const std::string& name) {
  Manifest m;
  std::ifstream in(manifestPath);
  bool inSection = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '[') {
      inSection = line == "[" + name + ".img]";
      continue;
    }
    auto eq = line.find('=');
    if (!inSection || eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "cluster_bytes") m.clusterBytes = uint32_t(Number(value));
    if (key == "live_items") m.liveItems = uint32_t(Number(value));
    if (key == "reused_parent") m.reusedParent = Number(value);
    if (key == "deleted") {
      std::istringstream list(value);
      for (std::string n; std::getline(list, n, ',');) m.deleted.push_back(Number(n));
    }
  }
  return m;
}

std::vector<Entry> TskListing(const std::string& image, bool deleted) {
  std::vector<Entry> entries = FlsListing(image, deleted ? "-d" : "-u");
  std::erase_if(entries, [](const Entry& e) {
    const std::string last = e.path.substr(e.path.rfind('/') + 1);
    const bool orphan = e.path.rfind("$OrphanFiles/", 0) == 0;
    return (e.path[0] == '$' && !orphan) || last.find(':') != std::string::npos;
  });
  return entries;
}

std::vector<UndeleteRow> UndeleteScan(const std::string& image) {
  std::vector<UndeleteRow> rows;
  // "1608     FN..   100%  2019-06-15 13:45     20000  Deleted big.bin"
  for (const std::string& line : Lines(RunProgram({"ntfsundelete", "--scan", image}).out)) {
    std::istringstream in(line);
    uint64_t record = 0, size = 0;
    std::string flags, percent, date, time, name;
    if (!(in >> record >> flags >> percent >> date >> time >> size) || flags.size() != 4 || percent.back() != '%')
      continue;
    std::getline(in >> std::ws, name);
    if (name != "<none>") rows.push_back({record, flags[0] == 'D', int(Number(percent)), size, name});
  }
  return rows;
}

std::string Icat(const std::string& image, uint64_t record) {
  return RunProgram({"icat", image, std::to_string(record)}).out;
}

std::string WhyNoRegeneration() {
  if (geteuid() != 0) return "not root: ntfs-3g needs root to mount the images it fills";
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse: ntfs-3g cannot mount";
  if (RunProgram({"sh", "-c", "command -v ntfs-3g && command -v mkntfs && command -v setfattr"}).exitCode != 0)
    return "ntfs-3g, mkntfs or setfattr is not installed";
  return "";
}

int Regenerate(const std::string& dir, const std::string& name, std::string& err) {
  ToolResult r = RunProgram({"bash", kSourceFixtures + "/make_ntfs_fixtures.sh", dir, name});
  err = r.err;
  return r.exitCode;
}

MountedNtfs::MountedNtfs(const std::string& image) : device_(std::make_unique<ImageDevice>(image)) {
  if (!device_->get()) return;
  optNtfsPosixNames = true;  // as the program lists
  drive_ = std::make_unique<TNTFSdrive>();
  drive_->Device = device_->get();
  drive_->TotalSectors = device_->get()->TotalSectors;
  mounted_ = drive_->MountDrive(false) && drive_->MftLoaded;
}

std::vector<Entry> MountedNtfs::Scan(bool includeDeleted, bool deletedOnly) {
  return ScanListing(*drive_, includeDeleted, deletedOnly, [](TObject* item, Entry& e) {
    // The instant the item keeps, not its MS-DOS time in the local zone.
    if (auto* f = dynamic_cast<TNTFSFile*>(item)) e.record = f->MFTfileRef, e.mtime = FileTimeText(f->LastWriteTime);
    if (auto* d = dynamic_cast<TNTFSDirectory*>(item)) e.record = d->MFTfileRef, e.mtime = FileTimeText(d->LastWriteTime);
  });
}

std::string MountedNtfs::ReadAll(uint64_t record, int64_t size) {
  std::string data;
  TNTFSfileInfo info;
  if (!drive_->resetByMFTfileRef(int64_t(record), size, info)) return data;
  std::vector<char> buf(65536);
  for (;;) {
    uint32_t got = 0;
    const bool ok = drive_->blockread(info, uint32_t(buf.size()), buf.data(), got);
    data.append(buf.data(), got);
    if (!ok || got == 0) break;
  }
  return data;
}

}  // namespace ntfsoracle
