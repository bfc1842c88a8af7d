// NTFS drive: construction, sector reads, mounting, MFT record 0 and record reads.
#include <algorithm>
#include <cstring>

#include "NtfsInternal.h"
#include "WinApi.h"

using ntfs::Log;
using ntfs::LogException;

namespace ntfs {

AnsiString NameToAnsi(const uint8_t* utf16le, size_t units) {
  if (units == 0) return {};
  // Names are at most 255 code units: on the stack, and the result is the
  // only allocation (items are made by the ten thousand).
  units = std::min<size_t>(units, 255);
  // A zero unit ends the name, as its zero byte would end the converted text.
  // Most names are ASCII: their UTF-8 is their low bytes, with no conversion.
  char ascii[255];
  size_t plain = 0;
  // Four units at a time while all four are ASCII and none is zero.
  for (; plain + 4 <= units; plain += 4) {
    const uint64_t w = NtfsRead64(utf16le + 2 * plain);
    if ((w & 0xFF80FF80FF80FF80ull) || ((w - 0x0001000100010001ull) & 0x8000800080008000ull)) break;
    ascii[plain] = char(w), ascii[plain + 1] = char(w >> 16);
    ascii[plain + 2] = char(w >> 32), ascii[plain + 3] = char(w >> 48);
  }
  for (; plain < units; ++plain) {
    const uint16_t u = NtfsRead16(utf16le + 2 * plain);
    if (u == 0 || u >= 0x80) break;
    ascii[plain] = char(u);
  }
  if (plain == units || NtfsRead16(utf16le + 2 * plain) == 0) return AnsiString(ascii, plain);
  char16_t wide[255];
  for (size_t i = 0; i < units; ++i) wide[i] = char16_t(NtfsRead16(utf16le + 2 * i));
  // Room for every code unit as UTF-8: a 255-character name is never cut.
  char out[255 * 3 + 1];
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, int(units), out, int(sizeof out), nullptr, nullptr);
  const size_t length = n > 0 ? size_t(n) : 0;
  return AnsiString(out, std::find(out, out + length, '\0'));
}

}  // namespace ntfs

TNTFSdrive::TNTFSdrive() { Log("Creating drive object... (TNTFSdrive.create)"); }

TNTFSdrive::~TNTFSdrive() {
  Log("Destroying drive object... (TNTFSdrive.destroy)");
  RootDir.reset();
  DeletedTreeRoot.reset();
  SpareDir1.reset();
  SpareDir2.reset();
}

bool TNTFSdrive::ReadSec(uint32_t Sector, uint16_t Count, void* Buffer, bool showErrors) {
  const uint64_t absolute = uint64_t(FirstSector) + Sector;
  if (absolute > 0x7FFFFFFF) throw std::range_error("sector number out of range");
  const bool ok = Device && Device->ReadSec(static_cast<int32_t>(absolute), Count, Buffer, showErrors);
  if (!ok) ntfs::Log("error reading sector: %d, count: %d (TNTFSdrive.ReadSec) ", int(Sector), int(Count));
  return ok;
}

bool TNTFSdrive::ReadVolumeSectors(uint64_t Sector, uint64_t Count, uint8_t* Buffer) {
  // A volume sector may span several device sectors, and the device count is
  // 16 bits: read in pieces.
  const uint32_t devSize = BytesPerSector() / FSectorRatio;
  uint64_t first = Sector * FSectorRatio, total = Count * FSectorRatio;
  while (total > 0) {
    const auto n = static_cast<uint16_t>(std::min<uint64_t>(total, 0x8000));
    if (first > 0xFFFFFFFFull || !ReadSec(static_cast<uint32_t>(first), n, Buffer, true)) return false;
    first += n;
    total -= n;
    Buffer += size_t(n) * devSize;
  }
  return true;
}

uint64_t TNTFSdrive::VolumeBytes() const {
  if (Device && Device->TotalSectors && Device->BytesPerSector)
    return uint64_t(Device->TotalSectors) * Device->BytesPerSector;
  return uint64_t(bootb.TotalSectors) * bootb.BytesPerSector;
}

uint64_t TNTFSdrive::AllocationLimit() const {
  const uint64_t volume = VolumeBytes();
  return std::min<uint64_t>(volume ? volume : (1u << 28), 1u << 28);
}

