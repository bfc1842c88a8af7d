// Device and drive detection, and the program on whole disks: an MBR disk
// (FAT32 primary 1, NTFS logical 5) and a GPT disk (FAT32 1, NTFS 2) made
// with sfdisk, mkfs.fat and mtools, and a GPT disk of 4096-byte sectors,
// judged by fls at each partition's offset.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "BootSector.h"
#include "DeviceList.h"
#include "Diskfs.h"
#include "ImageDevice.h"
#include "ItemText.h"
#include "Ntfs.h"
#include "Partitions.h"
#include "ScratchDir.h"
#include "TestDisk.h"
#include "ToolProcess.h"
#include "Volumes.h"

namespace {

// The 4Kn disk's GPT at both ends (make_disks.sh placed the volumes).
bool WriteGpt4k(const std::string& path) {
  constexpr uint64_t kSectors = 288 * 256;
  const std::vector<GptEntry> entries = {{0, 256, 69375}, {1, 69376, 73471}};
  MemoryDisk head(6, 4096), tail(5, 4096, kSectors - 5);
  Protective(head, kSectors);
  WriteGpt(head, 1, 2, entries);
  WriteGpt(tail, kSectors - 1, kSectors - 5, entries);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.write(reinterpret_cast<const char*>(head.bytes.data()), std::streamsize(head.bytes.size()));
  f.seekp(std::streamoff(tail.At(tail.first)) + std::streamoff(tail.first * 4096));
  f.write(reinterpret_cast<const char*>(tail.bytes.data()), std::streamsize(tail.bytes.size()));
  return bool(f);
}

struct Disks {
  ScratchDir dir;
  std::string mbr = dir / "mbr.img", gpt = dir / "gpt.img", gpt4k = dir / "gpt4k.img";
  bool made = RunQuietly("bash " MOX_SOURCE_DIR "/tests/partitions/make_disks.sh " + dir.path() + " " MOX_SOURCE_DIR) &&
              WriteGpt4k(gpt4k);
};

const Disks& TheDisks() {
  static Disks disks;
  return disks;
}

// Partitions of a disk bound to letters as the program binds them; unbound at the end.
class BoundPartitions {
 public:
  explicit BoundPartitions(const std::string& image, const std::string& forcedName = "") {
    StartModule();
    auto raw = OpenImageSource(image);
    for (const PartitionEntry& e : ReadPartitionTable(*raw).entries) {
      DriveBinding b;
      b.raw = MakeSliceSource(raw, e.start, e.size);
      b.fileSystemName = forcedName;
      letters.push_back(NextFreeLetter());
      BindDriveLetter(letters.back(), b);
    }
  }
  ~BoundPartitions() {
    for (char l : letters) UnbindDriveLetter(l);
  }
  std::vector<char> letters;
};

std::string Root(char letter) { return std::string(1, letter) + ":\\"; }

class Detection : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TheDisks().made) << "needs sfdisk, mkfs.fat, mtools, mkntfs, ntfscp, xz"; }
  // The recorder dies with the test; later log lines must not reach it.
  void TearDown() override {
    if (dbg) dbg->OnDebugOut = nullptr;
  }
  TDebugOutEvent Recorder() {
    return [this](TObject*, const AnsiString& msg) { log.push_back(msg); };
  }
  std::vector<std::string> log;
};

