// What only byte-level images catch: fix-up, run decoding, index order and
// loops, attribute lists and 64-bit reads. Broad listings and contents are
// checked against real volumes by the oracle suite.

#include "Devices.h"
#include "NtfsTestImage.h"
#include "ScratchDir.h"

namespace {

const auto source = std::make_shared<ScriptedSource>();
const auto* const environment = ::testing::AddGlobalTestEnvironment(new BoundSources({{kNtfsLetter, source}}));

}  // namespace

ScriptedSource& NtfsSource() { return *source; }

// The drive puts the words back whatever the verdict; NtfsLib keeps only
// Sound records. Both go through the same routine, so they agree on which
// records are damaged.
TEST(NtfsFixup, RepairsStrideEndsInsideTheBytesReadAndJudgesTheRecord) {
  struct Case {
    const char* what;
    size_t size;
    uint16_t sectorSize, usaOffset, usaCount, sequence;
    UsaVerdict verdict;
  } cases[] = {
      {"two strides of a 1 KiB record", 1024, 512, 0x30, 3, 0x7777, UsaVerdict::Sound},
      {"eight strides of a 4 KiB record", 4096, 4096, 0x30, 9, 0x7777, UsaVerdict::Sound},
      // The stride is 512 bytes whatever the sector size.
      {"1 KiB record on 4 KiB sectors", 1024, 4096, 0x30, 3, 0x7777, UsaVerdict::Sound},
      {"a stride end that differs from the sequence number", 1024, 512, 0x30, 3, 0x0001, UsaVerdict::Suspect},
      {"a count larger than the record is clamped", 1024, 512, 0x30, 9, 0x7777, UsaVerdict::Suspect},
      {"an array over the header", 1024, 512, 4, 3, 0x7777, UsaVerdict::Suspect},
      {"count 0", 1024, 512, 0x30, 0, 0x7777, UsaVerdict::Unusable},
      {"count 1", 1024, 512, 0x30, 1, 0x7777, UsaVerdict::Unusable},
      {"array past the end", 1024, 512, 1020, 3, 0x7777, UsaVerdict::Unusable},
  };
  for (const Case& c : cases) {
    Bytes r(c.size, 0x77);
    const bool laidOut = c.usaOffset >= 8 && c.usaOffset + 2u * c.usaCount <= r.size();
    if (laidOut) {
      Put(r.data() + c.usaOffset, c.sequence, 2);
      for (size_t i = 1; i < c.usaCount; ++i) Put(r.data() + c.usaOffset + 2 * i, 0x1111 * i, 2);
    }
    Put(r.data() + 4, c.usaOffset, 2), Put(r.data() + 6, c.usaCount, 2);
    const Bytes original = r;
    Bytes judged = r;
    EXPECT_EQ(ApplyUpdateSequenceArray(judged.data(), judged.size()), c.verdict) << c.what;
    TNTFSdrive drive;
    drive.bootb.BytesPerSector = c.sectorSize;
    drive.FixupUpdateSequenceArray(r.data(), uint32_t(r.size()));
    EXPECT_EQ(r, judged) << c.what;
    if (c.verdict == UsaVerdict::Unusable) {
      EXPECT_EQ(r, original) << c.what;
    }
    if (!laidOut) continue;
    for (size_t i = 1; i <= c.size / 512; ++i)
      EXPECT_EQ(NtfsRead16(&r[512 * i - 2]), c.verdict != UsaVerdict::Unusable ? 0x1111 * i : 0x7777) << c.what << i;
  }
}

TEST(NtfsRuns, DecodesLengthsAndSignedDeltas) {
  struct Case {
    Bytes run;
    uint32_t header;
    uint64_t length;
    int64_t delta;
  } cases[] = {
      {{0x11, 0x10, 0x04}, 3, 16, 4},
      {{0x21, 0x10, 0x00, 0x04}, 4, 16, 1024},
      {{0x01, 0x08}, 2, 8, 0},
      {{0x11, 0x10, 0xF0}, 3, 16, -16},
      {{0x31, 0x01, 0x00, 0x00, 0x80}, 5, 1, -8388608},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RunHeaderSize(c.run.data()), c.header);
    EXPECT_EQ(RunLength(c.run.data()), c.length);
    EXPECT_EQ(RunLcnDelta(c.run.data()), c.delta);
  }
}