bool TNTFSdrive::ValidGeometry() const {
  // Sizes no formatter writes would only feed the arithmetic below with
  // zeros and absurd buffers, so such a volume is not read.
  const uint32_t bps = bootb.BytesPerSector;
  const uint32_t dev = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
  const auto pow2 = [](uint64_t v) { return v && (v & (v - 1)) == 0; };
  return pow2(bps) && bps >= 256 && bps <= 4096 && bps % dev == 0 && bootb.SectorsPerCluster != 0 &&
         pow2(bootb.SectorsPerCluster) && BytesPerCluster <= (2u << 20) && pow2(BytesPerFileRecord) &&
         BytesPerFileRecord >= 256 && BytesPerFileRecord <= 65536 && BytesPerIndexBlock >= 256 &&
         BytesPerIndexBlock <= 65536 && pow2(BytesPerIndexBlock) && int64_t(bootb.MFTStartLcn) > 0;
}

bool TNTFSdrive::MountDrive(bool /*Flag*/) {
  Log("Mounting drive...");
  const uint32_t dev = Device && Device->BytesPerSector > 512 ? Device->BytesPerSector : 512;
  std::vector<uint8_t> boot(dev, 0);
  if (!ReadSec(0, 1, boot.data(), true)) return false;
  try {
    std::memcpy(&bootb, boot.data(), sizeof bootb);
    const uint64_t indexBlock = NtfsEncodedSize(bootb.ClustersPerIndexBlock, bootb.SectorsPerCluster,
                                                bootb.BytesPerSector);
    BytesPerIndexBlock = uint32_t(std::min<uint64_t>(indexBlock, 0xFFFFFFFF));
    ntfs::Log("BytesPerIndexBlock: %d", int(BytesPerIndexBlock));
    ntfs::Log("bootb.ClustersPerFileRecord: %d", int(uint32_t(bootb.ClustersPerFileRecord)));
    ntfs::Log("bootb.MFTStartLcn: %lld", (long long)int64_t(bootb.MFTStartLcn));
    ntfs::Log("bootb.SectorsPerCluster: %d", int(bootb.SectorsPerCluster));
    ntfs::Log("bootb.BytesPerSector: %d", int(bootb.BytesPerSector));
    BytesPerCluster = uint32_t(bootb.BytesPerSector) * bootb.SectorsPerCluster;
    LoadMFT();
    ItemBudget = std::min<uint64_t>(VolumeBytes() / 64 + 65536, 1u << 25);
    CreateStartItems();
    if (!MftLoaded) return true;  // nothing more can be read, and buffers would follow absurd sizes
    ClusterBuffer.assign(BytesPerCluster, 0);
    std::vector<uint8_t> record(BytesPerFileRecord);
    if (ReadFileRecord(kMftRecordVolume, record.data())) {
      if (const TATTRIBUTE* a = FindAttribute(record.data(), atVolumeName, nullptr, 0)) {
        Log("Attribute \"VolumeName\" found... (TNTFSdrive.MountDrive)");
        // A valid name has at most 128 code units; a longer value is clipped.
        const size_t units = std::min<size_t>(AttributeValueLength(a) / 2, 128);
        std::vector<uint8_t> value;
        if (ReadAttribute(a, value)) Name = ntfs::NameToAnsi(value.data(), std::min(units, value.size() / 2));
        ntfs::Log("Drive mounted: %s (TNTFSdrive.MountDrive)", Name.c_str());
      } else {
        Log("ERR Attribute \"VolumeName\" not found... (TNTFSdrive.MountDrive)");
      }
      const TATTRIBUTE* info = FindAttribute(record.data(), atVolumeInformation, nullptr, 0);
      std::vector<uint8_t> value;
      if (info && ReadAttribute(info, value) && value.size() >= sizeof(TVOLUME_INFORMATION)) {
        Log("Attribute \"VolumeInformation\" found... (TNTFSdrive.MountDrive)");
        const auto* v = reinterpret_cast<const TVOLUME_INFORMATION*>(value.data());
        MajorVersion = v->MajorVersion;
        MinorVersion = v->MinorVersion;
        VolumeFlags = v->Flags;
        ntfs::Log("Volume MajorVersion: %d, MinorVersion: %d, flags: %d (TNTFSdrive.MountDrive)", int(MajorVersion),
                  int(MinorVersion), int(VolumeFlags));
        if (Dirty()) Log("Dirty flag set! run chkdsk /f (TNTFSdrive.MountDrive)");
      } else {
        Log("ERR Attribute \"VolumeInformation\" not found... (TNTFSdrive.MountDrive)");
      }
    }
  } catch (const std::exception& e) {
    LogException(&e, " (TNTFSdrive.MountDrive)");
  }
  return true;
}

