#include "OracleSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ItemText.h"
#include "ScratchDir.h"

namespace oracle {
namespace fs = std::filesystem;

const std::vector<std::string>& FixtureNames() {
  static const std::vector<std::string> names{"fat12", "fat16", "fat32"};
  return names;
}

const std::string& FixtureDir() {
  static const std::string dir = [] {
    // Beside the test program, so every build folder keeps its own images.
    const std::string d = (fs::read_symlink("/proc/self/exe").parent_path() / "fat_fixtures").string();
    auto r = RunProgram({"bash", std::string(MOX_SOURCE_DIR) + "/tests/fixtures/make_fat_fixtures.sh", d});
    if (r.exitCode != 0) {
      std::fprintf(stderr, "fixture script failed:\n%s\n", r.err.c_str());
      std::abort();
    }
    return d;
  }();
  return dir;
}

std::string FixtureImage(const std::string& name) { return FixtureDir() + "/" + name + ".img"; }

std::vector<Entry> TskListing(const std::string& image) {
  std::vector<Entry> entries;
  auto r = RunProgram({"fls", "-r", "-p", "-l", "-z", "UTC", image});
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    // "r/r * 5(realloc):\tpath\tmtime\tatime\tctime\tcrtime\tsize\tuid\tgid"
    auto tab = line.find('\t');
    if (tab == std::string::npos || line.size() < 4) continue;
    std::string head = line.substr(0, tab);
    if (head[0] == 'v' || head[0] == 'V') continue;  // $MBR, $FAT1, $OrphanFiles
    std::vector<std::string> cols;
    std::istringstream rest(line.substr(tab + 1));
    std::string col;
    while (std::getline(rest, col, '\t')) cols.push_back(col);
    if (cols.size() < 6 || cols[0].find("(Volume Label Entry)") != std::string::npos) continue;
    Entry e;
    e.dir = head[0] == 'd';
    e.deleted = head.find(" * ") != std::string::npos;
    auto colon = head.rfind(':');
    auto space = head.rfind(' ', colon);
    e.inode = head.substr(space + 1, colon - space - 1);
    if (auto p = e.inode.find('('); p != std::string::npos) e.inode.resize(p);
    e.path = cols[0];
    e.mtime = cols[1].substr(0, 19);
    e.size = std::strtoull(cols[5].c_str(), nullptr, 10);
    entries.push_back(e);
  }
  return entries;
}

MountedImage::MountedImage(const std::string& image) : image_(image) {
  if (!image_.get()) return;
  drive_ = std::make_unique<TFATdrive>();
  drive_->Device = image_.get();
  drive_->TotalSectors = image_.get()->TotalSectors;
  mounted_ = drive_->MountDrive(false);
}

std::string ToLowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::vector<Entry> MountedImage::Scan(bool includeDeleted, bool deletedOnly) {
  std::vector<Entry> entries;
  if (!drive_) return entries;
  drive_->OnFoundItem = [&](TObject*, TObject* item) {
    Entry e;
    e.item = item;
    e.path = ItemPath(item, ItemDisplayName(item));
    if (auto* f = dynamic_cast<TFATFile*>(item)) {
      e.size = uint64_t(f->Size);
      e.deleted = f->Deleted;
      e.condition = f->DeletedCondition;
      e.attributes = f->Attributes;
      e.mtime = DosTime(f->Date, f->Time);
    } else if (auto* d = dynamic_cast<TFATDirectory*>(item)) {
      e.dir = true;
      e.deleted = d->DeletedState & 1;
      e.condition = d->DeletedCondition;
      e.attributes = 0x10;
      e.mtime = DosTime(d->Date, d->Time);
    }
    entries.push_back(e);
  };
  drive_->ScanDrive("*", includeDeleted, deletedOnly);
  drive_->OnFoundItem = nullptr;
  return entries;
}

std::string MountedImage::ReadAll(TFATFile& file, uint8_t fatNumber) {
  std::string data;
  TFATFileInfo info;
  if (!drive_->ResetByCluster(file.StartCluster, uint32_t(file.Size), info)) return data;
  std::vector<char> buf(65536);
  for (;;) {
    uint32_t got = 0;
    if (!drive_->BlockRead(info, uint32_t(buf.size()), buf.data(), fatNumber, got) || got == 0) break;
    data.append(buf.data(), got);
  }
  return data;
}

}  // namespace oracle
