// NTFS attributes and data runs: finding attributes (through attribute lists
// too), run-list decoding and reading values by clusters or byte ranges.
#include <algorithm>
#include <cstring>

#include "NtfsCompression.h"
#include "NtfsInternal.h"

using ntfs::LogException;

namespace {

// ReadVCN reaches extension records through ReadFileRecord, which reads
// through ReadVCN again; a list that points at itself would recurse forever.
constexpr int kMaxReadVcnDepth = 4;

bool NameMatches(const uint8_t* stored, uint8_t storedLength, const WCHAR* name) {
  if (!name) return storedLength == 0;
  const size_t length = std::char_traits<WCHAR>::length(name);
  if (storedLength != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (NtfsRead16(stored + 2 * i) != name[i]) return false;
  return true;
}

const TNONRESIDENT_ATTRIBUTE* NonResident(const TATTRIBUTE* a) {
  return a && a->Nonresident ? reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(a) : nullptr;
}

struct Run {
  uint64_t length;
  int64_t lcn;  // 0: sparse
};

// The runs of one attribute piece, with their absolute clusters.
void DecodeRuns(const TATTRIBUTE* attribute, std::vector<Run>& runs) {
  const auto* n = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(attribute);
  const auto* base = reinterpret_cast<const uint8_t*>(attribute);
  const uint8_t* run = base + n->RunArrayOffset;
  const uint8_t* end = base + attribute->Length;
  uint64_t running = 0;
  while (RunFits(run, end) && run[0] != 0) {
    const int64_t delta = RunLcnDelta(run);
    running += uint64_t(delta);
    runs.push_back({RunLength(run), delta == 0 ? 0 : int64_t(running)});
    run += RunHeaderSize(run);
  }
}

// Units larger than this are not what any writer makes; refusing them keeps
// a hostile unit size from allocating without bound.
constexpr uint64_t kMaxCompressionUnitBytes = 1u << 20;

// A compressed value's runs, decoded once: they alternate between a unit's
// stored clusters and its unallocated rest, so finding each unit's clusters
// by walking the list from its start would make large files quadratic.
class RunMap {
 public:
  explicit RunMap(const TNONRESIDENT_ATTRIBUTE* a) {
    DecodeRuns(&a->Attribute, runs_);
    uint64_t vcn = uint64_t(int64_t(a->LowVcn));
    for (const Run& r : runs_) {
      if (vcn + r.length < vcn) break;  // a hostile list that wraps: the rest can't be placed
      starts_.push_back(vcn);
      vcn += r.length;
    }
    runs_.resize(starts_.size());
  }
  // The allocated clusters from vcn on, up to the first unallocated one and
  // at most limit of them, as (lcn, count) pieces.
  std::vector<std::pair<int64_t, uint32_t>> Allocated(uint64_t vcn, uint32_t limit) const {
    std::vector<std::pair<int64_t, uint32_t>> pieces;
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), vcn);
    if (after == starts_.begin()) return pieces;
    uint32_t found = 0;
    for (size_t k = size_t(after - starts_.begin()) - 1; k < runs_.size() && found < limit; ++k) {
      const uint64_t into = vcn - starts_[k];
      if (into >= runs_[k].length || runs_[k].lcn == 0) break;
      const auto n = uint32_t(std::min<uint64_t>(runs_[k].length - into, limit - found));
      pieces.emplace_back(int64_t(uint64_t(runs_[k].lcn) + into), n);
      found += n;
      vcn += n;
    }
    return pieces;
  }

 private:
  std::vector<Run> runs_;
  std::vector<uint64_t> starts_;  // first VCN of each run
};

