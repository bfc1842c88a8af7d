// Unit Devices, detection: TDeviceList turns the bound drive letters C: to Z:
// into TDevice objects; TDriveList mounts the FAT or NTFS volume of a device
// as a drive, or takes a drive the caller found elsewhere (AddVirtualDrive).
// Lists own what they hold; drives refer to devices they do not own, so a
// drive list goes before the device list it was filled from.
//
// Contract: needs the module's Initialize(); without it DetectDevices still
// takes the log handler but finds no device, DetectDrives mounts nothing, and
// both leave the last error ERROR_NOT_READY (ERROR_INVALID_PARAMETER for a
// null device). Detection and every drive it mounts are used by one thread at
// a time; detection logs through dbg and leaves out what it cannot open or
// mount rather than failing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Devices.h"

class TDeviceList : public TObject {
 public:
  TDeviceList() = default;  // Create
  ~TDeviceList() override;  // clear, then free the list
  TDeviceList(const TDeviceList&) = delete;
  TDeviceList& operator=(const TDeviceList&) = delete;

  void clear();
  int count() const;
  int IndexOf(const TDevice* device) const;  // -1 when not in the list
  TDevice* GetDevice(int index) const;       // throws std::out_of_range outside the list
  // "C:", with size "C:   (74.53 GB)"; sizes count 512-byte sectors.
  AnsiString GetDeviceText(int index, bool withSize) const;
  // Installs log as dbg's handler, then appends a device for every usable
  // letter from C: to Z: and rewrites every device's Text.
  void DetectDevices(TDebugOutEvent log);

 private:
  std::vector<std::unique_ptr<TDevice>> devices_;
};

class TDriveList : public TObject {
 public:
  TDriveList() = default;
  ~TDriveList() override;
  TDriveList(const TDriveList&) = delete;
  TDriveList& operator=(const TDriveList&) = delete;

  void clear();  // frees the drives and their trees, not their devices
  int count() const;
  TCustomDrive* GetDrive(int index) const;  // throws std::out_of_range outside the list
  // At most one mounted drive for the device's volume, the one the registry
  // of file systems gives for the name of its letter's file system; a failed
  // mount stays in the list.
  void DetectDrives(TDevice* device);
  // Takes drive over, mounts it at the given sectors and marks its name " (lost)".
  void AddVirtualDrive(TDevice* device, TCustomDrive* drive, uint32_t bootSector, uint32_t firstSector,
                       uint32_t totalSectors, bool mountFlag);

 private:
  std::vector<std::unique_ptr<TCustomDrive>> drives_;
};
