// The search for volumes a partition table has lost.
#include "LostVolumes.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "BootSector.h"
#include "LittleEndian.h"

namespace {

// What a sound boot sector (or copy) says of its volume, in the disk's sectors.
struct BootFacts {
  VolumeFormat format = VolumeFormat::None;
  std::string fileSystem, label;
  uint64_t unit = 1;     // the disk's sectors in one of the volume's
  uint64_t sectors = 0;  // the volume's extent
  bool fat32CopyAt6 = false;  // 6 of the volume's sectors in
  uint8_t media = 0;
  // Where the volume's own first structure lies from its start, and what
  // begins there: its FAT (the media byte, then FF) or MFT ("FILE").
  uint64_t tableAt = 0, mirrorAt = 0;
};

// A FAT or NTFS boot sector with its 55 AA (on a partitioned disk every
// formatter writes one, and without it too many sectors of data would pass),
// made for the disk's sectors or, on a disk counted in 512-byte sectors, for
// 4 KiB ones: a 4Kn disk whose table is gone tells no sector size.
std::optional<BootFacts> SoundBootSector(const uint8_t* s, uint32_t diskSectorSize) {
  const RecognisedVolume v = RecogniseVolume(s, 512);
  const uint32_t bps = v.bytesPerSector;
  if (!v.signature || (bps != diskSectorSize && (bps != 4096 || diskSectorSize != 512))) return std::nullopt;
  BootFacts f;
  f.format = v.format;
  f.fileSystem = v.name;
  f.unit = bps / diskSectorSize;
  if (v.format == VolumeFormat::Ntfs) {
    // The count leaves out the copy in the sector after it; no disk holds 2^48 sectors.
    if (!v.sound || v.sectors >= (uint64_t(1) << 48)) return std::nullopt;
    f.sectors = (v.sectors + 1) * f.unit;
    const uint64_t spc = v.clusterSectors;
    if (v.mftCluster > f.sectors / spc || v.mirrorCluster > f.sectors / spc) return std::nullopt;
    f.tableAt = v.mftCluster * spc * f.unit;
    f.mirrorAt = v.mirrorCluster * spc * f.unit;
    return f;
  }
  if (v.format != VolumeFormat::Fat) return std::nullopt;
  f.media = v.media;
  if (f.media != 0xF0 && f.media < 0xF8) return std::nullopt;
  f.label = v.label;
  f.sectors = v.sectors * f.unit;
  f.fat32CopyAt6 = v.fatBits == 32 && v.backupSector == 6;
  f.tableAt = f.mirrorAt = v.reservedSectors * f.unit;
  return f;
}

// Whether the volume's FAT or MFT begins where a boot sector at start puts
// it: a copy read as a boot sector, or a sector of a file that looks like
// one, puts it where there is none. The MFT's first record must be record 0
// where it gives its number (NTFS 3.1): another volume's MFT is full of records.
bool TableWhereSaid(RawSource& disk, uint32_t sectorSize, uint64_t start, const BootFacts& f) {
  uint8_t head[0x30] = {};
  for (const uint64_t at : {f.tableAt, f.mirrorAt}) {
    size_t done = 0;
    if (!disk.ReadAt((start + at) * sectorSize, head, sizeof head, done) || done != sizeof head) continue;
    if (f.format != VolumeFormat::Ntfs) {
      if (head[0] == f.media && head[1] == 0xFF) return true;
    } else if (std::memcmp(head, "FILE", 4) == 0 && (Le16(head + 4) != 0x30 || Le32(head + 0x2C) == 0)) {
      return true;
    }
  }
  return false;
}

struct Interval {
  uint64_t from, to;  // sectors [from, to)
};

class Search {
 public:
  Search(RawSource& disk, uint32_t sectorSize, const LostVolumeLimits& limits)
      : disk_(disk), ss_(sectorSize), total_(disk.Size() / sectorSize), limits_(limits) {}

  // Volumes the table lists: their sectors are passed by, and a find at
  // their start is theirs.
  void AddLive(uint64_t start, uint64_t sectors) { live_.push_back({start, start + sectors}); }
  // Only a copy that places a volume at this start counts (FindVolumeAt).
  std::optional<uint64_t> onlyStart;

  // marks: sectors worth a look besides the usual places (the table's entry
  // starts and ends), each also followed by a closer look.
  LostVolumeSearch Run(std::vector<uint64_t> marks) {
    // A volume running to the disk's end, or to a GPT's last usable sector
    // (33 sectors of 512 bytes, or 5 of 4096, before it).
    for (const uint64_t back : {0, 33, 5})
      if (total_ > back) marks.push_back(total_ - back);
    std::sort(marks.begin(), marks.end());
    follow_.insert(follow_.end(), marks.begin(), marks.end());
    Sweep(onlyStart.value_or(0), total_ + 1, marks, false);
    // A volume found may be followed by one the table lost too: MBR-era
    // tools put the next right after it, or a track later.
    std::vector<uint64_t> followed;
    for (size_t i = 0; i < follow_.size() && !Stopped(); ++i) {
      const uint64_t end = follow_[i];
      if (std::find(followed.begin(), followed.end(), end) != followed.end()) continue;
      followed.push_back(end);
      Sweep(end, std::min(end + (1u << 20) / ss_, total_ + 1), {end, end + 1, end + 63}, true);
    }
    for (auto& [start, v] : found_) {
      if (IsLiveStart(start)) continue;
      v.pastEnd = start + v.sectors > total_;
      result_.volumes.push_back(v);
    }
    return std::move(result_);
  }