// One compression unit (unit clusters from firstVcn) as the file holds it:
// stored whole when all its clusters are allocated, zeros when none is,
// else LZNT1 in the allocated clusters at its start.
bool ReadCompressionUnit(TNTFSdrive& drive, const RunMap& map, uint64_t firstVcn, uint32_t unit, uint8_t* out,
                         std::vector<uint8_t>& stored) {
  const auto pieces = map.Allocated(firstVcn, unit);
  uint32_t allocated = 0;
  for (const auto& piece : pieces) allocated += piece.second;
  const size_t bytes = size_t(unit) * drive.BytesPerCluster;
  if (allocated == 0) {
    std::memset(out, 0, bytes);
    return true;
  }
  stored.resize(size_t(allocated) * drive.BytesPerCluster);
  uint8_t* to = allocated == unit ? out : stored.data();
  for (const auto& [lcn, n] : pieces) {
    if (!drive.ReadLCN(lcn, n, to)) return false;
    to += size_t(n) * drive.BytesPerCluster;
  }
  return allocated == unit || ntfs::Lznt1Decompress(stored.data(), stored.size(), out, bytes);
}

// Bytes [offset, offset + count) of a compressed value, unit by unit; a unit
// that can't be read or decompressed ends the count before it.
uint32_t ReadCompressed(TNTFSdrive& drive, const TNONRESIDENT_ATTRIBUTE* a, uint8_t* buffer, int64_t offset,
                        uint32_t count) {
  if (a->CompressionUnit > 16) return 0;
  const uint32_t unit = 1u << a->CompressionUnit;
  const uint64_t unitBytes = uint64_t(unit) * drive.BytesPerCluster;
  if (unitBytes > kMaxCompressionUnitBytes) return 0;
  const RunMap map(a);
  std::vector<uint8_t> plain(unitBytes), stored;
  uint32_t done = 0;
  while (done < count) {
    const uint64_t at = uint64_t(offset) + done;
    if (!ReadCompressionUnit(drive, map, at / unitBytes * unit, unit, plain.data(), stored)) break;
    const uint64_t within = at % unitBytes;
    const auto n = uint32_t(std::min<uint64_t>(count - done, unitBytes - within));
    std::memcpy(buffer + done, plain.data() + within, n);
    done += n;
  }
  return done;
}

}  // namespace

const TATTRIBUTE* TNTFSdrive::FindAttribute(const uint8_t* record, uint32_t Type, const WCHAR* Name,
                                            uint8_t occurrence) {
  const size_t size = BytesPerFileRecord;
  if (!record || size < sizeof(TFILE_RECORD_HEADER)) return nullptr;
  size_t at = reinterpret_cast<const TFILE_RECORD_HEADER*>(record)->AttributesOffset;
  unsigned matches = 0;
  // Each attribute is at least 16 bytes long, so the walk leaves the record
  // after size / 16 steps at the most.
  while (AttributeFits(record, size, at)) {
    const auto* a = reinterpret_cast<const TATTRIBUTE*>(record + at);
    if (a->AttributeType == atEnd || a->Length == 0) return nullptr;
    if (a->AttributeType == Type && NameMatches(record + at + a->NameOffset, a->NameLength, Name)) {
      if (matches == occurrence) return a;
      ++matches;
    }
    at += a->Length;
  }
  return nullptr;
}

const TFILENAME_ATTRIBUTE* TNTFSdrive::FindAttributeFileName(const uint8_t* record) {
  const TFILENAME_ATTRIBUTE* last = nullptr;
  for (int occurrence = 0; occurrence <= 255; ++occurrence) {
    const TATTRIBUTE* a = FindAttribute(record, atFileName, nullptr, uint8_t(occurrence));
    if (!a) break;
    if (a->Nonresident || !FileNameFits(ResidentValue(a), ResidentValueLength(a))) continue;
    const auto* name = reinterpret_cast<const TFILENAME_ATTRIBUTE*>(ResidentValue(a));
    if (name->NameType == nsWin32 || name->NameType == nsWin32AndDos) return name;
    last = name;
  }
  return last;
}

std::vector<uint8_t> TNTFSdrive::ReadAttributeList(const uint8_t* record) {
  std::vector<uint8_t> value;
  const TATTRIBUTE* list = FindAttribute(record, atAttributeList, nullptr, 0);
  // Heavily fragmented files and very large folders keep their list outside
  // the record; it is read like any other value.
  if (!list || !ReadAttribute(list, value)) value.clear();
  return value;
}

