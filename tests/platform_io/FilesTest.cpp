// The file calls over raw sources bound to letters and physical drives, and
// over host files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <climits>
#include <filesystem>
#include <vector>

#include "ScratchDir.h"
#include "ScriptedSource.h"
#include "Volumes.h"
#include "WinApi.h"

namespace {

struct HandleCloser {
  HANDLE h;
  ~HandleCloser() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

HANDLE OpenDevice(const char* name, DWORD access) {
  return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Read-only sources refuse write access, query handles cannot read, and
// unbound, malformed and foreign handles are refused.
TEST(DeviceHandles, WhatMayNotBeOpenedOrReadIsRefused) {
  for (const char* name : {"\\\\.\\Q:", "\\\\.\\PhysicalDrive77", "\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive1x",
                           "\\\\.\\Q:\\", "\\\\.\\1:", "\\\\.\\PhysicalDrive99999999999"})
    EXPECT_EQ(OpenDevice(name, GENERIC_READ), INVALID_HANDLE_VALUE) << name;
  auto src = std::make_shared<ScriptedSource>(64 * 512);
  ScopedLetter letter('Q', src);
  EXPECT_EQ(OpenDevice("\\\\.\\Q:", GENERIC_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenDevice("\\\\.\\Q:", GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
  HandleCloser query{OpenDevice("\\\\.\\q:", 0)};
  ASSERT_NE(query.h, INVALID_HANDLE_VALUE);
  uint8_t buf[512];
  DWORD n = 7;
  EXPECT_FALSE(ReadFile(query.h, buf, 512, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(src->reads.empty());
  EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  KernelObject other;
  EXPECT_FALSE(WriteFile(&other, buf, 4, &n, nullptr));
  EXPECT_EQ(SetFilePointer(&other, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
}

TEST(DeviceHandles, SixtyFourBitPositionsAndTheEndOfTheSource) {
  const uint64_t size = 9ull << 30;  // served from the pattern
  auto src = std::make_shared<ScriptedSource>(size);
  ScopedLetter letter('Q', src);
  HandleCloser h{OpenDevice("\\\\.\\Q:", GENERIC_READ)};
  ASSERT_NE(h.h, INVALID_HANDLE_VALUE);

  const uint64_t at = 0x1FFFFFE00ull;  // beyond 4 GiB, low part with the top bit set
  LONG high = static_cast<LONG>(at >> 32);
  EXPECT_EQ(SetFilePointer(h.h, static_cast<LONG>(at), &high, FILE_BEGIN), static_cast<DWORD>(at));
  EXPECT_EQ(high, 1);
  uint8_t buf[1024];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h.h, buf, sizeof buf, &got, nullptr));
  ASSERT_EQ(got, sizeof buf);
  EXPECT_EQ(buf[777], ScriptedSource::Pattern(at + 777));

  // Without the high part the distance is signed: -512 from the current position.
  EXPECT_EQ(SetFilePointer(h.h, -512, nullptr, FILE_CURRENT), static_cast<DWORD>(at + 512));
  high = -1;  // with the high part, -100 is spelt in both halves
  EXPECT_EQ(SetFilePointer(h.h, -100, &high, FILE_END), static_cast<DWORD>(size - 100));
  EXPECT_EQ(high, static_cast<LONG>((size - 100) >> 32));
  ASSERT_TRUE(ReadFile(h.h, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(got, 100u);  // a read over the end is short, not an error
  ASSERT_TRUE(ReadFile(h.h, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(SetFilePointer(h.h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(DeviceHandles, FailuresOfTheSourceBecomeFailedCalls) {
  auto src = std::make_shared<ScriptedSource>(64 * 512, true);
  src->failReads = {0};
  src->failWrites = {0};
  ScopedLetter letter('Q', src);
  HandleCloser h{OpenDevice("\\\\.\\Q:", GENERIC_READ | GENERIC_WRITE)};
  ASSERT_NE(h.h, INVALID_HANDLE_VALUE);
  uint8_t buf[512] = {};
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h.h, buf, 512, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
  EXPECT_FALSE(WriteFile(h.h, buf, 512, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  // A volume does not grow: a write over its end writes what fits and fails.
  SetFilePointer(h.h, 63 * 512, nullptr, FILE_BEGIN);
  const std::vector<uint8_t> two(1024, 0xAB);
  EXPECT_FALSE(WriteFile(h.h, two.data(), 1024, &n, nullptr));
  EXPECT_EQ(n, 512u);
  EXPECT_EQ(GetLastError(), ERROR_SECTOR_NOT_FOUND);
  EXPECT_EQ(src->Bytes().back(), 0xAB);
}

DISK_GEOMETRY Geometry(HANDLE h, DWORD code, BOOL& ok) {
  DISK_GEOMETRY g{};
  DWORD returned = 0;
  ok = DeviceIoControl(h, code, nullptr, 0, &g, sizeof g, &returned, nullptr);
  if (ok) {
    EXPECT_EQ(returned, sizeof g);
  }
  return g;
}

uint64_t Product(const DISK_GEOMETRY& g) { return uint64_t(g.Cylinders) * g.TracksPerCylinder * g.SectorsPerTrack; }

TEST(DeviceGeometry, MultipliesOutToTheTrueSectorCountAndOnlyCdRomsAnswerAsOne) {
  struct Case {
    uint64_t sectors;
    uint32_t sectorSize;
    UINT type;
    uint32_t media;
  } cases[] = {{2880, 512, DRIVE_REMOVABLE, F3_1Pt44_512}, {2880, 512, DRIVE_FIXED, FixedMedia},
               {255 * 63 * 2, 512, DRIVE_FIXED, FixedMedia}, {10007, 512, DRIVE_REMOVABLE, RemovableMedia},
               {7919, 4096, DRIVE_FIXED, FixedMedia}, {1000, 2048, DRIVE_CDROM, FixedMedia}};
  for (const auto& c : cases) {
    ScopedLetter letter('Q', std::make_shared<ScriptedSource>(c.sectors * c.sectorSize + 100), c.type, c.sectorSize);
    HandleCloser h{OpenDevice("\\\\.\\Q:", 0)};
    BOOL ok;
    const auto g = Geometry(h.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Product(g), c.sectors) << c.sectors;
    EXPECT_EQ(g.BytesPerSector, c.sectorSize);
    EXPECT_EQ(g.MediaType, c.media) << c.sectors;
    EXPECT_FALSE(DeviceIoControl(h.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &ok, sizeof ok, nullptr, nullptr));
    EXPECT_EQ(Product(Geometry(h.h, IOCTL_CDROM_GET_DRIVE_GEOMETRY, ok)), c.type == DRIVE_CDROM ? c.sectors : 0);
    EXPECT_TRUE(DeviceIoControl(h.h, IOCTL_STORAGE_CHECK_VERIFY, nullptr, 0, nullptr, 0, nullptr, nullptr));
  }
}

TEST(HostFiles, DispositionsTimesAttributesAndFolders) {
  ScratchDir dir;
  const std::string path = dir / "f.bin";
  auto open = [](const std::string& p, DWORD access, DWORD how) {
    return CreateFileA(p.c_str(), access, 0, nullptr, how, 0, nullptr);
  };
  CloseHandle(open(path, GENERIC_WRITE, CREATE_NEW));
  EXPECT_EQ(open(path, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(dir / "none", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(dir.path(), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);

  // Through the Z: letter, with Windows separators.
  std::string zPath = "\\\\?\\Z:" + path;
  std::replace(zPath.begin() + 6, zPath.end(), '/', '\\');
  HANDLE h = open(zPath, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  char buf[1];
  ASSERT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));  // opened for writing only
  // 1,000,000,000.5 s after 1970; the creation time is ignored.
  const uint64_t ticks = 116444736000000000ull + 1000000000ull * 10000000 + 5000000;
  const FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  ASSERT_TRUE(SetFileTime(h, &ft, nullptr, &ft));
  CloseHandle(h);
  EXPECT_EQ(ReadHostFile(path), "x");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec), std::pair(time_t(1000000000), long(500000000)));

  // Hidden lives in the Samba attribute where xattrs work (read-only taking the
  // write bits: the program's save test).
  EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  char value[32] = {};
  const bool xattrs = ::getxattr(path.c_str(), "user.DOSATTRIB", value, sizeof value) > 0;
  EXPECT_TRUE(!xattrs || std::string(value) == "0x3") << value;
  EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY | (xattrs ? FILE_ATTRIBUTE_HIDDEN : 0));
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  EXPECT_EQ(GetFileAttributesA((dir / "none").c_str()), INVALID_FILE_ATTRIBUTES);

  const std::string sub = dir / "sub";
  ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA((dir / "no/such").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  // Read-only is not applied to folders: their children must stay writable.
  ASSERT_TRUE(SetFileAttributesA(sub.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(CreateDirectoryA((sub + "/child").c_str(), nullptr));
}

// Below a letter bound to a folder nothing is opened, made or moved through
// a symbolic link; the folder itself may be one.
TEST(HostFiles, LetterPathsNeverCrossALink) {
  ScratchDir dir;
  WriteHostFile(dir / "out/kept", "mine");
  for (auto [from, to] : {std::pair{"out", "in"}, {"out", "out/folder"}, {"out/kept", "out/file"}})
    ::symlink((dir / from).c_str(), (dir / to).c_str());
  DriveBinding b;
  b.rootDir = dir / "in";
  ASSERT_TRUE(BindDriveLetter('Q', b));
  for (const char* path : {"Q:\\file", "Q:\\folder\\new", "Q:\\folder\\..\\..\\folder\\x"}) {
    EXPECT_EQ(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME) << path;
  }
  EXPECT_FALSE(CreateDirectoryA("Q:\\folder\\sub", nullptr));
  EXPECT_EQ(GetFileAttributesA("Q:\\file"), FILE_ATTRIBUTE_REPARSE_POINT);
  CloseHandle(CreateFileA("Q:\\new", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  EXPECT_FALSE(MoveFileExA("Q:\\new", "Q:\\file", MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(MoveFileExA("Q:\\new", "Q:\\kept", MOVEFILE_REPLACE_EXISTING));
  UnbindDriveLetter('Q');
  EXPECT_EQ(std::filesystem::file_size(dir / "out/kept"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "out/new"));
}

// A folder renamed by a call is looked up again: a link put where it stood
// is refused, and nothing follows the folder to its new name.
TEST(HostFiles, AFolderRenamedAwayIsLookedUpAgain) {
  ScratchDir dir;
  std::filesystem::create_directories(dir / "in/a");
  std::filesystem::create_directory(dir / "out");
  DriveBinding b;
  b.rootDir = dir / "in";
  ASSERT_TRUE(BindDriveLetter('Q', b));
  HandleCloser one{CreateFileA("Q:\\a\\one", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
  ASSERT_NE(one.h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(MoveFileExA("Q:\\a", "Q:\\b", 0));
  ::symlink((dir / "out").c_str(), (dir / "in/a").c_str());
  EXPECT_EQ(CreateFileA("Q:\\a\\two", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
  UnbindDriveLetter('Q');
  EXPECT_FALSE(std::filesystem::exists(dir / "in/b/two"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out/two"));
}

// A path longer than the kernel takes in one call is reached a folder at a
// time, and a link on the way is refused there too.
TEST(HostFiles, DeepLetterPathsAreReachedWithoutCrossingALink) {
  ScratchDir dir;
  const std::string root = dir / "in";
  std::filesystem::create_directory(root);
  DriveBinding b;
  b.rootDir = root;
  ASSERT_TRUE(BindDriveLetter('Q', b));
  std::string path = "Q:";
  std::vector<std::string> hosts{root};
  for (char level = 'a'; level < 'a' + 22; ++level) {
    path += "\\" + std::string(200, level);
    if (hosts.back().size() < 3000) hosts.push_back(hosts.back() + "/" + std::string(200, level));
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path.size();
  }
  ASSERT_GT(path.size(), size_t{PATH_MAX});
  HandleCloser made{CreateFileA((path + "\\file").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)};
  EXPECT_NE(made.h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(MoveFileExA((path + "\\file").c_str(), (path + "\\kept").c_str(), 0));
  // Between two saves, each binding its destination, the second folder
  // becomes a link to itself moved outside.
  std::filesystem::rename(hosts[2], dir / "out");
  ::symlink((dir / "out").c_str(), hosts[2].c_str());
  UnbindDriveLetter('Q');
  ASSERT_TRUE(BindDriveLetter('Q', b));
  EXPECT_EQ(CreateFileA((path + "\\new").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_EQ(GetFileAttributesA((path + "\\kept").c_str()), INVALID_FILE_ATTRIBUTES);
  UnbindDriveLetter('Q');
  // Cut in two so that both halves can be removed by their paths.
  std::filesystem::rename(dir / ("out" + hosts[12].substr(hosts[2].size())), dir / "lower");
}

}  // namespace