 private:
  bool Stopped() const { return stopped_ || (onlyStart && found_.count(*onlyStart)); }
  bool IsLiveStart(uint64_t start) const {
    return std::any_of(live_.begin(), live_.end(), [&](const Interval& i) { return i.from == start; });
  }
  bool InsideLive(uint64_t p) const {
    return std::any_of(live_.begin(), live_.end(), [&](const Interval& i) { return p > i.from && p < i.to; });
  }

  // Looks at the places in [from, to), a stretch at a time; only the first
  // pass over the disk reports progress.
  void Sweep(uint64_t from, uint64_t to, const std::vector<uint64_t>& marks, bool close) {
    const bool small = total_ * ss_ <= (2ull << 30);
    const uint64_t stretch = (16u << 20) / ss_;
    for (uint64_t a = from; a < to && !Stopped(); a += stretch) {
      const uint64_t b = std::min(to, a + stretch);
      std::vector<uint64_t> places = Places(a, b, marks, close || small);
      if (result_.places + places.size() > limits_.maxPlaces) {
        places.resize(size_t(limits_.maxPlaces - result_.places));
        Stop(places.empty() ? a : places.back() + 1);
      }
      Look(places);
      if (!stopped_ && !close && limits_.progress && !limits_.progress(b, total_)) Stop(b);
    }
  }

  void Stop(uint64_t at) {
    if (stopped_) return;
    stopped_ = true;
    result_.finished = false;
    result_.stoppedAt = at;
  }

  std::vector<uint64_t> Places(uint64_t a, uint64_t b, const std::vector<uint64_t>& marks, bool close) const {
    std::vector<uint64_t> out;
    auto every = [&](uint64_t stride, uint64_t offset) {
      uint64_t p = a <= offset ? offset : offset + (a - offset + stride - 1) / stride * stride;
      for (; p < b; p += stride) out.push_back(p);
    };
    every((1u << 20) / ss_, 0);
    if (close) every(std::max<uint64_t>(4096 / ss_, 1), 0);
    // Cylinders, the track after each, and on a close look every track,
    // where MBR-era tools placed volumes; 4 KiB sectors came after them.
    if (ss_ == 512) {
      for (const uint64_t heads : {uint64_t(255), TranslatedHeads()}) {
        every(heads * 63, 0);
        every(heads * 63, 63);
      }
      if (close) every(63, 0);
    }
    for (const uint64_t m : marks)
      if (m >= a && m < b) out.push_back(m);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    out.erase(std::remove_if(out.begin(), out.end(), [&](uint64_t p) { return InsideLive(p); }), out.end());
    return out;
  }

  // The heads a BIOS's LBA-assisted translation gives a disk of this size.
  uint64_t TranslatedHeads() const {
    for (const uint64_t heads : {16, 32, 64, 128})
      if (total_ <= 1024 * 63 * heads) return heads;
    return 255;
  }

  // Reads the sectors around each place (neighbours together, in one
  // submission) and judges them.
  void Look(const std::vector<uint64_t>& places) {
    if (places.empty()) return;
    result_.places += places.size();
    struct Span {
      uint64_t from, to;  // sectors
      std::vector<uint8_t> bytes;
    };
    std::vector<Span> spans;
    // In whole 4 KiB blocks, as disks store them.
    const uint64_t gap = (32u << 10) / ss_, most = (4u << 20) / ss_, block = std::max<uint64_t>(4096 / ss_, 1);
    for (const uint64_t p : places) {
      const uint64_t from = (p ? p - 1 : 0) / block * block, to = std::min((p + 7 + block - 1) / block * block, total_);
      if (from >= to) continue;
      if (!spans.empty() && from <= spans.back().to + gap && to - spans.back().from <= most)
        spans.back().to = std::max(spans.back().to, to);
      else
        spans.push_back({from, to, {}});
    }
    std::vector<ReadPiece> pieces(spans.size());
    for (size_t i = 0; i < spans.size(); ++i) {
      spans[i].bytes.assign(size_t(spans[i].to - spans[i].from) * ss_, 0);
      pieces[i].offset = spans[i].from * ss_;
      pieces[i].buffer = spans[i].bytes.data();
      pieces[i].len = spans[i].bytes.size();
    }
    disk_.ReadManyAt(pieces.data(), pieces.size());
    for (const ReadPiece& piece : pieces) result_.unreadable += piece.ok ? 0 : 1;
    auto sector = [&](uint64_t at) -> const uint8_t* {
      auto it = std::upper_bound(spans.begin(), spans.end(), at, [](uint64_t v, const Span& s) { return v < s.from; });
      if (it == spans.begin()) return nullptr;
      const size_t i = size_t(it - spans.begin() - 1);
      const uint64_t within = (at - spans[i].from) * ss_;
      return at < spans[i].to && pieces[i].ok && within + ss_ <= pieces[i].done ? spans[i].bytes.data() + within
                                                                                : nullptr;
    };
    for (const uint64_t p : places) Judge(p, sector);
  }