const TATTRIBUTE_LIST_ENTRY* TNTFSdrive::FindAttributeListEntry(const uint8_t* list, uint32_t ListSize, uint32_t Type,
                                                                const WCHAR* Name, uint8_t occurrence) {
  size_t at = 0;
  unsigned matches = 0;
  while (list && ListSize - at >= sizeof(TATTRIBUTE_LIST_ENTRY)) {
    const auto* e = reinterpret_cast<const TATTRIBUTE_LIST_ENTRY*>(list + at);
    if (e->AttributeType == atEnd || e->Length == 0) return nullptr;
    // An entry that would pass the value's end is not read.
    if (e->Length < sizeof(TATTRIBUTE_LIST_ENTRY) || e->Length > ListSize - at ||
        e->NameOffset + 2u * e->NameLength > e->Length)
      return nullptr;
    if (e->AttributeType == Type && NameMatches(list + at + e->NameOffset, e->NameLength, Name)) {
      if (matches == occurrence) return e;
      ++matches;
    }
    at += e->Length;
  }
  return nullptr;
}

bool TNTFSdrive::FindRun(const TATTRIBUTE* attribute, int64_t vcn, int64_t& lcn, int64_t& count) {
  const TNONRESIDENT_ATTRIBUTE* n = NonResident(attribute);
  if (!n || vcn < 0 || vcn < n->LowVcn || vcn > n->HighVcn) return false;
  const auto* base = reinterpret_cast<const uint8_t*>(attribute);
  const uint8_t* run = base + n->RunArrayOffset;
  const uint8_t* end = base + attribute->Length;
  // Wrapping arithmetic: a hostile list may add up to anything, never to a fault.
  uint64_t running = 0, first = uint64_t(int64_t(n->LowVcn));
  while (RunFits(run, end) && run[0] != 0) {
    const int64_t delta = RunLcnDelta(run);
    const uint64_t length = RunLength(run);
    running += uint64_t(delta);
    const uint64_t into = uint64_t(vcn) - first;
    if (uint64_t(vcn) >= first && into < length) {
      lcn = delta == 0 ? 0 : int64_t(running + into);
      count = int64_t(std::min<uint64_t>(length - into, INT64_MAX));
      return true;
    }
    first += length;
    if (first > uint64_t(INT64_MAX)) return false;
    run += RunHeaderSize(run);
  }
  return false;
}

bool TNTFSdrive::ReadLCN(int64_t lcn, uint32_t count, uint8_t* buffer) {
  const uint64_t sector = uint64_t(lcn) * SectorsPerCluster();
  bool ok = false;
  try {
    ok = lcn >= 0 && sector <= 0xFFFFFFFFull &&
         ReadVolumeSectors(sector, uint64_t(count) * SectorsPerCluster(), buffer);
  } catch (const std::exception& e) {
    LogException(&e, " (TNTFSdrive.ReadLCN at LCN %lld, count %d)", (long long)lcn, int(count));
  }
  // Never hand out what a failed read left behind.
  if (!ok) std::memset(buffer, 0, size_t(count) * BytesPerCluster);
  return ok;
}

bool TNTFSdrive::ReadExternalAttribute(const TATTRIBUTE* attribute, int64_t vcn, uint32_t count, uint8_t* buffer) {
  try {
    uint32_t remaining = count;
    while (remaining > 0) {
      int64_t lcn = 0, runCount = 0;
      if (!FindRun(attribute, vcn, lcn, runCount)) {
        ntfs::Log("Error finding run! FindRun (vcn: %lld) (TNTFSdrive.ReadExternalAttribute)", (long long)vcn);
        return false;
      }
      const auto n = uint32_t(std::min<int64_t>(remaining, runCount));
      // Compressed values come as stored, cluster by cluster.
      if (lcn == 0)
        std::memset(buffer, 0, size_t(n) * BytesPerCluster);
      else if (!ReadLCN(lcn, n, buffer))
        return false;
      vcn += n;
      buffer += size_t(n) * BytesPerCluster;
      remaining -= n;
    }
    return true;
  } catch (const std::exception& e) {
    LogException(&e, " (TNTFSdrive.ReadExternalAttribute at VCN %lld, count %d)", (long long)vcn, int(count));
    return false;
  }
}

