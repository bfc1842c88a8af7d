// A host that forgot Initialize(): every disk entry point fails and says why,
// and the same calls work once the module is started.
#include <gtest/gtest.h>

#include "DeviceList.h"
#include "Diskfs.h"
#include "ImageDevice.h"
#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "Ntfs.h"
#include "Pdiskio.h"
#include "ScratchDir.h"
#include "ScriptedSource.h"
#include "ToolProcess.h"
#include "WinApi.h"

namespace {

constexpr uint32_t kSectors = 32768;

TEST(WithoutInitialize, DiskEntryPointsFailNotReadyAndWorkOnceStarted) {
  ScratchDir dir;
  const std::string img = dir / "fat.img";
  ASSERT_TRUE(RunQuietly("mkfs.fat -C -F 16 " + img + " " + std::to_string(kSectors / 2)));
  const char letter = NextFreeLetter();
  ScopedLetter bound(letter, OpenImageSource(img));
  const uint8_t number = uint8_t(letter - 'A' + 1);
  // Under ctest this process never started the module; when the whole program
  // runs in one process, stop what earlier tests started and restart it after.
  int started = 0;
  for (; MoxIsInitialized(); ++started) Finalize();

  auto notReady = [](bool ok, const char* call) {
    EXPECT_FALSE(ok) << call;
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY) << call << ": " << SysErrorMessage(GetLastError());
    SetLastError(ERROR_SUCCESS);
  };
  std::vector<std::string> log;
  TDeviceList devices;
  devices.DetectDevices([&log](TObject*, const AnsiString& line) { log.push_back(line); });
  notReady(devices.count() > 0, "DetectDevices");
  EXPECT_GE(log.size(), 2u) << "the host's log handler is taken before Initialize too";

  TLogDriveParams logical{};
  TPhysDriveParams physical{};
  notReady(GetLogDriveParams(number, logical), "GetLogDriveParams");
  notReady(GetPhysDriveParams(128, physical), "GetPhysDriveParams");

  TDevice device;
  device.Kind = 1;
  device.DriveNumber = number;
  device.TotalSectors = kSectors;
  device.BytesPerSector = 512;
  TDevice disk;
  disk.DriveNumber = 128;
  disk.TotalSectors = kSectors;
  disk.BytesPerSector = 512;
  std::vector<uint8_t> sector(512);
  notReady(device.ReadSec(0, 1, sector.data(), true), "ReadSec of a volume");
  notReady(disk.ReadSec(0, 1, sector.data(), true), "ReadSec of a disk");

  TFATdrive fat;
  fat.Device = &device;
  fat.TotalSectors = kSectors;
  notReady(fat.MountDrive(false), "FAT MountDrive");
  TNTFSdrive ntfs;
  ntfs.Device = &device;
  ntfs.TotalSectors = kSectors;
  notReady(ntfs.MountDrive(false), "NTFS MountDrive");
  TDriveList drives;
  drives.DetectDrives(&device);
  notReady(drives.count() > 0, "DetectDrives");

  Initialize();
  for (int i = 1; i < started; ++i) Initialize();
  EXPECT_TRUE(GetLogDriveParams(number, logical));
  EXPECT_EQ(logical.TotalSectors, kSectors);
  EXPECT_TRUE(device.ReadSec(0, 1, sector.data(), true));
  EXPECT_TRUE(fat.MountDrive(false));
  devices.DetectDevices(nullptr);
  bool found = false;
  for (int i = 0; i < devices.count(); ++i) found = found || devices.GetDevice(i)->DriveNumber == number;
  EXPECT_TRUE(found);
  drives.DetectDrives(&device);
  EXPECT_EQ(drives.count(), 1);
  if (started == 0) Finalize();
}

}  // namespace
