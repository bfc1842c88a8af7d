// The copies of a boot sector that FAT32 and NTFS keep, for a volume whose
// first sector was overwritten or zeroed.
#include <cstring>
#include <vector>

#include "BootSector.h"
#include "Volumes.h"

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool ReadSector(RawSource& source, uint64_t offset, std::vector<uint8_t>& sector) {
  sector.assign(512, 0);
  size_t done = 0;
  return source.ReadAt(offset, sector.data(), sector.size(), done) && done == sector.size();
}

// An NTFS boot sector whose geometry can be read, of a volume of at most
// volumeSectors sectors of sectorSize bytes (0: any size).
bool SoundNtfs(const std::vector<uint8_t>& s, uint32_t sectorSize, uint64_t volumeSectors) {
  if (std::memcmp(&s[3], "NTFS    ", 8) != 0 || s[510] != 0x55 || s[511] != 0xAA) return false;
  const uint32_t bps = Le16(&s[11]), spc = s[13];
  const uint64_t sectors = Le64(&s[0x28]), mft = Le64(&s[0x30]);
  // Clusters above 64 KiB are given as a power of two ($F4..$FF).
  const uint64_t clusterSectors = spc <= 0x80 ? spc : spc >= 0xF4 ? (uint64_t(1) << (256 - spc)) / bps : 0;
  if (bps < 256 || bps > 4096 || !IsPowerOfTwo(bps) || (sectorSize && bps != sectorSize) || clusterSectors == 0 ||
      (spc <= 0x80 && !IsPowerOfTwo(spc)) || sectors == 0)
    return false;
  return (volumeSectors == 0 || sectors <= volumeSectors) && mft < sectors / clusterSectors;
}

// A FAT32 boot sector of sectorSize-byte sectors that says its copy is at sector 6.
bool SoundFat32(const std::vector<uint8_t>& s, uint32_t sectorSize) {
  BootSectorInfo info;
  return ParseBootSector(s.data(), s.size(), info) && info.fileSystemName == "FAT32" && s[510] == 0x55 &&
         s[511] == 0xAA && Le16(&s[11]) == sectorSize && Le16(&s[50]) == 6;
}

class PatchedSource : public RawSource {
 public:
  PatchedSource(std::shared_ptr<RawSource> base, std::vector<uint8_t> first)
      : base_(std::move(base)), first_(std::move(first)) {}
  bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) override {
    const bool ok = base_->ReadAt(offset, buffer, len, done);
    Patch(offset, buffer, done);
    return ok;
  }
  void ReadManyAt(ReadPiece* pieces, size_t count) override {
    base_->ReadManyAt(pieces, count);
    for (size_t i = 0; i < count; ++i) Patch(pieces[i].offset, pieces[i].buffer, pieces[i].done);
  }
  bool WriteAt(uint64_t, const void*, size_t, size_t& done) override {
    done = 0;
    return false;
  }
  uint64_t Size() const override { return base_->Size(); }
  bool Writable() const override { return false; }

 private:
  void Patch(uint64_t offset, void* buffer, size_t len) const {
    if (offset >= first_.size() || len == 0) return;
    const size_t n = size_t(std::min<uint64_t>(len, first_.size() - offset));
    std::memcpy(buffer, first_.data() + offset, n);
  }
  std::shared_ptr<RawSource> base_;
  std::vector<uint8_t> first_;
};

}  // namespace

bool FindBackupBootSector(RawSource& source, BackupBootSector& found) {
  std::vector<uint8_t> s;
  if (!ReadSector(source, 0, s)) return false;
  BootSectorInfo info;
  // An NTFS name alone does not make a boot sector that can be read.
  if (ParseBootSector(s.data(), s.size(), info) && (info.fileSystemName != "NTFS" || SoundNtfs(s, 0, 0)))
    return false;
  const uint64_t size = source.Size();
  for (uint32_t unit = 512; unit <= 4096; unit *= 2) {
    const uint64_t sectors = size / unit;
    if (sectors < 8) break;
    if (ReadSector(source, 6ull * unit, s) && SoundFat32(s, unit)) {
      found = {6, unit, "FAT32"};
      return true;
    }
    // mkntfs and Windows keep it in the volume's last sector; NT 3.x in its middle.
    for (const uint64_t at : {sectors - 1, sectors / 2, (sectors - 1) / 2}) {
      if (ReadSector(source, at * unit, s) && SoundNtfs(s, unit, sectors)) {
        found = {at, unit, "NTFS"};
        return true;
      }
    }
  }
  return false;
}

std::shared_ptr<RawSource> WithBootSectorFrom(std::shared_ptr<RawSource> source, const BackupBootSector& copy) {
  std::vector<uint8_t> first(copy.sectorSize);
  size_t done = 0;
  if (!source || !source->ReadAt(copy.sector * copy.sectorSize, first.data(), first.size(), done) ||
      done != first.size())
    return nullptr;
  return std::make_shared<PatchedSource>(std::move(source), std::move(first));
}

bool SoundNtfsBootSector(const uint8_t* s, uint32_t sectorSize, uint64_t volumeSectors) {
  return SoundNtfs(std::vector<uint8_t>(s, s + 512), sectorSize, volumeSectors);
}