bool TNTFSdrive::ReadVCN(const uint8_t* record, uint32_t Type, int64_t vcn, uint32_t count, uint8_t* buffer,
                         uint32_t owner) {
  if (FReadVcnDepth >= kMaxReadVcnDepth) return false;
  struct Depth {
    int& d;
    Depth(int& x) : d(++x) {}
    ~Depth() { --d; }
  } depth(FReadVcnDepth);
  bool result = false;
  if (const TATTRIBUTE* a = FindAttribute(record, Type, nullptr, 0))
    result = ReadExternalAttribute(a, vcn, count, buffer);
  if (!result) {
    const std::vector<uint8_t> list = ReadAttributeList(record);
    std::vector<uint8_t> ext(BytesPerFileRecord);
    for (int occurrence = 0; occurrence <= 255 && !list.empty() && !result; ++occurrence) {
      const TATTRIBUTE_LIST_ENTRY* e =
          FindAttributeListEntry(list.data(), uint32_t(list.size()), Type, nullptr, uint8_t(occurrence));
      if (!e || e->AttributeType == atEnd) break;
      const uint64_t ref = e->FileReference;
      if (ref == 0 || RecordNumberOf(ref) > 0xFFFFFFFF) continue;
      if (!ReadFileRecord(uint32_t(RecordNumberOf(ref)), ext.data())) continue;
      const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(ext.data());
      if (RecordNumberOf(h->BaseFileRecord) != owner || h->LinkCount != 0 || !HasMagic(ext.data(), "FILE") ||
          !(h->Flags & kRecordInUse))
        continue;
      if (const TATTRIBUTE* a = FindAttribute(ext.data(), Type, nullptr, 0))
        result = ReadExternalAttribute(a, vcn, count, buffer);
    }
  }
  ntfs::Log(result ? "Found run! ReadVCN (vcn: %lld) (TNTFSdrive.ReadExternalAttribute)"
                   : "Error finding run ! ReadVCN (vcn: %lld) (TNTFSdrive.ReadExternalAttribute)",
            (long long)vcn);
  return result;
}

bool TNTFSdrive::ReadAttribute(const TATTRIBUTE* attribute, std::vector<uint8_t>& buffer) {
  buffer.clear();
  if (!attribute) return false;
  if (!attribute->Nonresident) {
    buffer.assign(ResidentValue(attribute), ResidentValue(attribute) + ResidentValueLength(attribute));
    return true;
  }
  if (BytesPerCluster == 0) return false;
  const auto* n = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(attribute);
  const uint64_t clusters = uint64_t(uint32_t(int64_t(n->HighVcn))) + 1;
  // A value larger than the volume is not a value: don't allocate for it.
  if (clusters * BytesPerCluster > AllocationLimit()) return false;
  buffer.assign(clusters * BytesPerCluster, 0);
  const bool ok = ReadExternalAttribute(attribute, 0, uint32_t(clusters), buffer.data());
  const int64_t size = n->DataSize;
  if (size >= 0 && uint64_t(size) < buffer.size()) buffer.resize(size_t(size));
  return ok;
}

