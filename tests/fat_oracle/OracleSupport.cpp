#include "OracleSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "Volumes.h"
#include "WinApi.h"

extern char** environ;

namespace oracle {
namespace fs = std::filesystem;

const std::vector<std::string>& FixtureNames() {
  static const std::vector<std::string> names{"fat12", "fat16", "fat32"};
  return names;
}

const std::string& FixtureDir() {
  static std::string dir;
  static std::once_flag once;
  std::call_once(once, [] {
    // Beside the test program, so every build folder keeps its own images.
    fs::path exe = fs::read_symlink("/proc/self/exe");
    dir = (exe.parent_path() / "fat_fixtures").string();
    auto r = Run({"bash", std::string(MOX_SOURCE_DIR) + "/tests/fixtures/make_fat_fixtures.sh", dir});
    if (r.status != 0) {
      std::fprintf(stderr, "fixture script failed:\n%s\n", r.err.c_str());
      std::abort();
    }
  });
  return dir;
}

std::string FixtureImage(const std::string& name) { return FixtureDir() + "/" + name + ".img"; }

namespace {
// A fresh temporary file holding text; its path.
std::string TempFile(const std::string& text) {
  std::string path = (fs::temp_directory_path() / "moxoracle-XXXXXX").string();
  int fd = mkstemp(path.data());
  if (fd < 0) return "";
  if (!text.empty() && write(fd, text.data(), text.size()) != ssize_t(text.size())) path.clear();
  close(fd);
  return path;
}
}  // namespace

// Standard streams go through files: nothing to drain while the child runs.
CommandResult Run(const std::vector<std::string>& argv, const std::string& input) {
  CommandResult result;
  const std::string in = TempFile(input), out = TempFile(""), err = TempFile("");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_TRUNC, 0);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  setenv("TZ", "UTC", 1);
  setenv("MTOOLS_SKIP_CHECK", "1", 1);
  setenv("LC_ALL", "C.UTF-8", 1);
  pid_t pid;
  int status = 0;
  if (!in.empty() && !out.empty() && !err.empty() &&
      posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0 && waitpid(pid, &status, 0) == pid) {
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadHostFile(out);
    result.err = ReadHostFile(err);
  }
  posix_spawn_file_actions_destroy(&actions);
  for (const std::string& f : {in, out, err})
    if (!f.empty()) unlink(f.c_str());
  return result;
}

std::vector<Entry> TskListing(const std::string& image) {
  std::vector<Entry> entries;
  auto r = Run({"fls", "-r", "-p", "-l", "-z", "UTC", image});
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

void StartModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    Initialize();
  });
}

// Ldiskio keeps its volume handle open while the same drive number is read,
// so a letter rebound to another image would still read the old one: every
// mount takes a letter other than the previous one.
char NextLetter() {
  static std::mutex lock;
  static char next = 'Y';
  std::lock_guard<std::mutex> guard(lock);
  for (int tries = 0; tries < 26; ++tries) {
    char c = next;
    next = next <= 'D' ? 'Y' : char(next - 1);
    if (!GetDriveBinding(c)) return c;
  }
  return 0;
}

MountedImage::MountedImage(const std::string& image) {
  StartModule();
  auto raw = OpenImageSource(image);
  letter_ = NextLetter();
  if (!raw || !letter_) return;
  DriveBinding binding;
  binding.raw = raw;
  if (!BindDriveLetter(letter_, binding)) return;
  uint8_t number = uint8_t(letter_ - 'A' + 1);
  TLogDriveParams params{};
  if (!GetLogDriveParams(number, params)) return;
  device_ = std::make_unique<TDevice>();
  device_->Kind = 1;
  device_->DriveType = DRIVE_FIXED;
  device_->TotalSectors = params.TotalSectors;
  device_->BytesPerSector = uint16_t(params.BytesPerSector);
  device_->DriveNumber = number;
  drive_ = std::make_unique<TFATdrive>();
  drive_->Device = device_.get();
  drive_->TotalSectors = device_->TotalSectors;
  mounted_ = drive_->MountDrive(false);
}

MountedImage::~MountedImage() {
  drive_.reset();
  device_.reset();
  if (letter_) UnbindDriveLetter(letter_);
}

std::string DosTime(uint16_t date, uint16_t time) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return buf;
}

std::string ToLowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ItemPath(TObject* item) {
  AnsiString folder, name;
  if (auto* f = dynamic_cast<TFATFile*>(item)) {
    folder = f->GetPath(nullptr);
    name = ItemDisplayName(f);
  } else if (auto* d = dynamic_cast<TFATDirectory*>(item)) {
    folder = d->Parent ? d->Parent->GetPath(nullptr) : "";
    name = ItemDisplayName(d);
  }
  for (char& c : folder)
    if (c == '\\') c = '/';
  if (!folder.empty() && folder[0] == '/') folder.erase(0, 1);
  return folder.empty() ? name : folder + "/" + name;
}

std::vector<Entry> MountedImage::Scan(bool includeDeleted, bool deletedOnly) {
  std::vector<Entry> entries;
  if (!drive_) return entries;
  drive_->OnFoundItem = [&](TObject*, TObject* item) {
    Entry e;
    e.item = item;
    e.path = ItemPath(item);
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

std::string MountedImage::ReadAll(TFATFile& file, uint8_t fatNumber, uint32_t piece) {
  std::string data;
  TFATFileInfo info;
  if (!drive_->ResetByCluster(file.StartCluster, uint32_t(file.Size), info)) return data;
  std::vector<char> buf(piece);
  for (;;) {
    uint32_t got = 0;
    if (!drive_->BlockRead(info, piece, buf.data(), fatNumber, got) || got == 0) break;
    data.append(buf.data(), got);
  }
  return data;
}

}  // namespace oracle
