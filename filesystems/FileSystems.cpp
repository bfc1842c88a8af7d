// The registry of file systems.
#include "FileSystems.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "Diskfs.h"
#include "Ntfs.h"

namespace {

template <class Drive>
std::unique_ptr<TCustomDrive> Make() {
  return std::make_unique<Drive>();
}

// Read ones first: messages list them in this order.
constexpr FileSystemType kTypes[] = {
    {VolumeFormat::Fat, "a", "volume", &Make<TFATdrive>, vsaVFAT},
    {VolumeFormat::Ntfs, "an", "volume", &Make<TNTFSdrive>, vsaNTFS},
    {VolumeFormat::Exfat, "an", "volume", nullptr, vsaAuto},
    {VolumeFormat::Ext, "an", "file system", nullptr, vsaAuto},
    {VolumeFormat::Xfs, "an", "file system", nullptr, vsaAuto},
    {VolumeFormat::HfsPlus, "an", "volume", nullptr, vsaAuto},
    {VolumeFormat::Refs, "a", "volume", nullptr, vsaAuto},
    {VolumeFormat::BitLocker, "a", "encrypted volume", nullptr, vsaAuto},
    {VolumeFormat::Luks, "a", "encrypted volume", nullptr, vsaAuto},
    {VolumeFormat::LvmPhysical, "an", "physical volume", nullptr, vsaAuto},
    {VolumeFormat::Swap, "a", "area", nullptr, vsaAuto},
    {VolumeFormat::Squashfs, "a", "image", nullptr, vsaAuto},
    {VolumeFormat::F2fs, "an", "file system", nullptr, vsaAuto},
};

char AsciiUpper(uint32_t c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c < 0x80 ? char(c) : '?'; }

template <class Char>
const FileSystemType* Named(std::basic_string_view<Char> name) {
  auto same = [](char a, Char b) { return AsciiUpper(uint8_t(a)) == AsciiUpper(std::make_unsigned_t<Char>(b)); };
  for (const FileSystemType& t : kTypes) {
    const std::string_view prefix = t.Name();
    if (name.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin(), same)) return &t;
  }
  return nullptr;
}

}  // namespace

std::string FileSystemType::What() const { return std::string(article) + " " + Name() + " " + kind; }

std::span<const FileSystemType> FileSystemTypes() { return kTypes; }

const FileSystemType* FileSystemOf(VolumeFormat format) {
  for (const FileSystemType& t : kTypes)
    if (t.format == format) return &t;
  return nullptr;
}

const FileSystemType* FileSystemNamed(std::string_view name) { return Named(name); }
const FileSystemType* FileSystemNamed(std::u16string_view name) { return Named(name); }

const FileSystemType* FileSystemDetected(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) c = AsciiUpper(uint8_t(c));
  const FileSystemType* found = nullptr;
  for (const FileSystemType& t : kTypes) {
    std::string row = t.Name();
    for (char& c : row) c = AsciiUpper(uint8_t(c));
    if (t.Reads() && upper.find(row) != std::string::npos && (!found || row.size() > std::strlen(found->Name())))
      found = &t;
  }
  return found;
}

std::string FileSystemsRead(const char* conjunction) {
  std::string names, last;
  for (const FileSystemType& t : kTypes) {
    if (!t.Reads()) continue;
    if (!last.empty()) names += (names.empty() ? "" : ", ") + last;
    last = t.Name();
  }
  return names.empty() ? last : names + " " + conjunction + " " + last;
}
