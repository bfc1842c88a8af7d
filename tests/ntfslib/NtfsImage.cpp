#include "NtfsImage.h"

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include <sys/xattr.h>

#include "Volumes.h"
#include "WinApi.h"

namespace fs = std::filesystem;

bool MakeNtfsImage(const std::string& image, int sizeMiB) {
  return RunQuietly("truncate -s " + std::to_string(sizeMiB) + "M '" + image + "' && mkntfs -F -f -q '" + image + "'");
}

std::string Utf8(const std::u16string& s) { return WideToAnsi(s); }

namespace {

void Put(const fs::path& p, size_t size) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << std::string(size, 'n');
}

void SetDosName(const fs::path& p, const std::string& alias) {
  ::setxattr(p.c_str(), "system.ntfs_dos_name", alias.data(), alias.size(), 0);
}

// What a user's volume holds: deep and non-ASCII paths, hard links (enough
// of them on one file to push its names into extension records), names that
// differ only in case, a file past 4 GiB and a few thousand small files.
void Fill(const fs::path& m) {
  Put(m / "top.txt", 11);
  Put(m / u8"Ünïcödé ✓" / u8"日本語.txt", 5);
  Put(m / u8"emoji 😀.bin", 4);
  fs::path deep = m;
  for (int i = 0; i < 30; ++i) deep /= "a rather long folder name " + std::to_string(i);
  Put(deep / "deep.txt", 3000);
  Put(m / "Case", 1);
  Put(m / "case", 2);
  Put(m / "links" / "orig", 700);
  fs::create_directories(m / "other");
  fs::create_hard_link(m / "links" / "orig", m / "links" / "alias");
  fs::create_hard_link(m / "links" / "orig", m / "other" / "alias two");
  Put(m / "many" / "f", 9);
  for (int i = 0; i < 120; ++i) fs::create_hard_link(m / "many" / "f", m / "many" / ("link number " + std::to_string(i)));
  { std::ofstream(m / "big.sparse", std::ios::binary); }
  fs::resize_file(m / "big.sparse", (5ull << 30) + 123);
  for (int d = 0; d < 20; ++d)
    for (int f = 0; f < 150; ++f) Put(m / "bulk" / ("d" + std::to_string(d)) / ("f" + std::to_string(f)), (d * 150 + f) % 1500);
  fs::create_symlink("top.txt", m / "symlink");
  // Win32 names with DOS aliases, as Windows makes them: only the long names count.
  Put(m / "Program Files Folder" / "Long Name With Spaces.text", 42);
  SetDosName(m / "Program Files Folder" / "Long Name With Spaces.text", "LONGNA~1.TEX");
  SetDosName(m / "Program Files Folder", "PROGRA~1");
}

std::map<std::string, uint64_t> Walk(const fs::path& root) {
  std::map<std::string, uint64_t> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (!it->is_symlink() && it->is_regular_file())
      out[fs::relative(it->path(), root).generic_string()] = it->file_size();
  return out;
}

struct SharedState {
  ScratchDir dir;
  FilledVolume volume;
  bool mounted = false;
  SharedState() {
    volume.image = dir / "filled.img";
    if (!MakeNtfsImage(volume.image, 20)) return;  // small enough that the MFT outgrows its zone
    const std::string mount = dir / "mnt";
    fs::create_directories(mount);
    if (!RunQuietly("ntfs-3g '" + volume.image + "' '" + mount + "'")) return;
    mounted = true;
    Fill(mount);
    volume.walk = Walk(mount);
    volume.mount = mount;
  }
  ~SharedState() {
    if (mounted) RunQuietly("fusermount -u '" + (dir / "mnt") + "'");
  }
};

}  // namespace

const FilledVolume& SharedVolume() {
  static SharedState state;
  return state.volume;
}