bool TNTFSdrive::LoadMFT() {
  Log("Loading MFT... (TNTFSdrive.LoadMFT)");
  MftLoaded = false;
  MftRecord.clear();
  FMftMap.clear();
  FMftRecords = 0;
  try {
    const uint64_t size = NtfsEncodedSize(bootb.ClustersPerFileRecord, bootb.SectorsPerCluster, bootb.BytesPerSector);
    BytesPerFileRecord = uint32_t(std::min<uint64_t>(size, 0xFFFFFFFF));
    ntfs::Log("BytesPerFileRecord: %d", int(BytesPerFileRecord));
    if (!ValidGeometry()) {
      // No buffer may follow these sizes: every record read now fails.
      BytesPerFileRecord = 0;
      throw std::range_error("boot sector sizes out of range");
    }
    const uint32_t dev = Device && Device->BytesPerSector ? Device->BytesPerSector : 512;
    FSectorRatio = BytesPerSector() / dev;
    // A record smaller than a sector (1 KiB records on 4 KiB sectors) is
    // read as the whole sector holding it.
    const uint64_t sectors = (BytesPerFileRecord + BytesPerSector() - 1) / BytesPerSector();
    const uint64_t first = uint64_t(int64_t(bootb.MFTStartLcn)) * SectorsPerCluster();
    std::vector<uint8_t> buffer(sectors * BytesPerSector());
    if (!ReadVolumeSectors(first, sectors, buffer.data())) {
      Log("Error reading MFT... (TNTFSdrive.LoadMFT)");
      return false;
    }
    buffer.resize(BytesPerFileRecord);
    Log("Fixing up sequence array... (TNTFSdrive.LoadMFT)");
    FixupUpdateSequenceArray(buffer.data(), BytesPerFileRecord);
    MftRecord = std::move(buffer);
    MftLoaded = true;
    MapMft();
    Log("...............MFT loaded... (TNTFSdrive.LoadMFT)");
    return true;
  } catch (const std::exception& e) {
    LogException(&e, " (TNTFSdrive.LoadMFT)");
    return false;
  }
}

bool TNTFSdrive::FindMftRun(uint64_t vcn, int64_t& lcn, uint64_t& count) const {
  const auto after = std::upper_bound(FMftMap.begin(), FMftMap.end(), vcn,
                                      [](uint64_t v, const MftRun& r) { return v < r.vcn; });
  if (after == FMftMap.begin()) return false;
  const MftRun& r = after[-1];
  if (vcn - r.vcn >= r.length || r.lcn <= 0) return false;
  lcn = int64_t(uint64_t(r.lcn) + (vcn - r.vcn));
  count = r.length - (vcn - r.vcn);
  return true;
}

