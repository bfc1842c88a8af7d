// What both fuzz targets share: the input bound to a drive letter as its raw
// source and a logical-volume TDevice over it, handed to the target's walk.
#pragma once

#include <memory>

#include "Devices.h"
#include "Ldiskio.h"
#include "Volumes.h"
#include "WinApi.h"

template <typename Walk>
void WithFuzzDevice(std::shared_ptr<RawSource> source, Walk walk) {
  // Two letters in turn: the volume handle the sector layer keeps open for a
  // drive number is then reopened for every input.
  static bool flip = false;
  flip = !flip;
  const char letter = flip ? 'X' : 'W';
  DriveBinding binding;
  binding.raw = std::move(source);
  binding.sectorSize = 512;
  if (!BindDriveLetter(letter, binding)) return;
  const uint8_t number = uint8_t(letter - 'A' + 1);
  TLogDriveParams params{};
  if (GetLogDriveParams(number, params)) {
    TDevice device;
    device.Kind = 1;
    device.DriveType = DRIVE_FIXED;
    device.TotalSectors = params.TotalSectors;
    device.BytesPerSector = uint16_t(params.BytesPerSector);
    device.DriveNumber = number;
    walk(device);
  }
  UnbindDriveLetter(letter);
}
