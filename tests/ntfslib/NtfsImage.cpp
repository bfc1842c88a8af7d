#include "NtfsImage.h"

#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include <sys/xattr.h>

#include "Volumes.h"
#include "WinApi.h"

namespace fs = std::filesystem;

bool MakeNtfsImage(const std::string& image, int sizeMiB) {
  return RunQuietly("truncate -s " + std::to_string(sizeMiB) + "M '" + image + "' && mkntfs -F -f -q '" + image + "'");
}

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

BoundImage::BoundImage(const std::string& path) {
  const char letter = FindFreeDriveLetter();
  DriveBinding b;
  b.raw = OpenImageSource(path);
  if (letter && b.raw && BindDriveLetter(letter, b)) root = std::u16string(1, char16_t(letter)) + u":\\";
}

void UnbindRoot(const std::u16string& root) {
  if (!root.empty()) UnbindDriveLetter(static_cast<char>(root[0]));
}

std::string Difference(const std::map<std::string, uint64_t>& got, const std::map<std::string, uint64_t>& want) {
  std::string out;
  for (const auto& [from, to, what] : {std::tuple(&got, &want, "extra"), std::tuple(&want, &got, "missing")})
    for (const auto& [path, size] : *from)
      if (auto it = to->find(path); it == to->end() || it->second != size)
        out += std::string("  ") + what + ": " + path + " " + std::to_string(size) + "\n";
  return out;
}

void WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
}
