// Device and drive detection, and the program on whole disks: an MBR disk
// (FAT32 primary 1, NTFS logical 5) and a GPT disk (FAT32 1, NTFS 2) made
// with sfdisk, mkfs.fat and mtools, judged by fls at each partition's offset.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "DeviceList.h"
#include "Diskfs.h"
#include "ImageDevice.h"
#include "ItemText.h"
#include "Ntfs.h"
#include "Partitions.h"
#include "ScratchDir.h"
#include "ToolProcess.h"
#include "Volumes.h"

namespace {

struct Disks {
  ScratchDir dir;
  bool made = RunQuietly("bash " MOX_SOURCE_DIR "/tests/partitions/make_disks.sh " + dir.path() + " " MOX_SOURCE_DIR);
  std::string mbr = dir / "mbr.img", gpt = dir / "gpt.img";
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
  void SetUp() override { ASSERT_TRUE(TheDisks().made) << "needs sfdisk, mkfs.fat, mtools, xz"; }
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
  EXPECT_EQ(devices.IndexOf(devices.GetDevice(3)), 3);
  EXPECT_THROW(devices.GetDevice(4), std::out_of_range);

  // Sizes count 512-byte sectors, GB from 1000 MB on.
  devices.GetDevice(0)->TotalSectors = 2097152;
  devices.GetDevice(1)->TotalSectors = 2000000;
  EXPECT_EQ(devices.GetDeviceText(0, true), std::string(1, first) + ":   (1.00 GB)");
  EXPECT_EQ(devices.GetDeviceText(1, true).substr(2), "   (976.56 MB)");
}

// The drive class follows the name the platform gives the volume.
TEST_F(Detection, FileSystemNameChoosesTheDriveClass) {
  const std::map<std::string, std::string> cases = {
      {"FAT32", "TFATdrive"}, {"fat", "TFATdrive"}, {"NTFS", "TNTFSdrive"}, {"UDF", "-"}, {"CDFS", "-"}};
  for (const auto& [name, cls] : cases) {
    BoundPartitions parts(TheDisks().gpt, name);
    TDeviceList devices;
    devices.DetectDevices(nullptr);
    TDriveList drives;
    drives.DetectDrives(devices.GetDevice(0));
    std::string got = "-";
    if (drives.count() == 1)
      got = dynamic_cast<TNTFSdrive*>(drives.GetDrive(0)) ? "TNTFSdrive" : "TFATdrive";
    EXPECT_EQ(got, cls) << name;
  }
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

std::string Field(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  size_t from = at + key.size() + 3, to;
  if (line[from] == '"')
    to = line.find('"', ++from);
  else
    to = line.find_first_of(",}", from);
  return line.substr(from, to - from);
}

TEST_F(Detection, DrivesCommandListsEveryPartitionOfBothDisks) {
  const ToolResult r = RunTool({"drives", "--json", TheDisks().mbr, TheDisks().gpt});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::set<std::string> got;
  for (const std::string& line : Lines(r.out))
    got.insert(Field(line, "source").substr(Field(line, "source").rfind('/') + 1) + " " + Field(line, "partition") +
               " " + Field(line, "file_system") + " " + Field(line, "size") + " " + Field(line, "drive"));
  EXPECT_EQ(got, (std::set<std::string>{"mbr.img 1 FAT32 34603008 TFATdrive", "mbr.img 5 NTFS 8388608 TNTFSdrive",
                                        "gpt.img 1 FAT32 34603008 TFATdrive", "gpt.img 2 NTFS 8388608 TNTFSdrive"}));
}

// Live paths with sizes ("dir" for folders) as fls -o lists them.
std::map<std::string, std::string> Fls(const std::string& image, uint64_t sector) {
  std::map<std::string, std::string> out;
  for (const std::string& line :
       Lines(RunProgram({"fls", "-r", "-p", "-l", "-u", "-o", std::to_string(sector), image}).out)) {
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

TEST_F(Detection, LsOfAPartitionAgreesWithFlsAtItsOffset) {
  const struct {
    std::string image;
    int partition;
    uint64_t sector;
  } cases[] = {{TheDisks().mbr, 1, 2048}, {TheDisks().mbr, 5, 71680}, {TheDisks().gpt, 1, 2048}, {TheDisks().gpt, 2, 69632}};
  for (const auto& c : cases) {
    const ToolResult r = RunTool({"ls", "--json", "--partition", std::to_string(c.partition), c.image});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, std::string> ours;
    for (const std::string& line : Lines(r.out))
      ours[Field(line, "path")] = Field(line, "type") == "dir" ? "dir" : Field(line, "size");
    const auto fls = Fls(c.image, c.sector);
    EXPECT_GT(fls.size(), 3u);
    EXPECT_EQ(ours, fls) << c.image << " partition " << c.partition;
  }
}

TEST_F(Detection, WholeDiskWithoutAPartitionIsRefusedWithItsPartitions) {
  ToolResult r = RunTool({"ls", TheDisks().mbr});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "moxvolscan ls: " + TheDisks().mbr +
                       ": a partitioned disk (MBR); choose one with --partition N: 1 (FAT32, 33.0 MiB at sector "
                       "2048), 5 (NTFS, 8.0 MiB at sector 71680)\n");
  r = RunTool({"info", "--partition", "2", TheDisks().mbr});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("no partition 2 on this disk; its partitions: 1 (FAT32"), std::string::npos) << r.err;
  r = RunTool({"cat", "--partition", "1", TheDisks().gpt, "Hello.txt"});
  EXPECT_EQ(r.out, "hello from a partition\n");
  r = RunTool({"cat", "--partition", "x", TheDisks().gpt, "hello.txt"});
  EXPECT_EQ(r.exitCode, 2);
  r = RunTool({"scan", "--count", "--partition", "1", TheDisks().gpt});
  EXPECT_EQ(r.out, "3 files, 70028 bytes\n") << r.err;
}

}  // namespace