  template <class SectorAt>
  void Judge(uint64_t p, const SectorAt& sector) {
    if (const uint8_t* s = sector(p)) {
      if (auto f = SoundBootSector(s, ss_); f && p % f->unit == 0) {
        // A copy where a volume would start: its volume starts before it.
        if (f->fat32CopyAt6 && p >= 6 * f->unit) Add(p - 6 * f->unit, *f, false, p);
        if (f->format == VolumeFormat::Ntfs && p + f->unit >= f->sectors) Add(p + f->unit - f->sectors, *f, false, p);
        Add(p, *f, true, 0);
      }
    }
    if (const uint8_t* s = sector(p + 6))
      if (auto f = SoundBootSector(s, ss_); f && f->unit == 1 && f->fat32CopyAt6) Add(p, *f, false, p + 6);
    // An NTFS copy in the sector before p, of the disk's size or 4 KiB.
    for (const uint64_t unit : {uint64_t(1), uint64_t(8)}) {
      if (p < unit || p % unit != 0) continue;
      if (const uint8_t* s = sector(p - unit))
        if (auto f = SoundBootSector(s, ss_); f && f->unit == unit && f->format == VolumeFormat::Ntfs && f->sectors <= p)
          Add(p - f->sectors, *f, false, p - unit);
    }
  }

  // A volume at start, by its boot sector or the copy at sector copy, when
  // its FAT or MFT stands where that says.
  void Add(uint64_t start, const BootFacts& f, bool bootSector, uint64_t copy) {
    if (onlyStart && start != *onlyStart) return;
    const auto known = found_.find(start);
    if (known == found_.end() || (bootSector && !known->second.bootSector)) {
      if (!TableWhereSaid(disk_, ss_, start, f)) return;
      if (known == found_.end()) follow_.push_back(start + f.sectors);
      LostVolume& v = found_[start];
      v.start = start;
      v.format = f.format;
      v.fileSystem = f.fileSystem;
      v.sectors = f.sectors;
      v.label = f.label;
      v.bootSector |= bootSector;
      if (copy && !v.copy) v.copy = copy;
      return;
    }
    LostVolume& v = known->second;
    // A copy that disagrees with the boot sector is not its copy.
    if (v.fileSystem != f.fileSystem || v.sectors != f.sectors) return;
    v.bootSector |= bootSector;
    if (copy && !v.copy) v.copy = copy;
  }

  RawSource& disk_;
  const uint32_t ss_;
  const uint64_t total_;
  const LostVolumeLimits limits_;
  std::vector<Interval> live_;
  std::map<uint64_t, LostVolume> found_;
  std::vector<uint64_t> follow_;  // sectors after which a volume may follow
  LostVolumeSearch result_;
  bool stopped_ = false;
};

}  // namespace

LostVolumeSearch SearchLostVolumes(RawSource& disk, const PartitionTable& table, const LostVolumeLimits& limits) {
  const uint32_t ss = table.sectorSize;
  Search search(disk, ss, limits);
  std::vector<uint8_t> s(ss);
  // The sectors of a volume the table lists, as far as its boot sector says
  // it reaches: past that, the entry may hold an older volume's remains.
  auto live = [&](uint64_t start, uint64_t sectors) {
    size_t done = 0;
    if (!disk.ReadAt(start * ss, s.data(), ss, done) || done != ss) return;
    if (const auto f = SoundBootSector(s.data(), ss)) search.AddLive(start, std::min(sectors, f->sectors));
  };
  std::vector<uint64_t> marks;
  // A disk that is one volume, with no table.
  if (table.scheme == PartitionTable::Scheme::None) live(0, UINT64_MAX);
  for (const PartitionEntry& e : table.entries) {
    const uint64_t start = e.start / ss, sectors = e.size / ss;
    live(start, sectors);
    marks.push_back(start);
    marks.push_back(start + sectors);
  }
  LostVolumeSearch result = search.Run(marks);
  for (LostVolume& v : result.volumes)
    for (const PartitionEntry& e : table.entries)
      if (v.start < (e.start + e.size) / ss && e.start / ss < v.start + v.sectors) v.overlaps.push_back(e.number);
  return result;
}

bool FindVolumeAt(RawSource& disk, uint32_t sectorSize, uint64_t start, LostVolume& found) {
  Search search(disk, sectorSize, {});
  search.onlyStart = start;
  // The FAT32 copy 6 sectors in, of the disk's size or 4 KiB.
  const LostVolumeSearch result = search.Run({start, start + 6, start + 48});
  if (result.volumes.empty()) return false;
  found = result.volumes.front();
  return true;
}