TEST_F(Detection, FindsEachPartitionsVolumeWithItsClassSizeAndLog) {
  BoundPartitions parts(TheDisks().mbr);
  ASSERT_EQ(parts.letters.size(), 2u);
  TDeviceList devices;
  devices.DetectDevices(Recorder());
  ASSERT_EQ(devices.count(), 2);
  // Devices come in letter order.
  const char fatLetter = parts.letters[0], first = std::min(parts.letters[0], parts.letters[1]);
  const int fatIndex = fatLetter == first ? 0 : 1, ntfsIndex = 1 - fatIndex;
  const std::vector<std::string> head = {"", "detect devices... (TDeviceList.DetectDevices)",
                                         "  device found: " + Root(first) + ", TotalSec: " +
                                             (first == fatLetter ? "67584" : "16384") +
                                             " (of device if running WinNT), BytesPerSec: 512, "
                                             "MediaAttr: 0 (TDevice.DetectDevices)",
                                         "  DetectCacheLineSize (TDevice.DetectCacheLineSize)"};
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4), head);
  EXPECT_EQ(log.back(), "................................done...(TDeviceList.DetectDevices)");
  EXPECT_EQ(devices.GetDevice(fatIndex)->Text, std::string(1, fatLetter) + ":");
  TDevice* fatDevice = devices.GetDevice(fatIndex);

  TDriveList drives;
  log.clear();
  fatDevice->DeviceFlags = 1;  // skipped: no drive, only the frame of the log
  drives.DetectDrives(fatDevice);
  EXPECT_EQ(drives.count(), 0);
  EXPECT_EQ(log, (std::vector<std::string>{"", "detect drives on device " + std::string(1, fatLetter) +
                                                   ":... (TDriveList.DetectDrives)",
                                           "................................done...(TDriveList.DetectDrives)"}));
  fatDevice->DeviceFlags = 0;
  log.clear();
  drives.DetectDrives(fatDevice);
  drives.DetectDrives(devices.GetDevice(ntfsIndex));
  EXPECT_EQ(log[2], "  drive found: " + Root(fatLetter) + ", filesystem: FAT32, volname: FATPART (TDriveList.DetectDrives)");
  ASSERT_EQ(drives.count(), 2);
  auto* fat = dynamic_cast<TFATdrive*>(drives.GetDrive(0));
  auto* ntfs = dynamic_cast<TNTFSdrive*>(drives.GetDrive(1));
  ASSERT_TRUE(fat && ntfs);
  EXPECT_EQ(fat->TotalSectors, 67584u);
  EXPECT_EQ(fat->Name, "FATPART    ");  // the label field as it stands
  EXPECT_EQ(ntfs->TotalSectors, 16384u);

  // A second detection appends a second set and rewrites every text.
  devices.GetDevice(0)->Text = "stale";
  devices.DetectDevices(nullptr);
  EXPECT_EQ(devices.count(), 4);
  EXPECT_EQ(devices.GetDevice(0)->Text, devices.GetDevice(2)->Text);

  // Sizes count 512-byte sectors, GB from 1000 MB on.
  devices.GetDevice(0)->TotalSectors = 2097152;
  devices.GetDevice(1)->TotalSectors = 2000000;
  EXPECT_EQ(devices.GetDeviceText(0, true), std::string(1, first) + ":   (1.00 GB)");
  EXPECT_EQ(devices.GetDeviceText(1, true).substr(2), "   (976.56 MB)");
}

// The drive class follows the name the platform gives the volume: one that
// holds "NTFS" or "FAT" anywhere (exFAT too, whose drive then fails to mount
// and stays listed).
TEST_F(Detection, FileSystemNameChoosesTheDriveClass) {
  const std::map<std::string, std::string> cases = {{"FAT32", "TFATdrive"}, {"fat", "TFATdrive"},
                                                    {"NTFS", "TNTFSdrive"}, {"exFAT", "TFATdrive"},
                                                    {"UDF", "-"},           {"CDFS", "-"}};
  for (const auto& [name, cls] : cases) {
    BoundPartitions parts(TheDisks().gpt, name);
    TDeviceList devices;
    devices.DetectDevices(nullptr);
    TDriveList drives;
    drives.DetectDrives(devices.GetDevice(0));
    const auto* d = drives.count() == 1 ? drives.GetDrive(0) : nullptr;
    EXPECT_EQ(!d ? "-" : dynamic_cast<const TNTFSdrive*>(d) ? "TNTFSdrive" : "TFATdrive", cls) << name;
  }
}

