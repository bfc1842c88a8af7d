// FAT orphans: directory records in free clusters that no folder leads to.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "DiskfsInternal.h"

using diskfs::Fmt;
using diskfs::Log;

namespace {

bool ValidTime(uint16_t t) { return (t & 0x1F) <= 29 && ((t >> 5) & 0x3F) <= 59 && (t >> 11) <= 23; }
bool ValidDate(uint16_t d) {
  const unsigned month = (d >> 5) & 0x0F, day = d & 0x1F;
  return month >= 1 && month <= 12 && day >= 1;
}

bool IsDotStart(const uint8_t* r) {
  return std::memcmp(r, ".          ", 11) == 0 && (r[11] & faDirectory) && r[11] != faLongName;
}

// What a free cluster's first sector says of it.
enum class ClusterKind { Other, Records, FolderStart };

// The first sector of a cluster that holds directory records: every record
// up to the end mark is one a system writes. The name checks alone would let
// text files pass, so fields a file's bytes rarely fill so are checked too:
// the write date and time, the first cluster and, for a folder, a size of 0.
ClusterKind KindOfCluster(const uint8_t* sector, uint32_t bytes, uint32_t lastCluster, bool fat32) {
  if (sector[0] == 0) return ClusterKind::Other;  // never written, or an empty folder's tail
  for (uint32_t at = 0; at + 32 <= bytes; at += 32) {
    const uint8_t* r = sector + at;
    if (r[0] == 0) break;
    if (!diskfs::LooksLikeRecord(r)) return ClusterKind::Other;
    const uint8_t attr = r[11];
    if (attr == faLongName) {
      if (r[12] != 0) return ClusterKind::Other;
      continue;
    }
    if (attr & faVolumeID) return ClusterKind::Other;  // labels live in the root, which is never free
    // Short names are kept in upper case (byte 12 flags names shown in
    // lower case); a lower-case letter or a leading blank is text, not a name.
    if (r[0] == ' ') return ClusterKind::Other;
    for (int i = 0; i < 11; ++i)
      if (r[i] >= 'a' && r[i] <= 'z') return ClusterKind::Other;
    const auto& e = *reinterpret_cast<const TDirEntry*>(r);
    const uint32_t first = fat32 ? e.FirstCluster() : uint32_t(e.ClusterLow);
    if ((!fat32 && e.ClusterHigh != 0) || first > lastCluster || first == 1) return ClusterKind::Other;
    if ((attr & faDirectory) && e.Size != 0) return ClusterKind::Other;
    // Every system stamps what it writes (the earliest date is 1980-01-01).
    if (!ValidDate(e.Date) || !ValidTime(e.Time)) return ClusterKind::Other;
  }
  return IsDotStart(sector) ? ClusterKind::FolderStart : ClusterKind::Records;
}

}  // namespace

void TFATdrive::ReadFreeClusters(uint32_t First, std::vector<uint8_t>& Free) {
  // Whole sectors of the table at once: a lookup each would cost more than
  // the entries. FAT12 volumes are small enough for lookups.
  if (FATType == 1) {
    for (size_t k = 0; k < Free.size(); ++k)
      Free[k] = ClassifyFATEntry(FATType, GetFAT(First + uint32_t(k), 0)) == fatEntryFree;
    return;
  }
  const uint32_t width = FATType == 2 ? 2 : 4;
  const uint64_t from = uint64_t(First) * width, to = (uint64_t(First) + Free.size()) * width;
  const uint64_t sector = from / FBytesPerSector, count = (to + FBytesPerSector - 1) / FBytesPerSector - sector;
  std::vector<uint8_t> table(count * FBytesPerSector);
  if (sector + BootSec.ReservedSectors + count > 0xFFFFFFFFull ||
      !ReadVolumeSectors(uint32_t(sector + BootSec.ReservedSectors), uint32_t(count), table.data())) {
    std::fill(Free.begin(), Free.end(), 0);
    return;
  }
  const uint8_t* p = table.data() + (from - sector * FBytesPerSector);
  for (size_t k = 0; k < Free.size(); ++k, p += width)
    Free[k] = (width == 2 ? ReadLE16(p) : ReadLE32(p) & 0x0FFFFFFF) == 0;
}