void TNTFSdrive::MapMft() {
  FMftMap.clear();
  FMftRecords = 0;
  const TATTRIBUTE* data = FindAttribute(MftRecord.data(), atData, nullptr, 0);
  if (!data || !data->Nonresident) return;
  const uint64_t volumeClusters = VolumeBytes() / BytesPerCluster;
  uint64_t next = 0;  // the first VCN not mapped yet
  // A piece counts only where the map ends: pieces that overlap or leave a
  // gap can't be placed, and the map never outgrows the volume.
  const auto add = [&](const TATTRIBUTE* piece) {
    const auto* n = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(piece);
    if (uint64_t(int64_t(n->LowVcn)) != next) return;
    const auto* base = reinterpret_cast<const uint8_t*>(piece);
    const uint8_t* end = base + piece->Length;
    uint64_t running = 0;
    for (const uint8_t* run = base + n->RunArrayOffset; RunFits(run, end) && run[0] != 0; run += RunHeaderSize(run)) {
      const uint64_t length = RunLength(run);
      const int64_t delta = RunLcnDelta(run);
      running += uint64_t(delta);
      if (length == 0 || next >= volumeClusters) return;
      // A run past what the source holds (an image cut short) is mapped as
      // far as it goes: the records there are still readable.
      const uint64_t kept = std::min(length, volumeClusters - next);
      FMftMap.push_back({next, kept, delta == 0 ? 0 : int64_t(running)});
      next += kept;
      if (kept < length) return;
    }
  };
  add(data);
  const auto* first = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(data);
  if (int64_t(first->LowVcn) == 0 && int64_t(first->DataSize) > 0)
    FMftRecords = std::min<uint64_t>(uint64_t(int64_t(first->DataSize)), VolumeBytes()) / BytesPerFileRecord;

  // A fragmented MFT keeps the rest of its runs in extension records, which
  // lie in the part mapped so far. An entry that names no such record costs
  // nothing; at most 256 records are read (ReadVCN takes no more pieces).
  const std::vector<uint8_t> list = ReadAttributeList(MftRecord.data());
  std::vector<uint8_t> ext(BytesPerFileRecord);
  unsigned reads = 0;
  for (size_t at = 0; list.size() - at >= sizeof(TATTRIBUTE_LIST_ENTRY) && reads < 256;) {
    const auto* e = reinterpret_cast<const TATTRIBUTE_LIST_ENTRY*>(list.data() + at);
    if (e->AttributeType == atEnd || e->Length < sizeof(TATTRIBUTE_LIST_ENTRY) || e->Length > list.size() - at) break;
    at += e->Length;
    const uint64_t number = RecordNumberOf(e->FileReference);
    int64_t lcn = 0;
    uint64_t run = 0;
    if (e->AttributeType != atData || e->NameLength != 0 || uint64_t(e->LowVcn) != next ||
        number == kMftRecordMft || number >= FMftRecords || number > 0xFFFFFFFF ||
        !FindMftRun(number * BytesPerFileRecord / BytesPerCluster, lcn, run))
      continue;
    ++reads;
    if (!ReadFileRecord(uint32_t(number), ext.data())) continue;
    const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(ext.data());
    if (!HasMagic(ext.data(), "FILE") || !(h->Flags & kRecordInUse) || RecordNumberOf(h->BaseFileRecord) != 0)
      continue;
    for (int k = 0; k <= 255; ++k) {
      const TATTRIBUTE* piece = FindAttribute(ext.data(), atData, nullptr, uint8_t(k));
      if (!piece) break;
      if (piece->Nonresident) add(piece);
    }
  }
  ntfs::Log("MFT map: %d runs, %lld records (TNTFSdrive.LoadMFT)", int(FMftMap.size()), (long long)FMftRecords);
}

bool TNTFSdrive::LocateFileRecord(uint32_t index, uint64_t& first, uint64_t& count, uint32_t& skip) const {
  // Records and clusters in either order of size: a record may span
  // clusters (512-byte clusters) or share one with others.
  const uint64_t byte = uint64_t(index) * BytesPerFileRecord;
  const uint64_t vcn = byte / BytesPerCluster;
  const uint32_t within = uint32_t(byte % BytesPerCluster);
  const uint32_t k = (within + BytesPerFileRecord + BytesPerCluster - 1) / BytesPerCluster;
  const uint32_t bps = BytesPerSector();
  int64_t lcn = 0;
  uint64_t run = 0;
  if (bps == 0 || !FindMftRun(vcn, lcn, run) || run < k || uint64_t(lcn) > (uint64_t(INT64_MAX) / BytesPerCluster))
    return false;
  const uint64_t start = uint64_t(lcn) * BytesPerCluster + within;
  first = start / bps;
  count = (start + BytesPerFileRecord - 1) / bps - first + 1;
  skip = uint32_t(start - first * bps);
  return true;
}