uint32_t TNTFSdrive::BlockReadAttribute(const TATTRIBUTE* attribute, uint8_t* buffer, int64_t offset,
                                        uint32_t count) {
  // Ciphertext is not the file: an encrypted value reads as nothing, so the
  // reader is told it came out short rather than handed scrambled bytes.
  if (!attribute || offset < 0 || (uint16_t(attribute->Flags) & kDataEncrypted)) return 0;
  if (!attribute->Nonresident) {
    const uint32_t length = ResidentValueLength(attribute);
    if (uint64_t(offset) >= length) return 0;
    const uint32_t n = std::min<uint32_t>(count, length - uint32_t(offset));
    std::memcpy(buffer, ResidentValue(attribute) + offset, n);
    return n;
  }
  const auto* a = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(attribute);
  if (BytesPerCluster == 0 || ClusterBuffer.size() < BytesPerCluster) return 0;
  uint32_t done = 0;
  try {
    int64_t vcn = offset / BytesPerCluster;
    // A size that is damage reads as far as the clusters go.
    int64_t dataSize = 0;
    DataSizeHeld(attribute, dataSize);
    if (vcn > a->HighVcn || offset >= dataSize) return 0;
    const auto result = uint32_t(std::min<int64_t>(count, dataSize - offset));
    uint32_t remaining = result;
    const uint32_t within = uint32_t(offset % BytesPerCluster);
    // Raw clusters of a compressed value are not the file: they are decompressed.
    if ((uint16_t(attribute->Flags) & kDataCompressed) && a->CompressionUnit != 0) {
      done = ReadCompressed(*this, a, buffer, offset, result);
      remaining = 0;
    }
    // A cluster that can't be found or read ends the count before it: the
    // caller learns of the failure instead of getting zeros as data.
    if (within != 0 && remaining > 0) {
      const uint32_t n = std::min(BytesPerCluster - within, result);
      if (!ReadExternalAttribute(attribute, vcn, 1, ClusterBuffer.data())) return done;
      std::memcpy(buffer, ClusterBuffer.data() + within, n);
      done += n;
      ++vcn;
      remaining -= n;
    }
    const uint32_t k = remaining / BytesPerCluster;
    if (k > 0) {
      if (!ReadExternalAttribute(attribute, vcn, k, buffer + done)) return done;
      done += k * BytesPerCluster;
      vcn += k;
      remaining -= k * BytesPerCluster;
    }
    if (remaining > 0) {
      if (!ReadExternalAttribute(attribute, vcn, 1, ClusterBuffer.data())) return done;
      std::memcpy(buffer + done, ClusterBuffer.data(), remaining);
      done += remaining;
    }
    // Bytes past the initialized size were never written: they read as zeros.
    if (attribute->Length >= sizeof(TNONRESIDENT_ATTRIBUTE)) {
      const int64_t initialized = a->InitializedSize;
      if (initialized >= 0 && initialized < offset + done) {
        const int64_t from = std::max<int64_t>(initialized - offset, 0);
        std::memset(buffer + from, 0, size_t(done - from));
      }
    }
  } catch (const std::exception& e) {
    LogException(&e, " (TNTFSdrive.BlockReadAttribute)");
  }
  return done;
}

bool TNTFSdrive::BitmapAttributeBitSet(const TATTRIBUTE* attribute, int64_t bit) {
  uint8_t byte = 0;
  if (bit < 0 || BlockReadAttribute(attribute, &byte, bit / 8, 1) != 1) return false;
  return BitIsSet(&byte, uint64_t(bit % 8));
}

bool TNTFSdrive::ReadValueBytes(const TATTRIBUTE* attribute, uint64_t offset, uint32_t size, uint8_t* buffer) {
  if (BytesPerCluster == 0 || size == 0) return false;
  const uint64_t first = offset / BytesPerCluster, last = (offset + size - 1) / BytesPerCluster;
  std::vector<uint8_t> temp(size_t(last - first + 1) * BytesPerCluster);
  if (!ReadExternalAttribute(attribute, int64_t(first), uint32_t(last - first + 1), temp.data())) return false;
  std::memcpy(buffer, temp.data() + (offset - first * BytesPerCluster), size);
  return true;
}

namespace {

// Bytes a little-endian value needs: unsigned, or signed with its sign bit.
int UnsignedBytes(uint64_t v) {
  int n = 0;
  do {
    ++n;
    v >>= 8;
  } while (v);
  return n;
}
int SignedBytes(int64_t v) {
  int n = 1;
  while (n < 8 && (v < -(int64_t(1) << (8 * n - 1)) || v >= (int64_t(1) << (8 * n - 1)))) ++n;
  return n;
}

}  // namespace

