#include "MftScan.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "NtfsLayout.h"

namespace ntfslib {
namespace {

constexpr uint32_t kAttrStandardInfo = 0x10;   // not needed by the NTFS reader, so not in its layouts
constexpr uint32_t kStandardInfoMinimum = 0x24;  // up to the file attributes
constexpr uint32_t kFirstUserRecord = kLastSystemRecord + 1;
constexpr size_t kTransfer = 4u << 20;         // bytes per MFT read
constexpr size_t kMaxAttributeList = 1u << 20;  // far more than any real one
constexpr uint32_t kMaxDepth = 4096;            // folder levels before a chain counts as broken

// Folder states per record while resolving.
constexpr int32_t kUnresolved = -1;
constexpr int32_t kHidden = -2;
constexpr int32_t kVisiting = -3;

// How ntfs-3g stores symbolic links and devices by default: a system file
// whose data begins with a tag. A host sees no regular file there.
bool IsSpecialFileTag(const uint8_t* v, uint32_t len) {
  static const char* const kTags[] = {"IntxLNK\1", "IntxCHR", "IntxBLK"};
  for (const char* tag : kTags)
    if (len >= 8 && std::memcmp(v, tag, 8) == 0) return true;
  return false;
}

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// One piece of the MFT's data: count clusters from vcn on, at lcn (none when sparse).
struct Extent {
  uint64_t vcn, lcn, count;
  bool sparse;
};

// One attribute of a record, whole inside the record (AttributeFits).
struct Attribute {
  const TATTRIBUTE* h;
  uint32_t type, length;
  const uint8_t* value = nullptr;  // resident value
  uint32_t valueLength = 0;
  bool nonResident() const { return h->Nonresident != 0; }
  bool unnamed() const { return h->NameLength == 0; }
  const TNONRESIDENT_ATTRIBUTE& nr() const { return *reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(h); }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(h); }
};

const TFILE_RECORD_HEADER& Header(const uint8_t* rec) { return *reinterpret_cast<const TFILE_RECORD_HEADER*>(rec); }

// Calls f for every attribute of a fixed-up record, stopping at the end
// marker or at the first header that does not fit.
template <class F>
void ForEachAttribute(const uint8_t* rec, uint32_t size, F&& f) {
  uint32_t off = Header(rec).AttributesOffset;
  while (AttributeFits(rec, size, off)) {
    const auto* h = reinterpret_cast<const TATTRIBUTE*>(rec + off);
    Attribute a{h, h->AttributeType, h->Length};
    if (a.type == atEnd) return;
    if (!a.nonResident()) {
      a.value = ResidentValue(h);
      a.valueLength = ResidentValueLength(h);
    }
    f(a);
    off += a.length;
  }
}

// Decodes a non-resident attribute's run list, starting at its LowVcn.
// False when a run is malformed or points outside the volume.
bool DecodeRuns(const Attribute& a, uint64_t totalClusters, std::vector<Extent>& out) {
  const uint8_t* run = a.bytes() + a.nr().RunArrayOffset;
  const uint8_t* end = a.bytes() + a.length;
  uint64_t vcn = static_cast<uint64_t>(int64_t(a.nr().LowVcn));
  int64_t lcn = 0;
  for (; RunFits(run, end) && *run != 0; run += RunHeaderSize(run)) {
    const uint64_t length = RunLength(run);
    if (length == 0 || length > totalClusters || vcn > totalClusters) return false;
    if ((*run >> 4) == 0) {
      out.push_back({vcn, 0, length, true});
    } else {
      // Wrapping arithmetic: a hostile delta must not be undefined behaviour.
      lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + static_cast<uint64_t>(RunLcnDelta(run)));
      if (lcn < 0 || static_cast<uint64_t>(lcn) > totalClusters - length) return false;
      out.push_back({vcn, static_cast<uint64_t>(lcn), length, false});
    }
    vcn += length;
  }
  return run >= end || *run == 0;  // not a run cut off or out of range
}

// The MFT as one byte stream mapped onto the volume by its extents.
class MftStream {
 public:
  MftStream(const Geometry& g, const VolumeRead& read) : g_(g), read_(read) {}