uint32_t TFATdrive::OrphanSearchEnd(bool& ProbeTail) {
  const uint32_t all = ClusterCount + 1;
  // FAT32 keeps where the allocator stopped: it hands clusters out onwards
  // from there, so past it and past the last cluster in use nothing was
  // written since the volume was made.
  uint32_t hint = 0;
  if (FATType == 3 && BootSec.FSInfoSector != 0 && BootSec.FSInfoSector < BootSec.ReservedSectors &&
      FBytesPerSector >= 512) {
    std::vector<uint8_t> info(FBytesPerSector);
    if (ReadVolumeSector(BootSec.FSInfoSector, info.data()) && ReadLE32(info.data()) == 0x41615252 &&
        ReadLE32(info.data() + 484) == 0x61417272)
      hint = ReadLE32(info.data() + 492);
    if (hint < 2 || hint > all) hint = 0;
  }
  // Without a hint the clusters past the last one in use are probed.
  ProbeTail = hint == 0;
  const uint32_t floor = std::max<uint32_t>(hint, 1);
  constexpr uint32_t kChunk = 32768;
  std::vector<uint8_t> free;
  for (uint32_t end = all + 1; end > floor + 1;) {
    const uint32_t first = std::max(floor + 1, end > kChunk ? end - kChunk : 2);
    free.assign(end - first, 0);
    ReadFreeClusters(first, free);
    const auto used = std::find(free.rbegin(), free.rend(), 0);
    if (used != free.rend()) return first + uint32_t(free.rend() - used) - 1;
    end = first;
  }
  return floor;
}