bool TNTFSdrive::GatherAttribute(const uint8_t* record, uint32_t owner, uint32_t Type, const WCHAR* Name,
                                 std::vector<uint8_t>& out) {
  out.clear();
  const TATTRIBUTE* a = FindAttribute(record, Type, Name, 0);
  const auto copy = [&out](const TATTRIBUTE* from) {
    const auto* p = reinterpret_cast<const uint8_t*>(from);
    out.assign(p, p + from->Length);
    return true;
  };
  const auto* n = NonResident(a);
  if (a && (!n || n->LowVcn == 0)) {
    // Whole when resident, or when its runs reach its last cluster.
    if (!n || n->HighVcn < 0) return copy(a);
    std::vector<Run> runs;
    DecodeRuns(a, runs);
    uint64_t clusters = 0;
    for (const Run& r : runs) clusters += r.length;
    if (clusters >= uint64_t(int64_t(n->AllocatedSize)) / std::max<uint32_t>(BytesPerCluster, 1)) return copy(a);
  }
  const std::vector<uint8_t> list = ReadAttributeList(record);
  if (list.empty()) return a ? copy(a) : false;

  // The pieces in list order (which is VCN order), each from its record.
  std::vector<std::vector<uint8_t>> pieces;
  std::vector<uint8_t> ext(BytesPerFileRecord);
  for (int occurrence = 0; occurrence <= 255; ++occurrence) {
    const TATTRIBUTE_LIST_ENTRY* e =
        FindAttributeListEntry(list.data(), uint32_t(list.size()), Type, Name, uint8_t(occurrence));
    if (!e) break;
    const uint64_t number = RecordNumberOf(e->FileReference);
    const uint8_t* from = record;
    if (number != owner) {
      if (number > 0xFFFFFFFF || !ReadFileRecord(uint32_t(number), ext.data())) continue;
      const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(ext.data());
      if (RecordNumberOf(h->BaseFileRecord) != owner || !HasMagic(ext.data(), "FILE")) continue;
      from = ext.data();
    }
    for (int k = 0; k <= 255; ++k) {
      const TATTRIBUTE* piece = FindAttribute(from, Type, Name, uint8_t(k));
      if (!piece) break;
      if (!piece->Nonresident) return copy(piece);
      if (uint64_t(int64_t(reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(piece)->LowVcn)) != uint64_t(e->LowVcn))
        continue;
      const auto* p = reinterpret_cast<const uint8_t*>(piece);
      pieces.emplace_back(p, p + piece->Length);
      break;
    }
  }
  if (pieces.empty()) return a ? copy(a) : false;

  // One run list over all pieces, in a copy of the first piece's header.
  std::vector<Run> runs;
  int64_t high = -1;
  for (const auto& piece : pieces) {
    const auto* p = reinterpret_cast<const TNONRESIDENT_ATTRIBUTE*>(piece.data());
    if (p->LowVcn != high + 1) break;  // a gap: what follows can't be placed
    DecodeRuns(reinterpret_cast<const TATTRIBUTE*>(piece.data()), runs);
    high = p->HighVcn;
  }
  if (high < 0) return a ? copy(a) : false;
  out.assign(sizeof(TNONRESIDENT_ATTRIBUTE), 0);
  std::memcpy(out.data(), pieces[0].data(), std::min(pieces[0].size(), out.size()));
  int64_t previous = 0;
  for (const Run& r : runs) {
    const int l = UnsignedBytes(r.length);
    const auto delta = int64_t(uint64_t(r.lcn) - uint64_t(previous));
    const int o = r.lcn == 0 ? 0 : SignedBytes(delta);
    out.push_back(uint8_t(l | (o << 4)));
    for (int i = 0; i < l; ++i) out.push_back(uint8_t(r.length >> (8 * i)));
    for (int i = 0; i < o; ++i) out.push_back(uint8_t(uint64_t(delta) >> (8 * i)));
    if (r.lcn != 0) previous = r.lcn;
  }
  out.push_back(0);
  out.resize((out.size() + 7) & ~size_t(7), 0);
  auto* h = reinterpret_cast<TNONRESIDENT_ATTRIBUTE*>(out.data());
  h->Attribute.Length = uint32_t(out.size());
  h->Attribute.NameLength = 0;
  h->Attribute.NameOffset = 0;
  h->HighVcn = high;
  h->RunArrayOffset = uint16_t(sizeof(TNONRESIDENT_ATTRIBUTE));
  return true;
}