std::u16string BindImage(const std::string& path, bool asMountFolder) {
  const char letter = FindFreeDriveLetter();
  DriveBinding b;
  if (asMountFolder)
    b.rootDir = path;
  else
    b.raw = OpenImageSource(path);
  if (!letter || (!asMountFolder && !b.raw) || !BindDriveLetter(letter, b)) return {};
  return std::u16string(1, char16_t(letter)) + u":\\";
}

void UnbindRoot(const std::u16string& root) {
  if (!root.empty()) UnbindDriveLetter(static_cast<char>(root[0]));
}

namespace {

struct Collector {
  std::mutex lock;
  std::condition_variable changed;
  LibraryScan scan;
};

void NTFSLIB_CALL Started(void*, void* user) {
  auto* c = static_cast<Collector*>(user);
  std::lock_guard g(c->lock);
  ++c->scan.starts;
}

void NTFSLIB_CALL Item(void*, const NtfsLibFindData* item, void* user) {
  auto* c = static_cast<Collector*>(user);
  NtfsLibChar* folder = nullptr;
  const bool ok = NtfsLibGetItemPath(item, &folder) == NTFSLIB_OK;
  std::string path = ok ? Utf8(folder) : "";
  std::free(folder);
  for (char& ch : path)
    if (ch == '\\') ch = '/';
  path += Utf8(item->cFileName);
  std::lock_guard g(c->lock);
  c->scan.pathFailures += !ok;
  c->scan.records.push_back(item->dwReserved0);
  c->scan.recordOf[path] = item->dwReserved0;
  if (!(item->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    c->scan.files[path] = uint64_t(item->nFileSizeHigh) << 32 | item->nFileSizeLow;
}

void NTFSLIB_CALL Finished(void*, int32_t aborted, void* user) {
  auto* c = static_cast<Collector*>(user);
  std::lock_guard g(c->lock);
  ++c->scan.finishes;
  c->scan.aborted = aborted != 0;
  c->changed.notify_all();
}

}  // namespace

LibraryScan ScanWithLibrary(const std::u16string& root, int32_t* mountStatus) {
  Collector c;
  void* h = NtfsLibCreate();
  NtfsLibSetStartCallback(h, Started, &c);
  NtfsLibSetItemCallback(h, Item, &c);
  NtfsLibSetFinishCallback(h, Finished, &c);
  const int32_t status = NtfsLibSetMountPoint(h, root.c_str());
  if (mountStatus) *mountStatus = status;
  if (status == NTFSLIB_OK && NtfsLibScanVolume(h) == NTFSLIB_OK) {
    std::unique_lock g(c.lock);
    c.changed.wait(g, [&] { return c.scan.finishes > 0; });
  }
  NtfsLibDestroy(h);
  return std::move(c.scan);
}

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t len) {
  std::vector<uint8_t> out(len);
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(len));
  return out;
}

void WriteBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset));
  io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

MftLocation LocateMft(const std::string& image) {
  const auto boot = ReadBytes(image, 0, 512);
  const uint32_t bps = boot[0x0B] | boot[0x0C] << 8;
  const uint32_t cluster = bps * boot[0x0D];
  uint64_t lcn = 0;
  for (int i = 7; i >= 0; --i) lcn = lcn << 8 | boot[0x30 + i];
  const int8_t perRecord = static_cast<int8_t>(boot[0x40]);
  MftLocation m;
  m.mftOffset = lcn * cluster;
  m.recordSize = perRecord > 0 ? perRecord * cluster : 1u << -perRecord;
  return m;
}

std::string Difference(const std::map<std::string, uint64_t>& got, const std::map<std::string, uint64_t>& want) {
  std::string out;
  for (const auto& [path, size] : got) {
    auto it = want.find(path);
    if (it == want.end() || it->second != size) out += "  extra: " + path + " " + std::to_string(size) + "\n";
  }
  for (const auto& [path, size] : want) {
    auto it = got.find(path);
    if (it == got.end() || it->second != size) out += "  missing: " + path + " " + std::to_string(size) + "\n";
  }
  return out;
}