  bool AddRuns(const Attribute& a) { return DecodeRuns(a, g_.volumeBytes / g_.bytesPerCluster, extents_); }
  void Sort() {
    std::sort(extents_.begin(), extents_.end(), [](const Extent& x, const Extent& y) { return x.vcn < y.vcn; });
  }
  // Drops what follows a gap in the sorted extents; gives the clusters left,
  // which the extents describe from VCN 0 without a gap.
  uint64_t KeepContiguous() {
    uint64_t vcn = 0;
    size_t kept = 0;
    for (; kept < extents_.size() && extents_[kept].vcn == vcn; ++kept) vcn += extents_[kept].count;
    extents_.resize(kept);
    return vcn;
  }
  // Where the extents end; AddRuns at that VCN keeps them contiguous.
  uint64_t End() const { return extents_.empty() ? 0 : extents_.back().vcn + extents_.back().count; }
  // Of those, the bytes the volume really holds. A boot sector and run list
  // may claim far more than the source has (an MFT is never sparse): the
  // pass is sized by what can be read, not by what is claimed.
  uint64_t ReadableBytes() const {
    const uint64_t cs = g_.bytesPerCluster;
    uint64_t vcn = 0;
    uint8_t last;
    for (const Extent& e : extents_) {
      if (e.vcn != vcn || e.sparse || read_((e.lcn + e.count) * cs - 1, &last, 1) != 1) break;
      vcn += e.count;
    }
    return vcn * cs;
  }
  // Reads len bytes of the stream at pos, one transfer per extent touched;
  // what no extent covers or the volume does not deliver reads as zeros.
  void Read(uint64_t pos, uint8_t* buf, size_t len) const {
    if (len == 0) return;  // an empty stream may come with no buffer at all
    const uint64_t cs = g_.bytesPerCluster;
    auto it = std::upper_bound(extents_.begin(), extents_.end(), pos / cs,
                               [](uint64_t vcn, const Extent& e) { return vcn < e.vcn; });
    if (it != extents_.begin()) --it;
    for (; it != extents_.end() && len > 0; ++it) {
      const uint64_t from = it->vcn * cs, to = from + it->count * cs;
      if (to <= pos) continue;
      if (from > pos) {
        const uint64_t gap = std::min<uint64_t>(from - pos, len);
        std::memset(buf, 0, gap);
        pos += gap, buf += gap, len -= gap;
        if (len == 0) break;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(to - pos, len));
      const size_t got = it->sparse ? 0 : std::min(read_(it->lcn * cs + (pos - from), buf, n), n);
      if (got < n) shortRead = true;
      std::memset(buf + got, 0, n - got);
      pos += n, buf += n, len -= n;
    }
    std::memset(buf, 0, len);  // past the last extent
  }
  // Whether some Read got less than the volume should have delivered.
  mutable bool shortRead = false;

 private:
  const Geometry& g_;
  const VolumeRead& read_;
  std::vector<Extent> extents_;
};

// Fixes the record up in place.
bool IsFileRecord(uint8_t* rec, uint32_t size) { return HasMagic(rec, "FILE") && Fixup(rec, size); }

}  // namespace

