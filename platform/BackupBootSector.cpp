// The copies of a boot sector that FAT32 and NTFS keep, for a volume whose
// first sector was overwritten or zeroed.
#include <cstring>
#include <vector>

#include "BootSector.h"
#include "Volumes.h"

namespace {

bool ReadSector(RawSource& source, uint64_t offset, std::vector<uint8_t>& sector) {
  sector.assign(512, 0);
  size_t done = 0;
  return source.ReadAt(offset, sector.data(), sector.size(), done) && done == sector.size();
}

// An NTFS boot sector whose geometry can be read, of a volume of at most
// volumeSectors sectors of sectorSize bytes (0: any size).
bool SoundNtfs(const RecognisedVolume& v, uint32_t sectorSize, uint64_t volumeSectors) {
  return v.format == VolumeFormat::Ntfs && v.signature && v.sound && (!sectorSize || v.bytesPerSector == sectorSize) &&
         (volumeSectors == 0 || v.sectors <= volumeSectors);
}

// A FAT32 boot sector of sectorSize-byte sectors that says its copy is at sector 6.
bool SoundFat32(const RecognisedVolume& v, uint32_t sectorSize) {
  return v.fatBits == 32 && v.signature && v.bytesPerSector == sectorSize && v.backupSector == 6;
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
  // An NTFS name alone does not make a boot sector that can be read.
  const RecognisedVolume first = RecogniseVolume(s.data(), s.size());
  if (first.format != VolumeFormat::None && (first.format != VolumeFormat::Ntfs || SoundNtfs(first, 0, 0)))
    return false;
  const uint64_t size = source.Size();
  for (uint32_t unit = 512; unit <= 4096; unit *= 2) {
    const uint64_t sectors = size / unit;
    if (sectors < 8) break;
    RecognisedVolume copy;
    if (ReadSector(source, 6ull * unit, s) && SoundFat32(copy = RecogniseVolume(s.data(), s.size()), unit)) {
      found = {6, unit, copy.name};
      return true;
    }
    // mkntfs and Windows keep it in the volume's last sector; NT 3.x in its middle.
    for (const uint64_t at : {sectors - 1, sectors / 2, (sectors - 1) / 2}) {
      if (ReadSector(source, at * unit, s) && SoundNtfs(copy = RecogniseVolume(s.data(), s.size()), unit, sectors)) {
        found = {at, unit, copy.name};
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