void TFATdrive::FindOrphans(TFATDirectory& Folder) {
  FMarkDirClusters = false;
  Folder.Drive = this;
  if (!Folder.Children) Folder.Children = std::make_shared<TChildList>();
  if (!Folder.FTree) {
    auto* parent = dynamic_cast<TFATDirectory*>(Folder.Parent);
    Folder.FTree = parent && parent->FTree ? parent->FTree : std::make_shared<TFATTree>(FItemLimit, &Folder);
    if (Folder.FTree->Top != &Folder) ++Folder.FTree->Items;
  }
  bool probeTail = false;
  const uint32_t end = OrphanSearchEnd(probeTail);
  // Past the last cluster in use free space is read until it looks never
  // written: a stretch of clusters that begin with a zero sector (a new
  // card or a sparse image reads so). Deleted folders there end the stretch.
  constexpr uint32_t kUnwrittenStretch = 64;
  const uint32_t last = std::min(probeTail ? ClusterCount + 1 : end, FLastSourceCluster);
  uint32_t zeros = 0;
  bool unwritten = false;
  Log(Fmt("Searching free clusters up to %u for orphaned directory records (TFATdrive.FindOrphans)", unsigned(end)));

  // Free clusters that no folder was read from and that open with records.
  // Their first sectors are read in batches, around the cache: they lie
  // scattered, and a line each would read many times what is looked at.
  std::vector<uint32_t> starts;
  std::vector<bool> folderStart;
  constexpr size_t kBatch = 512;
  const uint32_t ratio = FSectorRatio, deviceBytes = DeviceSectorSize();
  std::vector<uint8_t> sectors(kBatch * ratio * deviceBytes);
  std::vector<TSectorPiece> pieces;
  std::vector<uint32_t> batch;
  auto examine = [&] {
    pieces.resize(batch.size());
    for (size_t k = 0; k < batch.size(); ++k) {
      const uint64_t first = uint64_t(Cluster2Sec(batch[k])) * ratio + FirstSector;
      pieces[k] = {uint32_t(first), ratio, sectors.data() + k * ratio * deviceBytes, false};
      if (first > 0xFFFFFFFFull - ratio) pieces[k].count = 0;
    }
    if (Device && !pieces.empty()) Device->ReadSecPieces(pieces.data(), pieces.size());
    for (size_t k = 0; k < batch.size(); ++k) {
      if (!pieces[k].ok || pieces[k].count == 0) continue;
      if (batch[k] > end) {
        const uint8_t* p = pieces[k].buffer;
        zeros = std::all_of(p, p + FBytesPerSector, [](uint8_t b) { return b == 0; }) ? zeros + 1 : 0;
        if (zeros >= kUnwrittenStretch) {
          unwritten = true;
          break;
        }
      }
      const ClusterKind kind = KindOfCluster(pieces[k].buffer, FBytesPerSector, ClusterCount + 1, FATType == 3);
      if (kind == ClusterKind::Other) continue;
      starts.push_back(batch[k]);
      folderStart.push_back(kind == ClusterKind::FolderStart);
    }
    batch.clear();
  };
  constexpr uint32_t kChunk = 32768;
  std::vector<uint8_t> free;
  for (uint32_t first = 2; first <= last && first >= 2 && !unwritten; first += kChunk) {
    free.assign(std::min<uint32_t>(kChunk, last - first + 1), 0);
    ReadFreeClusters(first, free);
    for (size_t k = 0; k < free.size(); ++k) {
      const uint32_t c = first + uint32_t(k);
      if (!free[k] || FDirClusters.count(c)) continue;
      batch.push_back(c);
      if (batch.size() == kBatch) examine();
      if (unwritten) break;
    }
  }
  examine();

  // Each run of clusters is read as a folder would be (a cleared folder goes
  // on into the free clusters after it), its records becoming the children
  // of a stand-in; clusters a run took in start no run of their own.
  std::vector<std::unique_ptr<TFATDirectory>> runs;
  std::unordered_map<uint32_t, size_t> runAt;
  for (size_t i = 0; i < starts.size(); ++i) {
    if (FDirClusters.count(starts[i])) continue;
    auto run = std::make_unique<TFATDirectory>();
    run->Drive = this;
    run->StartCluster = starts[i];
    run->Parent = &Folder;
    run->DeletedState = 1;  // a free cluster's folder is gone
    run->FTree = Folder.FTree;
    ++run->FTree->Items;
    run->AddChildren(true, false);
    if (folderStart[i]) runAt.emplace(starts[i], runs.size());
    runs.push_back(std::move(run));
  }

  // A run that opens a folder whose entry another run holds belongs below
  // that entry, not at the top. Runs that hold each other's entries in a
  // loop have their lowest cluster at the top.
  constexpr size_t kTop = SIZE_MAX;
  std::vector<size_t> up(runs.size(), kTop);
  for (size_t i = 0; i < runs.size(); ++i)
    for (TObject* item : *runs[i]->Children)
      if (auto* d = ItemAs<TFATDirectory>(item))
        if (auto at = runAt.find(d->StartCluster); at != runAt.end() && at->second != i && up[at->second] == kTop)
          up[at->second] = i;
  std::vector<uint8_t> state(runs.size(), 0);  // 0 new, 1 on the way, 2 done
  for (size_t i = 0; i < runs.size(); ++i) {
    std::vector<size_t> path;
    size_t x = i;
    while (x != kTop && state[x] == 0) {
      state[x] = 1;
      path.push_back(x);
      x = up[x];
    }
    if (x != kTop && state[x] == 1) up[*std::min_element(std::find(path.begin(), path.end(), x), path.end())] = kTop;
    for (size_t k : path) state[k] = 2;
  }

  size_t found = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    TFATDirectory& run = *runs[i];
    if (up[i] != kTop) continue;  // freed below, which opens its cluster to the entry
    for (TObject* item : *run.Children) {
      if (auto* f = ItemAs<TFATFile>(item)) {
        f->Parent = &Folder;
        if (!f->Deleted) f->DeletedCondition = DeletedConditionIsIntact(f->StartCluster) ? 1 : 2;
        f->Deleted = true;
      } else if (auto* d = ItemAs<TFATDirectory>(item)) {
        d->Parent = &Folder;
        if (!(d->DeletedState & 1)) d->DeletedCondition = DeletedConditionIsIntact(d->StartCluster) ? 1 : 2;
        d->DeletedState |= 1;
      }
      Folder.Children->push_back(item);
      ++found;
    }
    run.Children->clear();
    // The run's cluster stays open in the tree: shown here, not again below
    // an entry that leads to it.
    run.FOpened = false;
  }
  runs.clear();
  Log(Fmt("%u orphaned items in %u runs of free clusters...done (TFATdrive.FindOrphans)", unsigned(found),
          unsigned(starts.size())));
}
