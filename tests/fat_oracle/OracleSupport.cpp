#include "OracleSupport.h"

#include <cstdio>
#include <filesystem>

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
  std::vector<Entry> entries = FlsListing(image);
  std::erase_if(entries, [](const Entry& e) { return e.path.find("(Volume Label Entry)") != std::string::npos; });
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
  if (!drive_) return {};
  return ScanListing(*drive_, includeDeleted, deletedOnly, [](TObject* item, Entry& e) {
    e.path = ItemPath(item, ItemDisplayName(item));
    if (auto* f = dynamic_cast<TFATFile*>(item)) e.attributes = f->Attributes;
  });
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