bool ParseBootSector(const uint8_t* s, size_t len, Geometry& g) {
  g = Geometry{};
  if (len < sizeof(TBOOT_BLOCK)) return false;
  const auto& boot = *reinterpret_cast<const TBOOT_BLOCK*>(s);
  if (std::memcmp(boot.Format, "NTFS    ", 8) != 0) return false;
  const uint32_t bps = boot.BytesPerSector;
  const uint8_t spc = boot.SectorsPerCluster;
  // Sectors per cluster above 0x80 is a negative power of two (clusters over 64 KiB).
  const uint64_t clusterSectors = spc <= 0x80 ? spc : (spc >= 0xF4 ? uint64_t(1) << (0x100 - spc) : 0);
  if (!PowerOfTwo(bps) || bps < 256 || bps > 4096 || !PowerOfTwo(clusterSectors)) return false;
  const uint64_t cluster = clusterSectors * bps;
  if (cluster > (2u << 20)) return false;
  // Only the low byte counts: some formatters sign-extend it.
  const uint32_t perRecord = uint32_t(boot.ClustersPerFileRecord) & 0xFF;
  const uint64_t recordSize = perRecord < 0x80 ? perRecord * cluster : NtfsEncodedSize(perRecord, 0, 0);
  if (!PowerOfTwo(recordSize) || recordSize < 512 || recordSize > 65536) return false;
  const uint64_t sectors = boot.TotalSectors;
  const int64_t mftLcn = boot.MFTStartLcn;
  g.bytesPerSector = bps;
  g.bytesPerCluster = static_cast<uint32_t>(cluster);
  g.bytesPerRecord = static_cast<uint32_t>(recordSize);
  g.mftLcn = static_cast<uint64_t>(mftLcn);
  g.volumeBytes = sectors < (uint64_t(1) << 52) ? (sectors + 1) * bps : 0;  // the backup boot sector follows
  return mftLcn > 0 && g.mftLcn < g.volumeBytes / cluster;
}

bool Fixup(uint8_t* rec, uint32_t len) { return ApplyUpdateSequenceArray(rec, len) == UsaVerdict::Sound; }

bool MftScan::Load(const Geometry& g, const VolumeRead& read, const std::atomic<bool>& abort) {
  geometry_ = g;
  const uint32_t rs = g.bytesPerRecord;
  std::vector<uint8_t> rec(rs);
  if (read(g.mftLcn * g.bytesPerCluster, rec.data(), rs) != rs || !IsFileRecord(rec.data(), rs)) return false;

  // Record 0 describes the MFT's first extents; a fragmented MFT keeps the
  // rest in extension records that its attribute list names.
  MftStream mft(g, read);
  uint64_t mftBytes = 0;
  std::vector<uint8_t> list;
  bool runsOk = true;
  ForEachAttribute(rec.data(), rs, [&](const Attribute& a) {
    if (a.type == atData && a.unnamed() && a.nonResident()) {
      if (int64_t(a.nr().LowVcn) == 0) mftBytes = static_cast<uint64_t>(int64_t(a.nr().DataSize));
      runsOk = mft.AddRuns(a) && runsOk;
    } else if (a.type == atAttributeList && !a.nonResident()) {
      list.assign(a.value, a.value + a.valueLength);
    } else if (a.type == atAttributeList) {
      const uint64_t size = std::min<uint64_t>(static_cast<uint64_t>(int64_t(a.nr().DataSize)), kMaxAttributeList);
      MftStream listStream(g, read);
      if (listStream.AddRuns(a)) {
        list.resize(static_cast<size_t>(size));
        listStream.Sort();
        listStream.Read(0, list.data(), list.size());
      }
    }
  });
  if (!runsOk) return false;
  mft.Sort();
  // The list is in VCN order: each piece continues the map where it ends, in
  // a record the map already reaches. An entry for a piece the map holds,
  // past a gap or in a record out of reach costs nothing, however often the
  // list repeats it; the map stays sorted and never overlaps itself.
  uint64_t next = mft.KeepContiguous(), tried = 0;
  for (size_t off = 0; off + sizeof(TATTRIBUTE_LIST_ENTRY) <= list.size();) {
    const auto& entry = *reinterpret_cast<const TATTRIBUTE_LIST_ENTRY*>(&list[off]);
    const uint32_t type = entry.AttributeType;
    const uint16_t length = entry.Length;
    if (type == atEnd || length < sizeof(TATTRIBUTE_LIST_ENTRY)) break;
    off += length;
    const uint64_t ref = RecordNumberOf(entry.FileReference);
    if (type != atData || entry.NameLength != 0 || ref == 0 || uint64_t(entry.LowVcn) != next ||
        ref >= next * g.bytesPerCluster / rs || ref == tried)
      continue;
    tried = ref;
    mft.Read(ref * rs, rec.data(), rs);
    if (!IsFileRecord(rec.data(), rs) || RecordNumberOf(Header(rec.data()).BaseFileRecord) != 0) continue;
    ForEachAttribute(rec.data(), rs, [&](const Attribute& a) {
      if (a.type == atData && a.unnamed() && a.nonResident() && uint64_t(int64_t(a.nr().LowVcn)) == next) {
        mft.AddRuns(a);
        if (mft.End() != next) tried = 0;
        next = mft.End();
      }
    });
  }

  const uint64_t count = std::min({mftBytes, mft.ReadableBytes(), g.volumeBytes}) / rs;
  records.assign(static_cast<size_t>(std::min<uint64_t>(count, UINT32_MAX)), FileRecord{});
  // Room for a long and a short name per record: no copies while they grow
  // (pages never touched cost nothing).
  names.reserve(records.size() * 2);
  text.reserve(records.size() * 2 * 32);
  const size_t perTransfer = std::max<size_t>(1, std::min(kTransfer / rs, records.size()));
  const std::unique_ptr<uint8_t[]> buf(new uint8_t[perTransfer * rs]);  // Read fills every byte
  for (uint64_t first = 0; first < records.size(); first += perTransfer) {
    if (abort.load(std::memory_order_relaxed)) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(perTransfer, records.size() - first));
    mft.Read(first * rs, buf.get(), n * rs);
    for (size_t i = 0; i < n; ++i) ParseRecord(static_cast<uint32_t>(first + i), buf.get() + i * rs);
  }
  complete = !mft.shortRead && uint64_t(records.size()) * rs >= mftBytes / rs * rs;
  Index();
  return true;
}