// One recogniser names a volume from its first bytes, as its formatter made
// it; what Windows names is what GetVolumeInformation names.
TEST(Recogniser, NamesEachFamilyFromItsFirstBytes) {
  ScratchDir dir;
  const std::string img = dir / "v.img";
  const struct {
    const char* make;
    VolumeFormat format;
    const char* name;
    unsigned fatBits;
    uint64_t bytes;  // as the boot sector gives them, 0 when it does not
  } made[] = {
      {"mkfs.fat -F 12 -C $I 2048", VolumeFormat::Fat, "FAT", 12, 2048 << 10},
      {"mkfs.fat -F 16 -C $I 32768", VolumeFormat::Fat, "FAT", 16, 32768 << 10},
      {"mkfs.fat -F 32 -S 4096 -C $I 65536", VolumeFormat::Fat, "FAT32", 32, 65536 << 10},
      {"truncate -s 8M $I && mkntfs -q -F -f $I", VolumeFormat::Ntfs, "NTFS", 0, (8 << 20) - 512},
      {"truncate -s 4M $I && mkfs.ext4 -q -F $I", VolumeFormat::Ext, "ext2/ext3/ext4", 0, 0},
      {"truncate -s 1M $I && mkswap $I", VolumeFormat::Swap, "Linux swap", 0, 0},
      // Written where their formatters put them.
      {"truncate -s 1M $I && printf '\\353\\166\\220EXFAT   ' | dd of=$I conv=notrunc status=none && "
       "printf '\\0\\1\\0\\0\\0\\0\\0\\0' | dd of=$I bs=1 seek=72 conv=notrunc status=none && "
       "printf '\\14' | dd of=$I bs=1 seek=108 conv=notrunc status=none",
       VolumeFormat::Exfat, "exFAT", 0, 256 << 12},
      {"truncate -s 1M $I && printf XFSB | dd of=$I conv=notrunc status=none", VolumeFormat::Xfs, "XFS", 0, 0},
      {"head -c 64K /dev/urandom > $I", VolumeFormat::None, "", 0, 0},
  };
  for (const auto& m : made) {
    ASSERT_TRUE(RunQuietly("I=" + img + "; rm -f $I; " + m.make)) << m.make;
    const auto source = OpenImageSource(img);
    const RecognisedVolume v = RecogniseSource(*source);
    EXPECT_EQ(v.format, m.format) << m.make;
    EXPECT_STREQ(v.name, m.name) << m.make;
    EXPECT_EQ(v.fatBits, m.fatBits) << m.make;
    EXPECT_EQ(v.Bytes(), m.bytes) << m.make;
    BootSectorInfo info;
    const bool windows = m.format == VolumeFormat::Fat || m.format == VolumeFormat::Ntfs || m.format == VolumeFormat::Exfat;
    EXPECT_EQ(ReadBootSectorInfo(*source, info), windows) << m.make;
    EXPECT_EQ(info.fileSystemName, windows ? m.name : "") << m.make;
  }
}

// The ext magic at 1080 lies in the FAT of a FAT12 volume of 512-byte
// sectors, which may hold the same two bytes: the parameter block wins.
TEST(Recogniser, AFat12TableHoldingTheExtMagicIsStillFat) {
  ScratchDir dir;
  const std::string img = dir / "fat12.img";
  ASSERT_TRUE(RunQuietly("mkfs.fat -F 12 -C " + img + " 1440"));
  std::string bytes = ReadHostFile(img);
  bytes[1080] = '\x53', bytes[1081] = '\xEF';
  const RecognisedVolume v = RecogniseVolume(reinterpret_cast<const uint8_t*>(bytes.data()), kVolumeHeadBytes);
  EXPECT_EQ(v.format, VolumeFormat::Fat);
  EXPECT_EQ(v.fatBits, 12u);
  bytes[0] = 0;  // no jump: no parameter block
  EXPECT_EQ(RecogniseVolume(reinterpret_cast<const uint8_t*>(bytes.data()), kVolumeHeadBytes).format,
            VolumeFormat::Ext);
}

// An NTFS boot sector whose sector size is 0 and whose clusters are given as
// a power of two has no geometry: no cluster size is worked out from it.
TEST(Recogniser, AnNtfsNameWithoutASectorSizeIsNoSoundBootSector) {
  ScratchDir dir;
  std::string bytes(1 << 20, '\0');
  bytes.replace(0, 11, "\xEB\x52\x90NTFS    ");
  bytes[13] = '\xF4';
  bytes[510] = '\x55', bytes[511] = '\xAA';
  WriteHostFile(dir / "ntfs.img", bytes);
  const auto source = OpenImageSource(dir / "ntfs.img");
  const RecognisedVolume v = RecogniseSource(*source);
  EXPECT_EQ(v.format, VolumeFormat::Ntfs);
  EXPECT_FALSE(v.sound);
  BackupBootSector copy;
  EXPECT_FALSE(FindBackupBootSector(*source, copy));
}

