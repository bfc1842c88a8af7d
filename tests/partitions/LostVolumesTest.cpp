// Volumes a partition table lost, found again: the disks of make_disks.sh
// with an entry deleted by sfdisk or a boot sector zeroed, searched by the
// program, and each volume opened with the command the search prints.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ItemText.h"
#include "LostVolumes.h"
#include "Partitions.h"
#include "ScratchDir.h"
#include "ToolProcess.h"
#include "Volumes.h"

namespace {

struct Disks {
  ScratchDir dir;
  std::string mbr = dir / "mbr.img", gpt = dir / "gpt.img";
  bool made = RunQuietly("bash " MOX_SOURCE_DIR "/tests/partitions/make_disks.sh " + dir.path() + " " MOX_SOURCE_DIR);
};

const Disks& TheDisks() {
  static Disks disks;
  return disks;
}

// A copy of a disk with entries deleted as a user deletes them, and sectors zeroed.
std::string Damaged(const ScratchDir& scratch, const std::string& disk, const std::vector<int>& deleted,
                    const std::vector<uint64_t>& zeroed = {}) {
  const std::string copy = scratch / std::filesystem::path(disk).filename().string();
  std::filesystem::copy_file(disk, copy);
  for (const int n : deleted) EXPECT_TRUE(RunQuietly("sfdisk -q --delete " + copy + " " + std::to_string(n)));
  std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
  const std::string zeros(512, '\0');
  for (const uint64_t sector : zeroed) f.seekp(std::streamoff(sector * 512)).write(zeros.data(), 512);
  return copy;
}

// Whether mmls lists the sector inside one of its "Unallocated" slots.
bool InUnallocated(const std::string& disk, uint64_t sector) {
  for (const std::string& line : Lines(RunProgram({"mmls", disk}).out)) {
    std::istringstream cols(line);
    std::string slot, kind;
    uint64_t start = 0, end = 0;
    if (cols >> slot >> kind >> start >> end && kind == "-------" && line.find("Unallocated") != std::string::npos &&
        start <= sector && sector <= end)
      return true;
  }
  return false;
}

class LostVolumes : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TheDisks().made) << "needs sfdisk, mkfs.fat, mtools, mkntfs, ntfscp, xz"; }
  ScratchDir scratch;
};

// What the search prints, and that its command lists what the partition
// listed before its entry went.
TEST_F(LostVolumes, DeletedEntryIsFoundAndItsCommandOpensIt) {
  const Disks& d = TheDisks();
  const struct {
    std::string disk;
    int entry;
    std::vector<uint64_t> zeroed;
    std::string line;
  } cases[] = {
      {d.gpt, 2, {}, "sector 69632      8.0 MiB     NTFS   \"Fixture ntfs512\"  boot sector, copy at 86015"},
      {d.mbr, 1, {}, "sector 2048       33.0 MiB    FAT32  \"FATPART\"      boot sector, copy at 2054"},
      // The boot sector zeroed too: the copy tells where the volume starts.
      {d.gpt, 2, {69632}, "sector 69632      8.0 MiB     NTFS   \"Fixture ntfs512\"  copy at 86015"},
      {d.mbr, 1, {2048}, "sector 2048       33.0 MiB    FAT32  \"FATPART\"      copy at 2054"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    const std::string disk = Damaged(dir, c.disk, {c.entry}, c.zeroed);
    SCOPED_TRACE(c.line);
    const ToolResult r = RunTool({"drives", "--search", disk});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0].compare(0, c.line.size(), c.line), 0) << lines[0];
    const std::string sector = c.line.substr(7, c.line.find(' ', 7) - 7);
    const std::string command = "moxvolscan ls --sector " + sector + " " + disk;
    ASSERT_NE(lines[0].find("free space  " + command), std::string::npos) << lines[0];
    // mmls does not search, but it tells the free space the volume lies in.
    EXPECT_TRUE(InUnallocated(disk, std::stoull(sector)));

    const ToolResult found = RunTool({"ls", "--sector", sector, disk});
    const ToolResult before = RunTool({"ls", "--partition", std::to_string(c.entry), c.disk});
    EXPECT_EQ(found.exitCode, 0) << found.err;
    EXPECT_EQ(found.out, before.out);
    EXPECT_GE(Lines(before.out).size(), 3u);
  }
}

TEST_F(LostVolumes, JsonTellsHowItWasFoundAndWhatItOverlaps) {
  // Partition 1's boot sector zeroed, its entry kept: the search sees no
  // volume there, so it searches it and finds the volume through its copy.
  const std::string disk = Damaged(scratch, TheDisks().mbr, {}, {2048});
  const ToolResult r = RunTool({"drives", "--search", "--json", disk});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(lines[0], "{\"source\":\"" + disk +
                          "\",\"sector\":2048,\"size\":34603008,\"file_system\":\"FAT32\",\"volume_name\":\"FATPART\","
                          "\"boot_sector\":false,\"copy_sector\":2054,\"overlaps\":[1],\"past_end\":false,"
                          "\"opens\":true,\"command\":\"moxvolscan ls --sector 2048 " +
                          disk + "\"}");
}