void MftScan::ParseRecord(uint32_t number, uint8_t* rec) {
  const uint32_t rs = geometry_.bytesPerRecord;
  if (!IsFileRecord(rec, rs)) return;
  const TFILE_RECORD_HEADER& h = Header(rec);
  const uint16_t flags = h.Flags;
  if (!(flags & kRecordInUse)) return;
  const uint64_t base = RecordNumberOf(h.BaseFileRecord);
  if (base >= records.size()) return;
  // An extension record's attributes belong to its base record.
  const uint32_t owner = base ? static_cast<uint32_t>(base) : number;
  FileRecord& r = records[owner];
  if (!base) {
    r.inUse = true;
    r.directory = (flags & 2) != 0;
    r.sequence = h.SequenceNumber;
  }
  ForEachAttribute(rec, rs, [&](const Attribute& a) {
    if (a.type == kAttrStandardInfo && a.value && a.valueLength >= kStandardInfoMinimum) {
      // Creation, write, MFT change and access times, then the file attributes.
      r.haveInfo = true;
      r.creationTime = NtfsRead64(a.value);
      r.writeTime = NtfsRead64(a.value + 0x08);
      r.accessTime = NtfsRead64(a.value + 0x18);
      r.attributes = NtfsRead32(a.value + 0x20);
    } else if (a.type == atFileName && a.value && FileNameFits(a.value, a.valueLength)) {
      const auto& name = *reinterpret_cast<const TFILENAME_ATTRIBUTE*>(a.value);
      const uint8_t length = name.NameLength;
      if (length == 0) return;
      names.push_back({owner, name.NameType, length, static_cast<uint32_t>(text.size()), name.ParentDirectory});
      for (unsigned i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(NtfsRead16(a.value + kFileNameHeader + 2 * i)));
      if (!r.haveInfo) {  // a file without standard information still has the times of its name
        r.creationTime = static_cast<uint64_t>(int64_t(name.CreationTime));
        r.writeTime = static_cast<uint64_t>(int64_t(name.LastWriteTime));
        r.accessTime = static_cast<uint64_t>(int64_t(name.LastAccessTime));
      }
    } else if (a.type == atData && a.unnamed()) {
      if (!a.nonResident()) {
        r.dataSize = a.valueLength;
        r.special = IsSpecialFileTag(a.value, a.valueLength);
      }
      else if (int64_t(a.nr().LowVcn) == 0)
        r.dataSize = static_cast<uint64_t>(int64_t(a.nr().DataSize));
    }
  });
}