bool TNTFSdrive::ReadFileRecord(uint32_t index, uint8_t* buffer) {
  ntfs::Log("Reading MFT file record :%d... (TNTFSdrive.ReadFileRecord)", int(index));
  // Without record 0 there is no map of the MFT: every read fails rather
  // than interpret an unfilled buffer.
  if (!MftLoaded || BytesPerCluster == 0) return false;
  try {
    // Usually one run holds the record: then only its sectors are read (the
    // deleted search reads thousands of records one by one). A record split
    // between runs is put together from its clusters.
    uint64_t first = 0, count = 0;
    uint32_t skip = 0;
    if (LocateFileRecord(index, first, count, skip)) {
      if (skip == 0 && count * BytesPerSector() == BytesPerFileRecord) {
        if (!ReadVolumeSectors(first, count, buffer)) return false;
      } else {
        // A record smaller than a sector (1 KiB records on 4 KiB sectors).
        FRecordScratch.resize(size_t(count) * BytesPerSector());
        if (!ReadVolumeSectors(first, count, FRecordScratch.data())) return false;
        std::memcpy(buffer, FRecordScratch.data() + skip, BytesPerFileRecord);
      }
    } else {
      const uint64_t byte = uint64_t(index) * BytesPerFileRecord;
      const uint32_t within = uint32_t(byte % BytesPerCluster);
      const uint32_t k = (within + BytesPerFileRecord + BytesPerCluster - 1) / BytesPerCluster;
      std::vector<uint8_t> temp(size_t(k) * BytesPerCluster);
      uint64_t vcn = byte / BytesPerCluster;
      for (uint32_t done = 0; done < k;) {
        int64_t lcn = 0;
        uint64_t run = 0;
        if (!FindMftRun(vcn, lcn, run)) return false;
        const auto n = uint32_t(std::min<uint64_t>(run, k - done));
        if (!ReadLCN(lcn, n, temp.data() + size_t(done) * BytesPerCluster)) return false;
        done += n;
        vcn += n;
      }
      std::memcpy(buffer, temp.data() + within, BytesPerFileRecord);
    }
    FixupUpdateSequenceArray(buffer, BytesPerFileRecord);
    return true;
  } catch (const std::exception& e) {
    LogException(&e, " (TNTFSdrive.ReadFileRecord at index %d)", int(index));
    return false;
  }
}

void TNTFSdrive::ReadFileRecords(const uint32_t* numbers, size_t count, uint8_t* buffer, bool* ok) {
  // Records that one run of record 0's map holds go to the device together,
  // straight into their slots or, when smaller than a sector (1 KiB records
  // on 4 KiB sectors), as their sectors into the scratch; any other record
  // (or any the device failed) is read on its own.
  std::vector<TSectorPiece>& pieces = FRecordPieces;
  std::vector<RecordRead>& reads = FRecordReads;
  pieces.clear();
  reads.clear();
  size_t scratch = 0;
  const bool mapped = Device && MftLoaded && BytesPerCluster != 0;
  for (size_t i = 0; i < count; ++i) {
    ok[i] = false;
    uint64_t first = 0, sectors = 0;
    uint32_t skip = 0;
    if (!mapped || !LocateFileRecord(numbers[i], first, sectors, skip)) continue;
    const uint64_t absolute = uint64_t(FirstSector) + first * FSectorRatio;
    if (absolute + sectors * FSectorRatio > 0x7FFFFFFF) continue;
    ntfs::Log("Reading MFT file record :%d... (TNTFSdrive.ReadFileRecord)", int(numbers[i]));
    const bool direct = skip == 0 && sectors * BytesPerSector() == BytesPerFileRecord;
    pieces.push_back({uint32_t(absolute), uint32_t(sectors * FSectorRatio), direct ? buffer + i * BytesPerFileRecord : nullptr});
    reads.push_back({i, direct, scratch, skip});
    if (!direct) scratch += size_t(sectors) * BytesPerSector();
  }
  FRecordScratch.resize(scratch);
  for (size_t k = 0; k < pieces.size(); ++k)
    if (!reads[k].direct) pieces[k].buffer = FRecordScratch.data() + reads[k].scratchAt;
  if (!pieces.empty()) Device->ReadSecPieces(pieces.data(), pieces.size());
  for (size_t k = 0; k < pieces.size(); ++k) {
    if (!pieces[k].ok) continue;
    uint8_t* slot = buffer + reads[k].record * BytesPerFileRecord;
    if (!reads[k].direct) std::memcpy(slot, pieces[k].buffer + reads[k].skip, BytesPerFileRecord);
    FixupUpdateSequenceArray(slot, BytesPerFileRecord);
    ok[reads[k].record] = true;
  }
  for (size_t i = 0; i < count; ++i)
    if (!ok[i]) ok[i] = ReadFileRecord(numbers[i], buffer + i * BytesPerFileRecord);
}