TEST_F(LostVolumes, IntactTableLeavesNothingToFind) {
  const ToolResult r = RunTool({"drives", "--search", TheDisks().gpt});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.find("moxvolscan drives: " + TheDisks().gpt + ": no lost FAT or NTFS volume found ("), 0u) << r.err;
  const ToolResult usage = RunTool({"drives", "--search", "--sector", "2048", TheDisks().gpt});
  EXPECT_EQ(usage.exitCode, 2);
}

// The volume of an entry is passed by only as far as its boot sector says
// it reaches: an older volume in the rest of the entry is found, one inside
// the live volume's sectors is its data.
TEST_F(LostVolumes, OnlyTheLiveVolumesOwnSectorsArePassedBy) {
  const std::string disk = scratch / "disk.img";
  ASSERT_TRUE(RunQuietly("truncate -s 64M " + disk + " && printf 'label: dos\\nstart=2048, size=110592, type=c\\n' | "
                         "sfdisk -q " + disk));
  // The 33 MiB FAT32 volume of the GPT disk at 2048; its NTFS volume in the
  // FAT's free data clusters (at 20 MiB) and past its end (at 40 MiB).
  const struct {
    uint64_t from, count, to;
  } copies[] = {{2048, 67584, 2048}, {69632, 16384, 40960}, {69632, 16384, 81920}};
  for (const auto& c : copies)
    ASSERT_TRUE(RunQuietly("dd if=" + TheDisks().gpt + " of=" + disk + " bs=512 skip=" + std::to_string(c.from) +
                           " count=" + std::to_string(c.count) + " seek=" + std::to_string(c.to) +
                           " conv=notrunc status=none"));
  auto raw = OpenImageSource(disk);
  const LostVolumeSearch found = SearchLostVolumes(*raw, ReadPartitionTable(*raw));
  EXPECT_TRUE(found.finished);
  ASSERT_EQ(found.volumes.size(), 1u);
  const LostVolume& v = found.volumes[0];
  EXPECT_EQ(v.start, 81920u);
  EXPECT_EQ(v.fileSystem, "NTFS");
  EXPECT_EQ(v.sectors, 16384u);
  EXPECT_TRUE(v.bootSector);
  EXPECT_EQ(v.copy, 81920u + 16383);
  EXPECT_EQ(v.overlaps, std::vector<unsigned>{1});
}

// On a disk too large to look at every 4 KiB, an MBR-era volume a track
// after a cylinder boundary (255 heads of 63 sectors) is still found.
TEST_F(LostVolumes, VolumeATrackAfterACylinderIsFoundOnALargeDisk) {
  const std::string disk = scratch / "old.img";
  const uint64_t start = 10 * 16065 + 63;
  ASSERT_TRUE(RunQuietly("truncate -s 3G " + disk + " && mkfs.fat -F 16 -n OLDDISK -h " + std::to_string(start) +
                         " --offset " + std::to_string(start) + " " + disk + " 65536"));
  auto raw = OpenImageSource(disk);
  const LostVolumeSearch found = SearchLostVolumes(*raw, ReadPartitionTable(*raw));
  ASSERT_EQ(found.volumes.size(), 1u);
  EXPECT_EQ(found.volumes[0].start, start);
  EXPECT_EQ(found.volumes[0].fileSystem, "FAT");
  EXPECT_EQ(found.volumes[0].label, "OLDDISK");
  EXPECT_LT(found.places, 20000u);
}

// A 4Kn disk whose table is gone tells no sector size: it is counted in
// 512-byte sectors, and its volumes made for 4 KiB ones are found all the
// same, at sectors ls --sector opens.
TEST_F(LostVolumes, FourKilobyteVolumesOfADiskWithoutTableAreFound) {
  const std::string disk = TheDisks().dir / "gpt4k.img";  // the volumes, no GPT written
  const ToolResult r = RunTool({"drives", "--search", "--json", disk});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(JsonField(lines[0], "sector") + " " + JsonField(lines[0], "size") + " " + JsonField(lines[0], "volume_name"),
            "2048 283115520 FAT4K");
  EXPECT_EQ(JsonField(lines[1], "sector") + " " + JsonField(lines[1], "copy_sector") + " " +
                JsonField(lines[1], "volume_name"),
            "555008 587768 NTFS4K");
  EXPECT_EQ(RunTool({"cat", "--sector", "555008", disk, "Hello.txt"}).out, "hello from a partition\n");
}

// A search is bounded: at its cap of places, or when the caller stops it,
// it says where it stopped.
TEST_F(LostVolumes, SearchStopsAtItsCapOrWhenAsked) {
  auto raw = OpenImageSource(TheDisks().gpt);
  const PartitionTable table = ReadPartitionTable(*raw);
  LostVolumeLimits limits;
  limits.maxPlaces = 10;
  const LostVolumeSearch capped = SearchLostVolumes(*raw, table, limits);
  EXPECT_FALSE(capped.finished);
  EXPECT_EQ(capped.places, 10u);
  EXPECT_GT(capped.stoppedAt, 0u);

  limits = {};
  uint64_t calls = 0;
  limits.progress = [&](uint64_t, uint64_t) { return ++calls < 2; };
  const LostVolumeSearch stopped = SearchLostVolumes(*raw, table, limits);
  EXPECT_FALSE(stopped.finished);
  EXPECT_EQ(stopped.stoppedAt, 2 * (16u << 20) / 512);
}

}  // namespace
