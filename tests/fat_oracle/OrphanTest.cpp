// $OrphanFiles on FAT: records in free clusters that no folder leads to,
// listed, read and addressed as The Sleuth Kit finds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "OracleSupport.h"

using namespace oracle;

namespace {

// Keep/Lost (holding two files and a folder Sub with one) deleted with
// mdeltree, then Lost's entry in Keep overwritten by a new file's, as a
// system reusing the slot does: nothing leads to Lost's cluster any more.
// A deleted file whose bytes spell an 8.3 name stands beside it.
class FatOrphans : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteHostFile(dir_ / "note.txt", "first lost file\n");
    WriteHostFile(dir_ / "data.bin", std::string(3000, 'D'));
    WriteHostFile(dir_ / "inner.txt", "inner\n");
    WriteHostFile(dir_ / "text.txt", "HELLOWORLD1");
    const std::vector<std::vector<std::string>> steps{
        {"mkfs.fat", "-F", "16", "-n", "ORPH", "-C", image_, "16384"},
        {"mmd", "-i", image_, "::/Keep", "::/Keep/Lost", "::/Keep/Lost/Sub"},
        {"mcopy", "-i", image_, dir_ / "note.txt", "::/Keep/Lost/Lost note.txt"},
        {"mcopy", "-i", image_, dir_ / "data.bin", "::/Keep/Lost/DATA.BIN"},
        {"mcopy", "-i", image_, dir_ / "inner.txt", "::/Keep/Lost/Sub/inner.txt"},
        {"mcopy", "-i", image_, dir_ / "text.txt", "::/TEXT.TXT"},
        {"mdeltree", "-i", image_, "::/Keep/Lost"},
        {"mdel", "-i", image_, "::/TEXT.TXT"},
    };
    for (const auto& step : steps) ASSERT_EQ(RunProgram(step).exitCode, 0) << step[0];
    // The deleted short entry of Lost becomes a live file's.
    std::string bytes = ReadHostFile(image_);
    size_t clobbered = 0;
    for (size_t at = 0; at + 32 <= bytes.size(); at += 32)
      if (uint8_t(bytes[at]) == 0xE5 && bytes.compare(at + 1, 10, "OST       ") == 0 && bytes[at + 11] == 0x10) {
        std::memcpy(&bytes[at], "NEWFILE TXT\x20", 12);
        std::memset(&bytes[at + 20], 0, 2);
        std::memset(&bytes[at + 26], 0, 6);
        ++clobbered;
      }
    ASSERT_EQ(clobbered, 1u);
    std::ofstream(image_, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  }
  ScratchDir dir_;
  const std::string image_ = dir_ / "orphans.img";
};

TEST_F(FatOrphans, ListedUnderOrphanFilesAsFlsFindsThemAndReadLikeOtherItems) {
  const ToolResult ls = RunTool({"ls", image_, "--deleted"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  std::vector<std::string> orphans;
  for (const std::string& line : Lines(ls.out))
    if (line.find("$OrphanFiles/") != std::string::npos) orphans.push_back(line.substr(line.find("$OrphanFiles/")));
  EXPECT_EQ(orphans, (std::vector<std::string>{"$OrphanFiles/Sub", "$OrphanFiles/Sub/_nner.txt",
                                               "$OrphanFiles/Lost note.txt", "$OrphanFiles/_ATA.BIN"}))
      << ls.out;
  EXPECT_NE(ls.out.find("dir             0  -                     ----                  $OrphanFiles\n"),
            std::string::npos);
  // fls finds the same four (under their short names), and nothing in the
  // deleted text file's cluster.
  size_t tsk = 0;
  for (const Entry& e : TskListing(image_)) tsk += e.path.rfind("$OrphanFiles/", 0) == 0;
  EXPECT_EQ(tsk, orphans.size());

  EXPECT_EQ(RunTool({"cat", image_, "$OrphanFiles/Lost note.txt"}).out, "first lost file\n");
  EXPECT_EQ(RunTool({"cat", image_, "$OrphanFiles/Sub/_nner.txt"}).out, "inner\n");
  const ToolResult json = RunTool({"ls", image_, "--deleted-only", "--json"});
  const auto lines = Lines(json.out);
  const auto data = std::find_if(lines.begin(), lines.end(),
                                 [](const std::string& l) { return l.find("_ATA.BIN") != std::string::npos; });
  ASSERT_NE(data, lines.end()) << json.out;
  EXPECT_NE(data->find("\"deleted\":true,\"condition\":1,"), std::string::npos) << *data;
  EXPECT_NE(data->find("\"orphan\":true"), std::string::npos) << *data;
  EXPECT_EQ(json.out.find("\"path\":\"$OrphanFiles\""), std::string::npos) << "the folder itself is not deleted";
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("\"orphan\":true") != std::string::npos; }),
            4);

  // Its entry address reaches the file even before anything listed it.
  const std::string entry = data->substr(data->find("\"entry\":\"") + 9);
  const ToolResult byEntry = RunTool({"cat", image_, "--entry", entry.substr(0, entry.find('"'))});
  EXPECT_EQ(byEntry.out, std::string(3000, 'D')) << byEntry.err;

  ScratchDir out;
  const ToolResult save = RunTool({"save", image_, "$OrphanFiles", out.path()});
  EXPECT_EQ(save.exitCode, 0) << save.err;
  EXPECT_EQ(ReadHostFile(out / "$OrphanFiles/Sub/_nner.txt"), "inner\n");
}

TEST_F(FatOrphans, AListingOfLiveItemsDoesNotSearchFreeClusters) {
  const ToolResult ls = RunTool({"ls", image_});
  EXPECT_EQ(ls.out.find("$OrphanFiles"), std::string::npos) << ls.out;
}

}  // namespace