TEST(NtfsRuns, FindRunWalksSparseRunsAndStaysInsideTheAttribute) {
  TNTFSdrive drive;
  // 16 clusters at 4, 8 sparse, 8 at 36; then the same list with no end byte,
  // padded by runs of length 0 to the attribute's end.
  const Bytes listed{0x11, 0x10, 0x04, 0x01, 0x08, 0x11, 0x08, 0x20, 0x00};
  Bytes endless = listed;
  endless.pop_back();
  endless.resize(64, 0x10);  // length 0, one offset byte: never ends by itself
  for (const Bytes& runs : {listed, endless}) {
    Bytes a = Attribute(atData, u"", true, runs);
    Put(a, 0x18, 40, 8);  // HighVcn past the runs
    const auto* attr = reinterpret_cast<const TATTRIBUTE*>(a.data());
    struct Case {
      int64_t vcn, lcn, count;
    } hits[] = {{5, 9, 11}, {20, 0, 4}, {24, 36, 8}};
    for (const Case& c : hits) {
      int64_t lcn = -1, count = -1;
      ASSERT_TRUE(drive.FindRun(attr, c.vcn, lcn, count)) << c.vcn;
      EXPECT_EQ(lcn, c.lcn);
      EXPECT_EQ(count, c.count);
    }
    int64_t lcn = -1, count = -1;
    EXPECT_FALSE(drive.FindRun(attr, 32, lcn, count));
    EXPECT_FALSE(drive.FindRun(attr, 41, lcn, count));
    EXPECT_EQ(lcn, -1);
  }
}

TEST(NtfsMount, ReadsVolumeFactsAndListsWin32NamesUnlessPosixNamesAreOn) {
  NtfsImage m = NtfsImage::Make();
  m.SetDirectory(5, {Entry(4, FileName(5, u"$AttrDef", nsWin32AndDos)),
                     Entry(20, FileName(5, u"Win32 file")),
                     Entry(21, FileName(5, u"LONGNA~1.TXT", nsDos)),
                     Entry(21, FileName(5, u"Long name.txt")),
                     Entry(22, FileName(5, u"posix only", nsPosix)),
                     Entry(23, FileName(5, u"Café")),  // names become UTF-8 and end at a zero unit
                     Entry(24, FileName(5, std::u16string(u"Cut\0off", 7)))});
  m.Finish();
  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  EXPECT_EQ(std::tuple(v.drive.MftLoaded, v.drive.Name, v.drive.BytesPerFileRecord, v.drive.BytesPerIndexBlock,
                       v.drive.MftRecordCount(), v.drive.Dirty()),
            std::tuple(true, "Test", 1024u, 4096u, 128u, true));
  EXPECT_EQ(Listing(v.drive, false), (Names{"\\Win32 file", "\\Long name.txt", "\\Café", "\\Cut"}));

  optNtfsPosixNames = true;
  MountedNtfs posix(m.bytes);
  posix.drive.MountDrive(false);
  EXPECT_EQ(Listing(posix.drive, false),
            (Names{"\\Win32 file", "\\Long name.txt", "\\posix only", "\\Café", "\\Cut"}));
  optNtfsPosixNames = false;
}

// Root [M -> block 1, end -> block 0]; block 1 [A, B -> a block that is not
// INDX, end -> block 1 itself]; block 0 [Z]. Index order is A B M Z. With
// 64 KiB clusters the 4 KiB blocks are numbered in 512-byte units.
TEST(NtfsIndex, ListsBlocksInCollationOrderAndSkipsLoopsAndForeignBlocks) {
  for (uint32_t spc : {8u, 128u}) {
    NtfsImage m = NtfsImage::Make(spc, spc == 8 ? 256 : 48);
    const uint32_t unit = spc == 8 ? 1 : 8;  // VCNs per block
    const uint32_t blockClusters = spc == 8 ? 3 : 1;
    const uint32_t lcn = m.Alloc(blockClusters);
    auto at = [&](int block) { return size_t(lcn) * m.ClusterBytes() + size_t(block) * unit * 512 * (spc == 8 ? 8 : 1); };
    m.IndexBlock(at(0), {Entry(33, FileName(5, u"Z")), Entry(0, {}, true)});
    m.IndexBlock(at(1), {Entry(30, FileName(5, u"A")), Entry(31, FileName(5, u"B"), false, 2 * unit),
                         Entry(0, {}, true, 1 * unit)});
    std::memcpy(m.bytes.data() + at(2), "JUNK", 4);
    m.SetDirectory(5, {Entry(32, FileName(5, u"M"), false, 1 * unit), Entry(0, {}, true, 0)}, true);
    const uint64_t allocated = uint64_t(blockClusters) * m.ClusterBytes();
    m.attrs[5].push_back(NonResident(atIndexAllocation, {{blockClusters, lcn}}, int64_t(allocated), m.ClusterBytes(), u"$I30"));
    m.Finish();
    MountedNtfs v(m.bytes);
    ASSERT_TRUE(v.drive.MountDrive(false));
    EXPECT_EQ(Listing(v.drive, false), (Names{"\\A", "\\B", "\\M", "\\Z"})) << spc;
  }
}