// Z: is the host's whole tree, not a volume: detection passes it by, unless
// a host binds a volume there.
TEST_F(Detection, HostRootIsNoDeviceButAVolumeOnZIs) {
  TDeviceList devices;
  StartModule();
  devices.DetectDevices(nullptr);
  EXPECT_EQ(devices.count(), 0);
  const auto root = GetDriveBinding('Z');
  DriveBinding b;
  b.raw = OpenImageSource(TheDisks().mbr);
  BindDriveLetter('Z', b);
  devices.DetectDevices(nullptr);
  BindDriveLetter('Z', *root);
  ASSERT_EQ(devices.count(), 1);
  EXPECT_EQ(devices.GetDevice(0)->Text, "Z:");
}

// A volume whose table entry is lost, added at the sectors the user knows.
TEST_F(Detection, AddVirtualDriveMountsAtTheGivenSectorsAndMarksItLost) {
  ImageDevice disk(TheDisks().mbr);
  ASSERT_TRUE(disk.get());
  TDriveList drives;
  drives.AddVirtualDrive(disk.get(), new TFATdrive, 2048, 2048, 67584, false);
  drives.AddVirtualDrive(disk.get(), new TFATdrive, 71680, 71680, 16384, false);  // NTFS there: mount fails
  ASSERT_EQ(drives.count(), 2);
  EXPECT_EQ(drives.GetDrive(0)->Name, "FATPART     (lost)");
  EXPECT_TRUE(drives.GetDrive(0)->IsLost);
  EXPECT_EQ(drives.GetDrive(1)->Name, " (lost)");
  EXPECT_EQ(drives.GetDrive(1)->Device, disk.get());
}

// Live paths with sizes ("dir" for folders) as fls -o lists them.
std::map<std::string, std::string> Fls(const std::string& image, uint64_t sector, uint32_t sectorSize) {
  std::map<std::string, std::string> out;
  for (const std::string& line : Lines(RunProgram({"fls", "-r", "-p", "-l", "-u", "-b", std::to_string(sectorSize),
                                                   "-o", std::to_string(sector), image})
                                           .out)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line[2] == 'v' || line[2] == 'V') continue;
    std::vector<std::string> cols;
    std::istringstream rest(line.substr(tab + 1));
    for (std::string c; std::getline(rest, c, '\t');) cols.push_back(c);
    if (cols.size() < 6) continue;
    const std::string& path = cols[0];
    if (path[0] == '$' || path.find(':') != std::string::npos ||
        path.find("(Volume Label Entry)") != std::string::npos)
      continue;
    out[path] = line[2] == 'd' ? "dir" : cols[5];
  }
  return out;
}

// By partition number or, as for a lost entry, by start sector in the disk's
// own sectors.
TEST_F(Detection, LsOfAPartitionAgreesWithFlsAtItsOffset) {
  const Disks& d = TheDisks();
  const struct {
    std::string image, option;
    uint64_t value, sector;
    uint32_t sectorSize;
  } cases[] = {{d.mbr, "--partition", 1, 2048, 512},       {d.mbr, "--partition", 5, 71680, 512},
               {d.gpt, "--partition", 1, 2048, 512},       {d.gpt, "--partition", 2, 69632, 512},
               {d.mbr, "--sector", 71680, 71680, 512},     {d.gpt4k, "--partition", 1, 256, 4096},
               {d.gpt4k, "--partition", 2, 69376, 4096}, {d.gpt4k, "--sector", 69376, 69376, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image + " " + c.option + " " + std::to_string(c.value));
    const ToolResult r = RunTool({"ls", "--json", c.option, std::to_string(c.value), c.image});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, std::string> ours;
    for (const std::string& line : Lines(r.out))
      ours[JsonField(line, "path")] = JsonField(line, "type") == "dir" ? "dir" : JsonField(line, "size");
    const auto fls = Fls(c.image, c.sector, c.sectorSize);
    EXPECT_GE(fls.size(), 2u);
    EXPECT_EQ(ours, fls);
  }
}

