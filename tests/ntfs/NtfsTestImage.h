// Byte-level NTFS image writer for corner cases no formatter makes: records,
// attributes, run lists and index blocks written field by field, and a drive
// mounted on the image through the source bound to the test letter.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ImageDevice.h"
#include "Ldiskio.h"
#include "Ntfs.h"
#include "ScriptedSource.h"
#include "WinApi.h"

using Bytes = std::vector<uint8_t>;

constexpr char kNtfsLetter = 'N';
ScriptedSource& NtfsSource();  // behind kNtfsLetter for the whole run

inline void Put(Bytes& b, size_t at, uint64_t v, int n) {
  if (b.size() < at + n) b.resize(at + n);
  for (int i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
inline void Put(uint8_t* p, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline Bytes Utf16(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s) Put(b, b.size(), c, 2);
  return b;
}

struct Run {
  uint64_t length;
  int64_t lcn;  // 0: sparse
};

// A run list: absolute clusters become deltas; an explicit end byte.
inline Bytes Runs(const std::vector<Run>& runs) {
  Bytes b;
  int64_t previous = 0;
  for (const Run& r : runs) {
    const int64_t delta = r.lcn - previous;
    const int o = r.lcn == 0 ? 0 : 8;
    b.push_back(uint8_t(8 | (o << 4)));
    Put(b, b.size(), r.length, 8);
    if (o) Put(b, b.size(), uint64_t(delta), 8);
    if (r.lcn) previous = r.lcn;
  }
  b.push_back(0);
  return b;
}

inline Bytes Attribute(uint32_t type, const std::u16string& name, bool nonresident, const Bytes& body) {
  const size_t header = nonresident ? 0x40 : 0x18;
  Bytes a(header, 0);
  a[8] = nonresident, a[9] = uint8_t(name.size());
  Put(a, 0, type, 4), Put(a, 0x0A, header, 2);
  const Bytes n = Utf16(name);
  a.insert(a.end(), n.begin(), n.end());
  a.resize((a.size() + 7) & ~size_t(7));
  const size_t valueAt = a.size();
  a.insert(a.end(), body.begin(), body.end());
  a.resize((a.size() + 7) & ~size_t(7));
  Put(a, 4, a.size(), 4);
  if (nonresident) {
    Put(a, 0x20, valueAt, 2);
  } else {
    Put(a, 0x10, body.size(), 4), Put(a, 0x14, valueAt, 2);
  }
  return a;
}

inline Bytes Resident(uint32_t type, const Bytes& value) { return Attribute(type, u"", false, value); }

inline Bytes NonResident(uint32_t type, const std::vector<Run>& runs, int64_t dataSize, uint32_t clusterBytes,
                         const std::u16string& name = u"", int64_t lowVcn = 0) {
  Bytes a = Attribute(type, name, true, Runs(runs));
  uint64_t clusters = 0;
  for (const Run& r : runs) clusters += r.length;
  Put(a, 0x10, uint64_t(lowVcn), 8), Put(a, 0x18, uint64_t(lowVcn + int64_t(clusters) - 1), 8);
  Put(a, 0x28, clusters * clusterBytes, 8), Put(a, 0x30, uint64_t(dataSize), 8), Put(a, 0x38, uint64_t(dataSize), 8);
  return a;
}

constexpr int64_t kTime2020 = 132223104000000000;  // 2020-01-01 00:00 UTC

inline Bytes FileName(uint64_t parent, const std::u16string& name, uint8_t nameType = nsWin32, bool dir = false,
                      int64_t size = 0, int64_t created = kTime2020) {
  Bytes v(0x42, 0);
  for (int at : {0x08, 0x10, 0x18, 0x20}) Put(v, at, uint64_t(created), 8);
  Put(v, 0x00, parent, 8), Put(v, 0x30, uint64_t(size), 8), Put(v, 0x38, dir ? kFileNameIsDirectory : 0x20, 4);
  v[0x40] = uint8_t(name.size()), v[0x41] = nameType;
  const Bytes n = Utf16(name);
  v.insert(v.end(), n.begin(), n.end());
  return v;
}

// An index entry; subNode >= 0 adds a sub-node VCN.
inline Bytes Entry(uint64_t reference, const Bytes& key, bool last = false, int64_t subNode = -1) {
  Bytes e(16, 0);
  Put(e, 0, last ? 0 : reference, 8);
  if (!last) e.insert(e.end(), key.begin(), key.end());
  e.resize((e.size() + 7) & ~size_t(7));
  Put(e, 0x0A, last ? 0 : key.size(), 2);
  e[0x0C] = uint8_t((last ? kIndexEntryLast : 0) | (subNode >= 0 ? kIndexEntrySubNode : 0));
  if (subNode >= 0) Put(e, e.size(), uint64_t(subNode), 8);
  Put(e, 8, e.size(), 2);
  return e;
}

// An attribute list entry naming the record that holds a piece of an attribute.
inline Bytes ListEntry(uint32_t type, uint64_t lowVcn, uint64_t reference) {
  Bytes e(0x20, 0);
  e[7] = 0x1A;
  Put(e, 0, type, 4), Put(e, 4, 0x20, 2), Put(e, 8, lowVcn, 8), Put(e, 0x10, reference, 8);
  return e;
}

inline Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Update sequence array at usaOffset protecting every 512-byte stride of size bytes.
inline void Protect(uint8_t* record, size_t size, uint16_t usaOffset) {
  const uint16_t count = uint16_t(size / 512 + 1);
  Put(record + 4, usaOffset, 2), Put(record + 6, count, 2), Put(record + usaOffset, 0x0BAD, 2);
  for (size_t i = 1; i < count; ++i) {
    std::memcpy(record + usaOffset + 2 * i, record + 512 * i - 2, 2);
    Put(record + 512 * i - 2, 0x0BAD, 2);
  }
}

struct NtfsImage {
  uint32_t bps = 512, spc = 8, recordBytes = 1024, indexBytes = 4096, records = 128, clusters = 256;
  int64_t mftLcn = 4, bitmapLcn = 0;
  uint32_t nextFree = 0;
  Bytes bytes;
  std::vector<std::vector<Bytes>> attrs;  // per record, written by Finish
  std::vector<uint8_t> begun;
  std::optional<Bytes> mftBitmap;  // instead of the one Finish writes; empty: none at all

  uint32_t ClusterBytes() const { return bps * spc; }
  uint8_t* Cluster(int64_t lcn) { return bytes.data() + size_t(lcn) * ClusterBytes(); }
  uint8_t* Record(uint32_t i) { return Cluster(mftLcn) + size_t(i) * recordBytes; }
  uint32_t Alloc(uint32_t n) { return std::exchange(nextFree, nextFree + n); }

  // An empty volume: $MFT, $Volume, an empty root and $Bitmap.
  static NtfsImage Make(uint32_t spc = 8, uint32_t clusters = 256, uint32_t indexBytes = 4096, uint32_t records = 128,
                        uint32_t bps = 512) {
    NtfsImage m;
    m.bps = bps, m.spc = spc, m.records = records, m.clusters = clusters, m.indexBytes = indexBytes;
    m.bytes.assign(size_t(clusters) * m.ClusterBytes(), 0);
    m.mftLcn = std::max<uint32_t>(1, 16384 / m.ClusterBytes());
    const uint32_t mftClusters = (m.records * m.recordBytes + m.ClusterBytes() - 1) / m.ClusterBytes();
    m.nextFree = uint32_t(m.mftLcn) + mftClusters;
    m.bitmapLcn = m.Alloc(1);
    m.attrs.resize(m.records), m.begun.assign(m.records, 0);
    uint8_t* b = m.bytes.data();
    std::memcpy(b + 3, "NTFS    ", 8);
    b[0x0D] = uint8_t(spc);
    Put(b + 0x0B, m.bps, 2), Put(b + 0x28, uint64_t(clusters) * spc, 8), Put(b + 0x30, uint64_t(m.mftLcn), 8);
    Put(b + 0x40, 0xF6, 4);  // 2^10-byte records; index blocks in clusters, or as a power of two when smaller
    Put(b + 0x44, indexBytes >= m.ClusterBytes() ? indexBytes / m.ClusterBytes() : 0x100 - 12, 4);
    for (uint32_t i : {0u, 3u, 5u, 6u}) m.Begin(i);
    m.attrs[0].push_back(NonResident(atData, {{mftClusters, m.mftLcn}}, m.records * m.recordBytes, m.ClusterBytes()));
    m.attrs[3] = {Resident(atVolumeName, Utf16(u"Test")), Resident(atVolumeInformation, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 3, 1, 1, 0})};
    m.attrs[6].push_back(NonResident(atData, {{1, m.bitmapLcn}}, clusters / 8, m.ClusterBytes()));
    m.SetDirectory(5, {});
    return m;
  }

  void Begin(uint32_t i, bool inUse = true, uint16_t links = 1) {
    uint8_t* r = Record(i);
    std::memset(r, 0, recordBytes);
    std::memcpy(r, "FILE", 4);
    Put(r + 0x12, links, 2), Put(r + 0x14, 0x38, 2), Put(r + 0x16, inUse ? 1 : 0, 2);
    attrs[i].clear();
    begun[i] = inUse ? 1 : 2;
  }

  // A file record with its name.
  void File(uint32_t i, uint64_t parent, const std::u16string& name, bool inUse = true) {
    Begin(i, inUse);
    attrs[i].push_back(Resident(atFileName, FileName(parent, name)));
  }

  // A directory whose index root holds entries (each ending in the last entry
  // unless large, when the caller's entries carry the sub-nodes).
  void SetDirectory(uint32_t i, const std::vector<Bytes>& entries, bool large = false) {
    Bytes root(0x20, 0);
    Put(root, 0, atFileName, 4), Put(root, 8, indexBytes, 4), Put(root, 0x10, 0x10, 4);
    Bytes all = Concat(entries);
    if (!large) all = Concat({all, Entry(0, {}, true)});
    root.insert(root.end(), all.begin(), all.end());
    Put(root, 0x14, root.size() - 0x10, 4), Put(root, 0x18, root.size() - 0x10, 4), Put(root, 0x1C, large ? 1 : 0, 4);
    std::erase_if(attrs[i], [](const Bytes& a) { return NtfsRead32(a.data()) == atIndexRoot; });
    attrs[i].push_back(Attribute(atIndexRoot, u"$I30", false, root));
  }

  // An INDX block at byte `at` of the volume holding entries.
  void IndexBlock(size_t at, const std::vector<Bytes>& entries) {
    uint8_t* b = bytes.data() + at;
    std::memset(b, 0, indexBytes);
    std::memcpy(b, "INDX", 4);
    const Bytes all = Concat(entries);
    Put(b + 0x18, 0x40 - 0x18, 4);
    std::memcpy(b + 0x40, all.data(), all.size());
    Put(b + 0x1C, 0x40 - 0x18 + all.size(), 4), Put(b + 0x20, indexBytes - 0x18, 4);
    Protect(b, indexBytes, 0x28);
  }

  // Writes the attributes and update sequence arrays; MFT and volume bitmaps follow begun records and nextFree.
  void Finish() {
    Bytes bits(records / 8, 0);
    for (uint32_t i = 0; i < records; ++i)
      if (begun[i] == 1) bits[i / 8] |= uint8_t(1 << (i % 8));
    std::erase_if(attrs[0], [](const Bytes& a) { return NtfsRead32(a.data()) == atBitmap; });
    if (!mftBitmap)
      attrs[0].push_back(Resident(atBitmap, bits));
    else if (!mftBitmap->empty())
      attrs[0].push_back(*mftBitmap);
    for (uint32_t lcn = 0; lcn < nextFree; ++lcn) Cluster(bitmapLcn)[lcn / 8] |= uint8_t(1 << (lcn % 8));
    for (uint32_t i = 0; i < records; ++i) {
      if (!begun[i]) continue;
      const Bytes all = Concat(attrs[i]);
      uint8_t* r = Record(i);
      if (!all.empty()) std::memcpy(r + 0x38, all.data(), all.size());  // a record may hold none
      Put(r + 0x38 + all.size(), atEnd, 4), Put(r + 0x18, 0x38 + all.size() + 8, 4);
      Protect(r, recordBytes, 0x30);
    }
  }
};

// A drive mounted on the image (Finish() first), on a device the way the
// program builds one.
struct MountedNtfs {
  std::unique_ptr<TDevice> device;
  TNTFSdrive drive;
  LogCapture log;

  explicit MountedNtfs(const Bytes& image) {
    NtfsSource().SetImage(image);
    device = LetterDevice(kNtfsLetter);
    drive.Device = device.get();
  }
  ~MountedNtfs() { EXPECT_TRUE(NtfsSource().writes.empty()) << "the reader wrote to the volume"; }
};

// Every item a scan reports, as "path" (folders) or "path\name" (files), a
// deleted one marked with "*".
inline std::vector<std::string> Listing(TNTFSdrive& drive, bool deletedOnly) {
  std::vector<std::string> out;
  drive.OnFoundItem = [&](TObject*, TObject* item) {
    if (auto* f = dynamic_cast<TNTFSFile*>(item)) out.push_back(f->GetPath(nullptr) + "\\" + f->Name + (f->Deleted ? "*" : ""));
    if (auto* d = dynamic_cast<TNTFSDirectory*>(item)) out.push_back(d->GetPath(nullptr) + ((d->DeletedState & 1) ? "*" : ""));
  };
  drive.ScanDrive("*", deletedOnly, deletedOnly);
  return out;
}

using Names = std::vector<std::string>;