// Which name of a file its folder path uses: Win32 before POSIX before DOS.
void MftScan::Index() {
  static constexpr int kRank[4] = {2, 1, 3, 0};
  dosAlias_.assign(records.size(), -1);
  for (size_t i = 0; i < names.size(); ++i) {
    const FileName& n = names[i];
    FileRecord& r = records[n.record];
    const int rank = n.nameSpace < 4 ? kRank[n.nameSpace] : 4;
    if (r.primaryName < 0 || rank < kRank[std::min<uint8_t>(names[r.primaryName].nameSpace, 3)])
      r.primaryName = static_cast<int32_t>(i);
    if (n.nameSpace == 2)
      dosAlias_[n.record] = static_cast<int32_t>(i);
    else
      r.hasLongName = true;
  }
  folderOf_.assign(records.size(), kUnresolved);
  folders_ = {{-1, -1, 0}, {-1, -1, 0}};
}

bool MftScan::Reportable(const FileName& n) const {
  const FileRecord& r = records[n.record];
  return r.inUse && n.record >= kFirstUserRecord && (n.nameSpace != 2 || !r.hasLongName);
}

std::u16string_view MftScan::DosAliasOf(const FileName& n) const {
  if (n.nameSpace != 1) return {};
  const int32_t alias = dosAlias_[n.record];
  if (alias < 0 || names[alias].parentRef != n.parentRef) return {};
  return Text(names[alias]);
}

// A parent reference is good when it names an in-use folder of the same
// generation; a reused record carries a new sequence number.
bool MftScan::ValidParent(uint64_t ref) const {
  const uint64_t number = RecordNumberOf(ref);
  if (number >= records.size()) return false;
  const FileRecord& p = records[number];
  const uint16_t sequence = static_cast<uint16_t>(ref >> 48);
  return p.inUse && p.directory && (sequence == 0 || sequence == p.sequence);
}

int32_t MftScan::FolderOf(const FileName& n) {
  if (!ValidParent(n.parentRef)) return 1;
  const int32_t node = ResolveDirectory(static_cast<uint32_t>(RecordNumberOf(n.parentRef)));
  return node == kHidden ? -1 : node;
}

// Walks up from a folder to the first one already placed (the root at the
// latest), then places the folders passed on the way down. Each record is
// visited once per walk, so a loop ends the walk and hangs under the orphans.
int32_t MftScan::ResolveDirectory(uint32_t number) {
  chain_.clear();
  int32_t base;
  uint32_t cur = number;
  for (;;) {
    if (cur == kMftRecordRoot) {
      base = 0;
      break;
    }
    const int32_t state = folderOf_[cur];
    if (state >= 0 || state == kHidden) {
      base = state;
      break;
    }
    if (cur < kFirstUserRecord) {
      base = kHidden;
      break;
    }
    const int32_t name = records[cur].primaryName;
    if (state == kVisiting || name < 0 || chain_.size() >= kMaxDepth) {
      base = 1;
      break;
    }
    folderOf_[cur] = kVisiting;
    chain_.push_back(cur);
    if (!ValidParent(names[name].parentRef)) {
      base = 1;
      break;
    }
    cur = static_cast<uint32_t>(RecordNumberOf(names[name].parentRef));
  }
  for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
    if (base != kHidden) {
      if (folders_[base].depth >= kMaxDepth) base = 1;
      folders_.push_back({base, records[*it].primaryName, folders_[base].depth + 1});
      base = static_cast<int32_t>(folders_.size() - 1);
    }
    folderOf_[*it] = base;
  }
  return chain_.empty() ? base : folderOf_[number];
}

std::u16string MftScan::FolderPath(int32_t node) const {
  static constexpr std::u16string_view kOrphans = u"$Orphans\\";
  std::vector<int32_t> parts;
  for (int32_t f = node; f >= 0 && folders_[f].name >= 0; f = folders_[f].parent) parts.push_back(f);
  int32_t top = parts.empty() ? node : folders_[parts.back()].parent;
  std::u16string path = top == 1 ? std::u16string(kOrphans) : std::u16string();
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    path += Text(names[folders_[*it].name]);
    path += u'\\';
  }
  return path;
}

}  // namespace ntfslib
