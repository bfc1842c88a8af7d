#include "MftScan.h"

#include <algorithm>
#include <cstring>

namespace ntfslib {
namespace {

constexpr uint32_t kAttrStandardInfo = 0x10;
constexpr uint32_t kAttrList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr uint32_t kRootRecord = 5;
constexpr uint32_t kFirstUserRecord = 16;
constexpr uint64_t kRecordMask = 0xFFFFFFFFFFFFull;
constexpr size_t kTransfer = 4u << 20;         // bytes per MFT read
constexpr size_t kMaxAttributeList = 1u << 20;  // far more than any real one
constexpr uint32_t kMaxDepth = 4096;            // folder levels before a chain counts as broken

// Folder states per record while resolving.
constexpr int32_t kUnresolved = -1;
constexpr int32_t kHidden = -2;
constexpr int32_t kVisiting = -3;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | static_cast<uint32_t>(Le16(p + 2)) << 16; }
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

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

// One attribute of a record, its header checked to lie inside the record.
struct Attribute {
  const uint8_t* p;
  uint32_t type, length;
  bool nonResident;
  const uint8_t* value = nullptr;  // resident value
  uint32_t valueLength = 0;
  bool unnamed() const { return p[9] == 0; }
};

// Calls f for every attribute of a fixed-up record, stopping at the end
// marker or at the first header that does not fit.
template <class F>
void ForEachAttribute(const uint8_t* rec, uint32_t size, F&& f) {
  uint32_t off = Le16(rec + 0x14);
  while (off + 16 <= size) {
    Attribute a{rec + off, Le32(rec + off), Le32(rec + off + 4), rec[off + 8] != 0};
    if (a.type == kAttrEnd || a.length < 16 || a.length > size - off) return;
    if (a.nonResident) {
      if (a.length < 0x40) return;
    } else {
      if (a.length < 0x18) return;
      a.valueLength = Le32(a.p + 0x10);
      const uint32_t valueOffset = Le16(a.p + 0x14);
      if (valueOffset > a.length || a.valueLength > a.length - valueOffset) return;
      a.value = a.p + valueOffset;
    }
    f(a);
    off += a.length;
  }
}

// Decodes a non-resident attribute's run list, starting at its LowVcn.
// False when a run is malformed or points outside the volume.
bool DecodeRuns(const Attribute& a, uint64_t totalClusters, std::vector<Extent>& out) {
  const uint32_t start = Le16(a.p + 0x20);
  if (start >= a.length) return false;
  const uint8_t* p = a.p + start;
  const uint8_t* end = a.p + a.length;
  uint64_t vcn = Le64(a.p + 0x10);
  int64_t lcn = 0;
  while (p < end && *p != 0) {
    const unsigned L = *p & 0x0F, O = *p >> 4;
    if (L == 0 || L > 8 || O > 8 || static_cast<size_t>(end - p) < 1u + L + O) return false;
    uint64_t length = 0;
    for (unsigned i = L; i > 0; --i) length = length << 8 | p[i];
    int64_t delta = 0;
    if (O > 0) {
      uint64_t raw = 0;
      for (unsigned i = O; i > 0; --i) raw = raw << 8 | p[L + i];
      if (O < 8 && (p[L + O] & 0x80)) raw |= ~uint64_t(0) << (8 * O);
      delta = static_cast<int64_t>(raw);
    }
    p += 1 + L + O;
    if (length == 0 || length > totalClusters || vcn > totalClusters) return false;
    if (O == 0) {
      out.push_back({vcn, 0, length, true});
    } else {
      // Wrapping arithmetic: a hostile delta must not be undefined behaviour.
      lcn = static_cast<int64_t>(static_cast<uint64_t>(lcn) + static_cast<uint64_t>(delta));
      if (lcn < 0 || static_cast<uint64_t>(lcn) > totalClusters - length) return false;
      out.push_back({vcn, static_cast<uint64_t>(lcn), length, false});
    }
    vcn += length;
  }
  return true;
}

// The MFT as one byte stream mapped onto the volume by its extents.
class MftStream {
 public:
  MftStream(const Geometry& g, const VolumeRead& read) : g_(g), read_(read) {}

