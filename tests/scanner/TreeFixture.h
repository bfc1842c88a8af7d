// A scratch folder bound to a free drive letter, with helpers to grow a tree.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "ScratchDir.h"
#include "Volumes.h"

class TreeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    letter = FindFreeDriveLetter();
    ASSERT_NE(letter, 0);
    DriveBinding b;
    b.rootDir = dir.path();
    ASSERT_TRUE(BindDriveLetter(letter, b));
  }
  void TearDown() override { UnbindDriveLetter(letter); }

  // "X:\"
  std::u16string Root() const { return std::u16string(1, char16_t(letter)) + u":\\"; }

  void File(const std::string& rel, size_t size = 0) { WriteHostFile(dir / rel, std::string(size, 'x')); }
  void Dir(const std::string& rel) { std::filesystem::create_directories(dir / rel); }
  void Link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(symlink(target.c_str(), (dir / rel).c_str()), 0);
  }
  // dirs x files files spread over nested folders "dNN\eNN\fNNN".
  void Many(int dirs, int files) {
    for (int d = 0; d < dirs; ++d)
      for (int f = 0; f < files; ++f)
        File("d" + std::to_string(d) + "/e" + std::to_string(d % 3) + "/f" + std::to_string(f));
  }

  ScratchDir dir;
  char letter = 0;
};
