// moxvolscan save on NTFS: folders and the whole volume come out with their
// deleted items, a file that fails does not end its folder, and a file an
// image cuts short is kept as far as it goes, as icat reads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "ItemText.h"
#include "NtfsOracle.h"
#include "ScratchDir.h"
#include "ToolProcess.h"

using namespace ntfsoracle;
namespace fs = std::filesystem;

namespace {

// File path -> MFT record, as "ls --deleted --json" lists them.
std::map<std::string, std::string> ListedFiles(const std::string& image) {
  std::map<std::string, std::string> files;
  for (const std::string& line : Lines(RunTool({"ls", image, "--deleted", "--json"}).out))
    if (JsonField(line, "type") == "file") files[JsonField(line, "path")] = JsonField(line, "mft");
  return files;
}

std::map<std::string, std::string> SavedFiles(const std::string& dest) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dest))
    if (e.is_regular_file()) files[fs::relative(e.path(), dest).string()] = ReadHostFile(e.path());
  return files;
}

TEST(NtfsSaveWhole, FoldersAndTheRootComeOutWithTheirDeletedItems) {
  const std::string image = FixtureImage("ntfs4k");
  const auto listed = ListedFiles(image);
  ScratchDir dest;
  const ToolResult r = RunTool({"save", image, "/", dest.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto saved = SavedFiles(dest.path());
  ASSERT_EQ(saved.size(), listed.size());
  for (const auto& [path, record] : listed) {
    ASSERT_TRUE(saved.count(path)) << path;
    if (path.rfind("many/", 0) != 0) EXPECT_EQ(saved.at(path), RunProgram({"icat", image, record}).out) << path;
  }
  EXPECT_EQ(Lines(r.err).back().rfind("moxvolscan save: " + std::to_string(listed.size()) + " saved (", 0), 0u)
      << r.err;
  ScratchDir docs;
  ASSERT_EQ(RunTool({"save", image, "Docs", docs.path()}).exitCode, 0);
  EXPECT_EQ(fs::file_size(docs / "Docs/Reports/summary.doc"), 9000u);  // deleted in a live folder
}

TEST(NtfsSaveWhole, AFileThatFailsDoesNotEndItsFolder) {
  ScratchDir dest;
  fs::create_directories(dest / "Trash/early.txt/in the way");  // the first file of Trash
  const ToolResult r = RunTool({"save", FixtureImage("ntfs4k"), "Trash", dest.path(), "--overwrite", "all"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(dest / "Trash/early.txt: cannot write the file; not saved"), std::string::npos) << r.err;
  for (const char* rest : {"thrown away.txt", "Old stuff/OLD.DAT", "Old stuff/Older/oldest.txt"})
    EXPECT_TRUE(fs::exists(dest / ("Trash/" + std::string(rest)))) << rest;
  EXPECT_EQ(Lines(r.err).back(), "moxvolscan save: 3 saved (8600 bytes), 0 short, 0 reused, 0 skipped, 1 failed");
}

TEST(NtfsSaveWhole, AnImageCutInsideAFileGivesWhatIsThere) {
  ScratchDir dir;
  const std::string image = dir / "cut.img";
  fs::copy_file(FixtureImage("ntfs4k"), image);
  const std::string record = ListedFiles(image).at("Deleted big.bin");  // 20,000 bytes in 4 KiB clusters
  const ToolResult first = RunProgram({"sh", "-c", "istat \"$0\" \"$1\" | tail -1 | cut -d' ' -f1", image, record});
  ASSERT_FALSE(first.out.empty()) << first.err;
  fs::resize_file(image, std::stoull(first.out) * 4096 + 8192);
  const std::string icat = RunProgram({"icat", image, record}).out;
  ASSERT_EQ(icat.size(), 8192u);

  const ToolResult cat = RunTool({"cat", image, "Deleted big.bin"});
  EXPECT_EQ(cat.exitCode, 1);
  EXPECT_EQ(cat.out, icat);
  EXPECT_NE(cat.err.find("Deleted big.bin: only 8192 of 20000 bytes could be read"), std::string::npos) << cat.err;
  const ToolResult save = RunTool({"save", image, "Deleted big.bin", dir / "out"});
  EXPECT_EQ(save.exitCode, 1);
  EXPECT_EQ(ReadHostFile(dir / "out/Deleted big.bin"), icat);
  EXPECT_EQ(Lines(save.err).back(), "moxvolscan save: 1 saved (8192 bytes), 1 short, 0 reused, 0 skipped, 0 failed");
}

}  // namespace