  bool AddRuns(const Attribute& a) { return DecodeRuns(a, g_.volumeBytes / g_.bytesPerCluster, extents_); }
  void Sort() {
    std::sort(extents_.begin(), extents_.end(), [](const Extent& x, const Extent& y) { return x.vcn < y.vcn; });
  }
  // Bytes the extents describe from offset 0 without a gap.
  uint64_t ContiguousBytes() const {
    uint64_t vcn = 0;
    for (const Extent& e : extents_) {
      if (e.vcn != vcn) break;
      vcn += e.count;
    }
    return vcn * g_.bytesPerCluster;
  }
  // Reads len bytes of the stream at pos, one transfer per extent touched;
  // what no extent covers or the volume does not deliver reads as zeros.
  void Read(uint64_t pos, uint8_t* buf, size_t len) const {
    std::memset(buf, 0, len);
    const uint64_t cs = g_.bytesPerCluster;
    auto it = std::upper_bound(extents_.begin(), extents_.end(), pos / cs,
                               [](uint64_t vcn, const Extent& e) { return vcn < e.vcn; });
    if (it != extents_.begin()) --it;
    for (; it != extents_.end() && len > 0; ++it) {
      const uint64_t from = it->vcn * cs, to = from + it->count * cs;
      if (to <= pos) continue;
      if (from > pos) {
        const uint64_t gap = std::min<uint64_t>(from - pos, len);
        pos += gap, buf += gap, len -= gap;
        if (len == 0) break;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(to - pos, len));
      if (!it->sparse) read_(it->lcn * cs + (pos - from), buf, n);
      pos += n, buf += n, len -= n;
    }
  }

 private:
  const Geometry& g_;
  const VolumeRead& read_;
  std::vector<Extent> extents_;
};

// Fixes the record up in place.
bool IsFileRecord(uint8_t* rec, uint32_t size) { return std::memcmp(rec, "FILE", 4) == 0 && Fixup(rec, size); }

}  // namespace

bool ParseBootSector(const uint8_t* s, size_t len, Geometry& g) {
  g = Geometry{};
  if (len < 512 || std::memcmp(s + 3, "NTFS    ", 8) != 0) return false;
  const uint32_t bps = Le16(s + 0x0B);
  const uint8_t spc = s[0x0D];
  // Sectors per cluster above 0x80 is a negative power of two (clusters over 64 KiB).
  const uint64_t clusterSectors = spc <= 0x80 ? spc : (spc >= 0xF4 ? uint64_t(1) << (0x100 - spc) : 0);
  if (!PowerOfTwo(bps) || bps < 256 || bps > 4096 || !PowerOfTwo(clusterSectors)) return false;
  const uint64_t cluster = clusterSectors * bps;
  if (cluster > (2u << 20)) return false;
  const int8_t perRecord = static_cast<int8_t>(s[0x40]);
  uint64_t recordSize;
  if (perRecord > 0)
    recordSize = perRecord * cluster;
  else if (perRecord >= -31)
    recordSize = uint64_t(1) << -perRecord;
  else
    return false;
  if (!PowerOfTwo(recordSize) || recordSize < 512 || recordSize > 65536) return false;
  const uint64_t sectors = Le64(s + 0x28);
  g.bytesPerSector = bps;
  g.bytesPerCluster = static_cast<uint32_t>(cluster);
  g.bytesPerRecord = static_cast<uint32_t>(recordSize);
  g.mftLcn = Le64(s + 0x30);
  g.volumeBytes = sectors < (uint64_t(1) << 52) ? (sectors + 1) * bps : 0;  // the backup boot sector follows
  return g.mftLcn > 0 && g.mftLcn < g.volumeBytes / cluster;
}

