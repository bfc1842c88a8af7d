// Shared by Ldiskio and Pdiskio: the device handle each keeps open between
// calls, and a drive-parameter record filled from a DISK_GEOMETRY answer.
// Internal to the sector units.
#pragma once

#include <cstdint>

#include "Volumes.h"
#include "WinApi.h"

enum class AccessMode { Read, Write };

// One handle kept open for one drive number and access mode; asking for
// another drive or mode replaces it.
struct KeptHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint8_t drive = 0;
  AccessMode mode = AccessMode::Read;
  uint64_t generation = 0;  // of the bindings when opened: a rebound letter is opened afresh

  bool IsOpenFor(uint8_t d, AccessMode m) const {
    return handle != INVALID_HANDLE_VALUE && drive == d && mode == m && generation == VolumeBindingsGeneration();
  }
  void Close() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  // Remembers what was opened (an invalid handle too); true when it is valid.
  bool Keep(HANDLE opened, uint8_t d, AccessMode m) {
    handle = opened;
    generation = VolumeBindingsGeneration();
    drive = d;
    mode = m;
    return handle != INVALID_HANDLE_VALUE;
  }
  // From the start, with the 64-bit high part.
  bool SeekTo(uint64_t offset) const {
    LONG high = static_cast<LONG>(offset >> 32);
    return SetFilePointer(handle, static_cast<LONG>(offset), &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
  }
};

// Removable, the geometry, TotalSectors as their product and MediaKind from
// the media type (other media types leave MediaKind alone). False when the
// product doesn't fit TotalSectors: such a volume can't be addressed here.
template <class Params>
bool FillParamsFromGeometry(const DISK_GEOMETRY& g, Params& params) {
  params.Removable = 0;
  params.Cylinders = static_cast<uint32_t>(g.Cylinders);
  params.Heads = g.TracksPerCylinder;
  params.SectorsPerTrack = g.SectorsPerTrack;
  params.BytesPerSector = g.BytesPerSector;
  uint64_t total = 0;
  const bool fits = g.Cylinders >= 0 &&
                    !__builtin_mul_overflow(static_cast<uint64_t>(g.Cylinders), uint64_t{g.TracksPerCylinder}, &total) &&
                    !__builtin_mul_overflow(total, uint64_t{g.SectorsPerTrack}, &total) && total <= UINT32_MAX;
  params.TotalSectors = static_cast<uint32_t>(total);
  const uint32_t media = g.MediaType;
  if (media == Unknown) {
    params.MediaKind = 0;
  } else if (media == RemovableMedia) {
    params.MediaKind = 2;
    params.Removable = 1;
  } else if (media == FixedMedia) {
    params.MediaKind = 3;
  } else if ((media >= 1 && media <= 10) || (media >= 13 && media <= 22)) {
    params.MediaKind = 1;  // the floppy formats
    params.Removable = 1;
  }
  return fits;
}
