// moxvolscan recover on NTFS and on a whole disk, against tsk_recover and
// ntfsundelete --undelete.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ItemText.h"
#include "NtfsOracle.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

using namespace ntfsoracle;
namespace fs = std::filesystem;

namespace {

// What recover saved, under the paths tsk_recover gives: it puts an item
// whose folder is gone straight into $OrphanFiles, where we keep the
// "MFT n" folder that tells which folder it was.
std::map<std::string, std::string> AsTskPlacesThem(const std::string& dir) {
  std::map<std::string, std::string> files;
  const std::string orphans = "$OrphanFiles/MFT ";
  for (const auto& [path, data] : FilesUnder(dir))
    files[path.rfind(orphans, 0) == 0 ? "$OrphanFiles" + path.substr(path.find('/', orphans.size())) : path] = data;
  return files;
}

std::map<std::string, std::string> TskRecover(const std::string& image, const std::string& into,
                                              const std::string& offset = "") {
  std::vector<std::string> argv{"tsk_recover"};
  if (!offset.empty()) argv.insert(argv.end(), {"-o", offset});
  argv.insert(argv.end(), {image, into});
  EXPECT_EQ(RunProgram(argv).exitCode, 0);
  return FilesUnder(into);
}

TEST(NtfsRecover, GetsBackWhatTskRecoverDoes) {
  for (const std::string& name : FixtureNames()) {
    SCOPED_TRACE(name);
    const std::string image = FixtureImage(name);
    ScratchDir work;
    const auto expected = TskRecover(image, work / "tsk");
    uint64_t bytes = 0;
    for (const auto& [path, data] : expected) bytes += data.size();
    const ToolResult r = RunTool({"recover", image, work / "ours"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(AsTskPlacesThem(work / "ours"), expected);
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(Lines(r.err).back(), "moxvolscan recover: " + std::to_string(expected.size()) + " saved (" +
                                       std::to_string(bytes) + " bytes), 0 short, 0 reused, 0 skipped, 0 failed; 0 "
                                       "left out by the filters");
  }
}

// ntfsundelete writes every file into one folder, each rounded up to whole
// clusters: the same files, ours their exact size.
TEST(NtfsRecover, AgreesWithNtfsundelete) {
  const std::string image = FixtureImage("ntfs512");
  ScratchDir work;
  fs::create_directories(work / "undelete");
  ASSERT_EQ(RunProgram({"ntfsundelete", image, "--undelete", "--match", "*", "--force", "--destination",
                        work / "undelete"})
                .exitCode,
            0);
  const auto theirs = FilesUnder(work / "undelete");
  ASSERT_EQ(RunTool({"recover", image, work / "ours"}).exitCode, 0);
  const auto ours = FilesUnder(work / "ours");
  EXPECT_EQ(ours.size(), theirs.size());
  for (const auto& [path, data] : ours) {
    const std::string name = fs::path(path).filename().string();
    ASSERT_TRUE(theirs.count(name)) << path;
    EXPECT_EQ(theirs.at(name).substr(0, data.size()), data) << path;
  }
}

TEST(NtfsRecover, AWholeDiskGivesEachVolumeItsFolder) {
  ScratchDir disks;
  ASSERT_TRUE(RunQuietly("bash " MOX_SOURCE_DIR "/tests/partitions/make_disks.sh " + disks.path() + " " MOX_SOURCE_DIR));
  const std::string mbr = disks / "mbr.img";  // FAT32 partition 1 at 2048, NTFS 5 at 71680
  ScratchDir work;
  const ToolResult r = RunTool({"recover", mbr, work / "all"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(FilesUnder(work / "all/1"), TskRecover(mbr, work / "tsk1", "2048"));
  EXPECT_EQ(AsTskPlacesThem(work / "all/5"), TskRecover(mbr, work / "tsk5", "71680"));
  EXPECT_EQ(Lines(r.err).back().rfind("moxvolscan recover: 10 saved (", 0), 0u) << r.err;
  // One partition named goes into DEST itself, the dry run's paths without the number.
  ASSERT_EQ(RunTool({"recover", mbr, work / "five", "--partition", "5"}).exitCode, 0);
  EXPECT_EQ(FilesUnder(work / "five"), FilesUnder(work / "all/5"));
  const ToolResult dry = RunTool({"recover", "--dry-run", mbr, "--match", "**/*.doc"});
  EXPECT_EQ(dry.out, "file         9000  intact   5/Docs/Reports/summary.doc\n");

  // The NTFS boot sector lost: its copy still leads to the volume. The FAT32
  // one and its copy gone under an ext superblock: a volume not covered, which
  // fails the run.
  const std::string damaged = disks / "damaged.img";
  fs::copy_file(mbr, damaged);
  {
    std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(4096, '\0');
    f.seekp(71680 * 512), f.write(zeros.data(), 512);
    f.seekp(2048 * 512), f.write(zeros.data(), 4096);
    f.seekp(2048 * 512 + 1080), f.write("\x53\xEF", 2);
  }
  const ToolResult lost = RunTool({"recover", damaged, work / "damaged"});
  EXPECT_EQ(lost.exitCode, 1);
  EXPECT_EQ(FilesUnder(work / "damaged/5"), FilesUnder(work / "all/5"));
  EXPECT_NE(lost.err.find("damaged.img: partition 5: no usable boot sector at sector 0; read through its NTFS copy"),
            std::string::npos)
      << lost.err;
  EXPECT_NE(lost.err.find("damaged.img: partition 1 (ext2/ext3/ext4) passed over: an ext2/ext3/ext4 file system, "
                          "which this program does not read\n"),
            std::string::npos)
      << lost.err;
}

}  // namespace