bool Fixup(uint8_t* rec, uint32_t len) {
  const uint32_t usaOffset = Le16(rec + 4), usaCount = Le16(rec + 6);
  const uint32_t strides = len / 512;
  if (usaCount < 2 || usaCount - 1 > strides || usaOffset < 8 || usaOffset + 2 * usaCount > len) return false;
  const uint8_t* usa = rec + usaOffset;
  for (uint32_t i = 1; i < usaCount; ++i) {
    uint8_t* check = rec + 512 * i - 2;
    if (check[0] != usa[0] || check[1] != usa[1]) return false;
    check[0] = usa[2 * i];
    check[1] = usa[2 * i + 1];
  }
  return true;
}

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
    if (a.type == kAttrData && a.unnamed() && a.nonResident) {
      if (Le64(a.p + 0x10) == 0) mftBytes = Le64(a.p + 0x30);
      runsOk = mft.AddRuns(a) && runsOk;
    } else if (a.type == kAttrList && !a.nonResident) {
      list.assign(a.value, a.value + a.valueLength);
    } else if (a.type == kAttrList) {
      const uint64_t size = std::min<uint64_t>(Le64(a.p + 0x30), kMaxAttributeList);
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
  for (size_t off = 0; off + 0x1A <= list.size();) {
    const uint32_t type = Le32(&list[off]);
    const uint16_t length = Le16(&list[off + 4]);
    if (type == kAttrEnd || length < 0x1A) break;
    const uint64_t ref = Le64(&list[off + 0x10]) & kRecordMask;
    if (type == kAttrData && list[off + 6] == 0 && ref != 0 && ref < mft.ContiguousBytes() / rs) {
      mft.Read(ref * rs, rec.data(), rs);
      if (IsFileRecord(rec.data(), rs) && (Le64(rec.data() + 0x20) & kRecordMask) == 0)
        ForEachAttribute(rec.data(), rs, [&](const Attribute& a) {
          if (a.type == kAttrData && a.unnamed() && a.nonResident) mft.AddRuns(a);
        });
      mft.Sort();
    }
    off += length;
  }

  const uint64_t count = std::min({mftBytes, mft.ContiguousBytes(), g.volumeBytes}) / rs;
  records.assign(static_cast<size_t>(std::min<uint64_t>(count, UINT32_MAX)), FileRecord{});
  const size_t perTransfer = std::max<size_t>(1, kTransfer / rs);
  std::vector<uint8_t> buf(perTransfer * rs);
  for (uint64_t first = 0; first < records.size(); first += perTransfer) {
    if (abort.load(std::memory_order_relaxed)) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(perTransfer, records.size() - first));
    mft.Read(first * rs, buf.data(), n * rs);
    for (size_t i = 0; i < n; ++i) ParseRecord(static_cast<uint32_t>(first + i), buf.data() + i * rs);
  }
  Index();
  return true;
}

void MftScan::ParseRecord(uint32_t number, uint8_t* rec) {
  const uint32_t rs = geometry_.bytesPerRecord;
  if (!IsFileRecord(rec, rs)) return;
  const uint16_t flags = Le16(rec + 0x16);
  if (!(flags & 1)) return;
  const uint64_t base = Le64(rec + 0x20) & kRecordMask;
  if (base >= records.size()) return;
  // An extension record's attributes belong to its base record.
  const uint32_t owner = base ? static_cast<uint32_t>(base) : number;
  FileRecord& r = records[owner];
  if (!base) {
    r.inUse = true;
    r.directory = (flags & 2) != 0;
    r.sequence = Le16(rec + 0x10);
  }
  ForEachAttribute(rec, rs, [&](const Attribute& a) {
    if (a.type == kAttrStandardInfo && a.value && a.valueLength >= 0x24) {
      r.haveInfo = true;
      r.creationTime = Le64(a.value);
      r.writeTime = Le64(a.value + 0x08);
      r.accessTime = Le64(a.value + 0x18);
      r.attributes = Le32(a.value + 0x20);
    } else if (a.type == kAttrFileName && a.value && a.valueLength >= 0x42) {
      const uint8_t length = a.value[0x40];
      if (length == 0 || 0x42u + 2u * length > a.valueLength) return;
      names.push_back({owner, a.value[0x41], length, static_cast<uint32_t>(text.size()), Le64(a.value)});
      for (unsigned i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(Le16(a.value + 0x42 + 2 * i)));
      if (!r.haveInfo) {  // a file without standard information still has the times of its name
        r.creationTime = Le64(a.value + 0x08);
        r.writeTime = Le64(a.value + 0x10);
        r.accessTime = Le64(a.value + 0x20);
      }
    } else if (a.type == kAttrData && a.unnamed()) {
      if (!a.nonResident) {
        r.dataSize = a.valueLength;
        r.special = IsSpecialFileTag(a.value, a.valueLength);
      }
      else if (Le64(a.p + 0x10) == 0)
        r.dataSize = Le64(a.p + 0x30);
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
  const uint64_t number = ref & kRecordMask;
  if (number >= records.size()) return false;
  const FileRecord& p = records[number];
  const uint16_t sequence = static_cast<uint16_t>(ref >> 48);
  return p.inUse && p.directory && (sequence == 0 || sequence == p.sequence);
}

int32_t MftScan::FolderOf(const FileName& n) {
  if (!ValidParent(n.parentRef)) return 1;
  const int32_t node = ResolveDirectory(static_cast<uint32_t>(n.parentRef & kRecordMask));
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
    if (cur == kRootRecord) {
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
    cur = static_cast<uint32_t>(names[name].parentRef & kRecordMask);
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
