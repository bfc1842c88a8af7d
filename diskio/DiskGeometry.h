// Shared by Ldiskio and Pdiskio: a drive-parameter record filled from a
// DISK_GEOMETRY answer. Internal to the sector units.
#pragma once

#include <cstdint>

#include "WinApi.h"

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