// The MFT's second half lies elsewhere and is described only in extension
// record 16; a file's attribute list names its own record.
TEST(NtfsAttributeList, ReachesMftExtentsInExtensionRecordsAndEndsOnSelfReference) {
  NtfsImage m = NtfsImage::Make();
  const uint32_t half = 16;  // clusters: records 0..63
  const uint32_t moved = m.Alloc(half);
  m.File(100, 5, u"far.txt");
  m.Begin(30);
  m.attrs[30].push_back(Resident(atFileName, FileName(5, u"loop.bin", nsWin32, false, 5000)));
  m.attrs[30].push_back(Resident(atAttributeList, ListEntry(atData, 0, 30)));
  m.SetDirectory(5, {Entry(100, FileName(5, u"far.txt")), Entry(30, FileName(5, u"loop.bin"))});
  m.attrs[0][0] = NonResident(atData, {{half, m.mftLcn}}, m.records * m.recordBytes, m.ClusterBytes());
  m.attrs[0].push_back(Resident(atAttributeList, Concat({ListEntry(atData, 0, 0), ListEntry(atData, half, 16)})));
  m.Begin(16, true, 0);
  m.attrs[16].push_back(NonResident(atData, {{half, moved}}, 0, m.ClusterBytes(), u"", half));
  m.Finish();
  std::memcpy(m.Cluster(moved), m.Cluster(m.mftLcn + half), size_t(half) * m.ClusterBytes());
  std::memset(m.Cluster(m.mftLcn + half), 0, size_t(half) * m.ClusterBytes());
  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  EXPECT_EQ(Listing(v.drive, false), (Names{"\\far.txt", "\\loop.bin"}));
  TNTFSfileInfo info;
  v.drive.resetByMFTfileRef(30, 5000, info);
  Bytes buffer(5000);
  uint32_t n = 1;
  EXPECT_FALSE(v.drive.blockread(info, 5000, buffer.data(), n));
  EXPECT_EQ(n, 0u);
}

// A sparse file of 4 GiB and more: bytes past 4 GiB come through the 64-bit
// reader, holes read as zeros, data past the volume fails the read, and
// saving refuses it whole.
TEST(NtfsRead, SparseFilesPast4GiBReadByByteRangeAndSaveRefusesThem) {
  NtfsImage m = NtfsImage::Make();
  const uint32_t lcn = m.Alloc(1);
  std::memset(m.Cluster(lcn), 0x5A, m.ClusterBytes());
  const int64_t hole = (int64_t(1) << 32) / m.ClusterBytes();
  m.File(30, 5, u"big.bin");
  m.attrs[30].push_back(NonResident(atData, {{uint64_t(hole), 0}, {1, lcn}, {1, 1000000}},
                                    (int64_t(1) << 32) + 2 * m.ClusterBytes(), m.ClusterBytes()));
  m.SetDirectory(5, {Entry(30, FileName(5, u"big.bin", nsWin32, false, (int64_t(1) << 32) + 8192))});
  m.Finish();
  MountedNtfs v(m.bytes);
  ASSERT_TRUE(v.drive.MountDrive(false));
  TNTFSfileInfo info;
  v.drive.resetByMFTfileRef(30, (int64_t(1) << 32) + 8192, info);
  Bytes buffer(8192, 0xEE);
  uint32_t n = 0;
  ASSERT_TRUE(v.drive.seek(info, 100));
  ASSERT_TRUE(v.drive.blockread(info, 100, buffer.data(), n));
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 100), Bytes(100, 0));
  ASSERT_TRUE(v.drive.seek(info, (int64_t(1) << 32) - 10));
  EXPECT_FALSE(v.drive.blockread(info, 8192, buffer.data(), n));  // the last cluster lies past the volume
  EXPECT_EQ(std::tuple(n, buffer[9], buffer[10]), std::tuple(4106u, 0, 0x5A));
  EXPECT_FALSE(v.drive.seek(info, info.Size));

  ASSERT_EQ(Listing(v.drive, false), (Names{"\\big.bin"}));
  ScratchDir dest;
  bool started = false;
  v.drive.OnStart = [&](TObject*, TObject*, const AnsiString&) { started = true; };
  auto* file = dynamic_cast<TNTFSFile*>((*v.drive.RootDir->Children)[0]);
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->SaveTo(dest.path() + "\\"));
  EXPECT_FALSE(started);
  EXPECT_TRUE(std::any_of(v.log.lines.begin(), v.log.lines.end(), [](const AnsiString& l) {
    return l.rfind("EXCEPTION occured: ", 0) == 0 && l.find("(TNTFSfile.SaveTo file big.bin") != std::string::npos;
  }));
}