void TNTFSdrive::CreateStartItems() {
  Log("Creating start items for drive tree... (TNTFSdrive.CreateStartItems)");
  auto make = [this](uint64_t ref, bool withChildren) {
    auto d = std::make_unique<TNTFSDirectory>();
    d->Drive = this;
    d->MFTfileRef = ref;
    if (withChildren) d->Children = std::make_shared<TChildList>();
    return d;
  };
  RootDir = make(kMftRecordRoot, false);
  DeletedTreeRoot = make(kMftRecordRoot, false);
  SpareDir1 = make(kMftRecordMft, true);
  SpareDir2 = make(kMftRecordMft, true);
}

bool TNTFSdrive::DataSizeHeld(const TATTRIBUTE* data, int64_t& size) {
  size = 0;
  if (!data) return false;
  if (!data->Nonresident) {
    size = AttributeValueLength(data);
    return true;
  }
  const auto* n = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(data);
  const int64_t recorded = n->DataSize;
  const uint64_t volume = VolumeBytes();
  size = recorded;
  if (recorded >= 0 && (uint64_t(recorded) <= volume || volume == 0)) return true;
  // The runs' clusters, holes included: a file larger than the volume is
  // one whose holes make up the difference.
  const uint64_t volumeClusters = volume / std::max<uint32_t>(BytesPerCluster, 1);
  uint64_t clusters = 0;
  bool holes = (uint16_t(data->Flags) & (kDataCompressed | kDataSparse)) != 0;
  const auto* base = reinterpret_cast<const uint8_t*>(data);
  const uint8_t* end = base + data->Length;
  for (const uint8_t* run = base + n->RunArrayOffset; RunFits(run, end) && run[0] != 0; run += RunHeaderSize(run)) {
    clusters = std::min(clusters + std::min(RunLength(run), volumeClusters), volumeClusters);
    holes = holes || (run[0] >> 4) == 0;
  }
  if (recorded >= 0 && holes) return true;
  uint64_t held = clusters * BytesPerCluster;
  if (int64_t(n->AllocatedSize) >= 0) held = std::min<uint64_t>(held, uint64_t(int64_t(n->AllocatedSize)));
  size = int64_t(held);
  return false;
}

void TNTFSdrive::SetFileSize(TNTFSFile& f, const TATTRIBUTE* data) {
  const uint64_t volume = VolumeBytes();
  std::vector<uint8_t> record, gathered;
  if (!data) {
    // Index entries are not always kept up to date: only a size that can't
    // be true costs a read of the record.
    if (f.Size >= 0 && (uint64_t(f.Size) <= volume || volume == 0)) return;
    record.resize(BytesPerFileRecord);
    const auto number = uint32_t(std::min<uint64_t>(f.MFTfileRef, 0xFFFFFFFF));
    if (BytesPerFileRecord && ReadFileRecord(number, record.data()) && HasMagic(record.data(), "FILE") &&
        GatherAttribute(record.data(), number, atData, nullptr, gathered))
      data = reinterpret_cast<const TATTRIBUTE*>(gathered.data());
  }
  int64_t size = 0;
  if (DataSizeHeld(data, size)) {
    f.Size = size;
    return;
  }
  f.SizeDamaged = true;
  f.RecordedSize = data ? int64_t(reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(data)->DataSize) : f.Size;
  f.Size = size;
}

std::vector<uint8_t> TNTFSdrive::ReadMftBitmap() {
  std::vector<uint8_t> bitmap, ext;
  if (!MftLoaded) return bitmap;
  const TATTRIBUTE* attribute = FindAttribute(MftRecord.data(), atBitmap, nullptr, 0);
  if (!attribute) {
    const std::vector<uint8_t> list = ReadAttributeList(MftRecord.data());
    const TATTRIBUTE_LIST_ENTRY* e =
        list.empty() ? nullptr : FindAttributeListEntry(list.data(), uint32_t(list.size()), atBitmap, nullptr, 0);
    const uint64_t number = e ? RecordNumberOf(e->FileReference) : 0;
    ext.resize(BytesPerFileRecord);
    if (number == 0 || number > 0xFFFFFFFF || !ReadFileRecord(uint32_t(number), ext.data())) return bitmap;
    const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(ext.data());
    if (HasMagic(ext.data(), "FILE") && (h->Flags & kRecordInUse) && RecordNumberOf(h->BaseFileRecord) == 0)
      attribute = FindAttribute(ext.data(), atBitmap, nullptr, 0);
  }
  if (!attribute || !ReadAttribute(attribute, bitmap)) bitmap.clear();
  return bitmap;
}