// A whole disk without a place is refused with its partitions; a damaged
// table is told entry by entry; a lost volume is reached by its sector, and a
// sector without one is refused.
TEST_F(Detection, WholeDiskCommandsTellWhatTheTableHolds) {
  ScratchDir scratch;
  const std::string bad = scratch / "bad.img", mbr = TheDisks().mbr, gpt = TheDisks().gpt, gpt4k = TheDisks().gpt4k;
  std::filesystem::copy_file(mbr, bad);
  MemoryDisk sector0(1);
  sector0.Slot(0, 3, 0x07, 3000, 100);  // inside partition 1
  std::fstream(bad, std::ios::in | std::ios::out | std::ios::binary).seekp(446 + 48).write(
      reinterpret_cast<const char*>(&sector0.bytes[446 + 48]), 16);
  const std::string overlap = ": " + bad + ": partition entry 4 skipped: it overlaps partition 1\n";
  const std::string parts = "1 (FAT32, 33.0 MiB at sector 2048), 5 (NTFS, 8.0 MiB at sector 71680)\n";
  auto err = [](const std::string& command, const std::string& text) {
    return "moxvolscan " + command + ": " + text + "\n";
  };
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string err, outHas;  // outHas "": nothing on stdout
  } cases[] = {
      {{"ls", mbr}, 1, "moxvolscan ls: " + mbr + ": a partitioned disk (MBR); choose one with --partition N: " + parts,
       ""},
      {{"ls", gpt}, 1, "moxvolscan ls: " + gpt + ": a partitioned disk (GPT); choose one with --partition N: "
       "1 (FAT32, 33.0 MiB at sector 2048), 2 (NTFS, 8.0 MiB at sector 69632)\n", ""},
      {{"ls", gpt4k}, 1, "moxvolscan ls: " + gpt4k + ": a partitioned disk (GPT); choose one with --partition N: "
       "1 (FAT32, 270.0 MiB at sector 256), 2 (NTFS, 16.0 MiB at sector 69376)\n", ""},
      {{"info", "--partition", "2", mbr}, 1,
       "moxvolscan info: " + mbr + ": no partition 2 on this disk; its partitions: " + parts, ""},
      {{"cat", "--partition", "1", gpt, "Hello.txt"}, 0, "", "hello from a partition\n"},
      {{"cat", "--partition", "x", gpt, "hello.txt"}, 2,
       err("cat", "--partition takes a partition number (1, 2, ...)"), ""},
      {{"scan", "--count", "--partition", "1", gpt}, 0, "", "3 files, 70028 bytes\n"},
      {{"drives", bad}, 1, "moxvolscan drives" + overlap, "\"Fixture ntfs512\"  " + bad + " partition 5"},
      {{"ls", "--partition", "1", bad}, 0, "moxvolscan ls" + overlap, "Docs/Deep/Leaf note.txt"},
      {{"drives", "--sector", "2048", mbr}, 0, "", "\"FATPART\"  " + mbr + " sector 2048 (lost)"},
      {{"scan", "--count", "--sector", "2048", mbr}, 0, "", "3 files, 70028 bytes\n"},
      {{"ls", "--sector", "100", mbr}, 1, err("ls", mbr + ": no FAT or NTFS boot sector at sector 100 (of 512 bytes)"),
       ""},
      {{"info", "--sector", "92160", mbr}, 1,
       err("info", mbr + ": sector 92160 (of 512 bytes) lies past the end of the disk (90112 sectors)"), ""},
      {{"cat", "--sector", "2048", "--partition", "1", mbr, "Hello.txt"}, 2,
       err("cat", "--partition and --sector exclude each other"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ToolResult r = RunTool(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.err, c.err);
    if (c.outHas.empty())
      EXPECT_EQ(r.out, "");
    else
      EXPECT_NE(r.out.find(c.outHas), std::string::npos) << r.out;
  }
}

}  // namespace
