// Device and drive detection over the drive-letter namespace.
//
// The one place the disk library reaches above itself: detection makes the
// drives of the file systems it finds, as the registry of file systems says.
#include "DeviceList.h"

#include <cstdio>
#include <stdexcept>
#include <string>

#include "FileSystems.h"
#include "Ldiskio.h"
#include "Volumes.h"
#include "WinApi.h"

bool DevicesStarted();  // with the unit's start-up, in DevicesUnit.cpp

namespace {

std::string Root(uint8_t driveNumber) { return std::string(1, char(driveNumber + 64)) + ":\\"; }

void Log(const std::string& text) { dbg->DebugOut(text); }

// The letter stands for the host's whole file tree (Z: from the start), not
// a volume: its raw source, if it has one, is whatever disk the host booted
// from, and a host never asked for that.
bool IsHostRoot(char letter) {
  const auto binding = GetDriveBinding(letter);
  return binding && binding->rootDir == "/";
}

template <typename T>
T* At(const std::vector<std::unique_ptr<T>>& list, int index) {
  if (index < 0 || size_t(index) >= list.size()) throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  return list[size_t(index)].get();
}

}  // namespace

TDeviceList::~TDeviceList() { clear(); }

void TDeviceList::clear() { devices_.clear(); }

int TDeviceList::count() const { return int(devices_.size()); }

int TDeviceList::IndexOf(const TDevice* device) const {
  for (size_t i = 0; i < devices_.size(); ++i)
    if (devices_[i].get() == device) return int(i);
  return -1;
}

TDevice* TDeviceList::GetDevice(int index) const { return At(devices_, index); }

AnsiString TDeviceList::GetDeviceText(int index, bool withSize) const {
  const TDevice* d = GetDevice(index);
  AnsiString text;
  if (d->Kind == 1) text = std::string(1, char(d->DriveNumber + 64)) + ":";
  if (withSize) {
    // Sectors count as 512 bytes here, whatever the device's sector size.
    const double mb = d->TotalSectors / 2048.0;
    char size[64];
    if (mb >= 1000)
      std::snprintf(size, sizeof size, "%.2f GB)", mb / 1024);
    else
      std::snprintf(size, sizeof size, "%.2f MB)", mb);
    text += "   (";
    text += size;
  }
  return text;
}

void TDeviceList::DetectDevices(TDebugOutEvent log) {
  dbg->OnDebugOut = std::move(log);
  Log("");
  Log("detect devices... (TDeviceList.DetectDevices)");
  // Before the module's start-up no device could be read: an empty list and
  // the reason say more than devices that fail every read.
  if (!DevicesStarted()) {
    Log("  not initialized, no device detected (TDeviceList.DetectDevices)");
    SetLastError(ERROR_NOT_READY);
    return;
  }
  for (uint8_t number = 3; number <= 26; ++number) {
    const std::string root = Root(number);
    if (IsHostRoot(char(number + 64))) continue;
    const UINT type = GetDriveTypeA(root.c_str());
    if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED && type != DRIVE_CDROM && type != DRIVE_RAMDISK) continue;
    TLogDriveParams params{};
    if (!GetLogDriveParams(number, params)) continue;
    // The device keeps its sector size in 16 bits.
    if (params.BytesPerSector > 65535) continue;
    Log("  device found: " + root + ", TotalSec: " + std::to_string(params.TotalSectors) +
        " (of device if running WinNT), BytesPerSec: " + std::to_string(params.BytesPerSector) +
        ", MediaAttr: " + std::to_string(params.Removable) + " (TDevice.DetectDevices)");
    auto device = std::make_unique<TDevice>();
    TDevice* d = device.get();
    devices_.push_back(std::move(device));
    d->DeviceFlags = 0;
    d->Kind = 1;
    d->DriveNumber = number;
    const UINT again = GetDriveTypeA(root.c_str());
    if (again >= 2 && again <= 6) d->DriveType = uint8_t(again);
    d->TotalSectors = params.TotalSectors;
    d->BytesPerSector = uint16_t(params.BytesPerSector);
    if (params.Removable & 1) d->MediaAttr |= 1;
    d->DetectCacheLineSize();
  }
  for (int i = 0; i < count(); ++i) devices_[size_t(i)]->Text = GetDeviceText(i, false);
  Log("................................done...(TDeviceList.DetectDevices)");
}

TDriveList::~TDriveList() { clear(); }

void TDriveList::clear() { drives_.clear(); }

int TDriveList::count() const { return int(drives_.size()); }

TCustomDrive* TDriveList::GetDrive(int index) const { return At(drives_, index); }

void TDriveList::DetectDrives(TDevice* device) {
  if (!device) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return;
  }
  Log("");
  Log("detect drives on device " + device->Text + "... (TDriveList.DetectDrives)");
  // The read only proves the device can be read; what it holds is not looked at.
  std::vector<uint8_t> sector(device->BytesPerSector ? device->BytesPerSector : 512);
  const bool readable = device->ReadSec(0, 1, sector.data(), device->MediaAttr != 1);
  if (readable && !(device->DeviceFlags & 1)) {
    const std::string root = Root(device->DriveNumber);
    char volumeName[256] = {}, fileSystem[256] = {};
    DWORD maxComponent = 0, flags = 0;
    if (GetVolumeInformationA(root.c_str(), volumeName, sizeof volumeName, nullptr, &maxComponent, &flags,
                              fileSystem, sizeof fileSystem)) {
      Log("  drive found: " + root + ", filesystem: " + fileSystem + ", volname: " + volumeName +
          " (TDriveList.DetectDrives)");
      const FileSystemType* type = FileSystemDetected(fileSystem);
      std::unique_ptr<TCustomDrive> drive = type ? type->makeDrive() : nullptr;
      if (drive) {
        TCustomDrive* d = drive.get();
        drives_.push_back(std::move(drive));
        d->IsLost = false;
        d->Device = device;
        d->BootSector = 0;
        d->FirstSector = 0;
        d->TotalSectors = device->TotalSectors;
        d->MountDrive(false);
      }
    }
  }
  Log("................................done...(TDriveList.DetectDrives)");
}

void TDriveList::AddVirtualDrive(TDevice* device, TCustomDrive* drive, uint32_t bootSector, uint32_t firstSector,
                                 uint32_t totalSectors, bool mountFlag) {
  drives_.emplace_back(drive);
  drive->IsLost = true;
  drive->Device = device;
  drive->BootSector = bootSector;
  drive->FirstSector = firstSector;
  drive->TotalSectors = totalSectors;
  drive->MountDrive(mountFlag);
  drive->Name += " (lost)";
}
