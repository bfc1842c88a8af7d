// The volume namespace: drive letters A..Z, each bound to a host directory
// (for directory walking) and/or a raw source (for sector reads), plus
// separately bound physical drives. Modelled on how Wine maps drive letters.
//
// On Linux unbound letters do not exist, and Z: is bound to "/" from the
// start, so any host path is reachable as Z:\... . On Windows nothing is
// bound at first and an unbound letter is the system's own. Bindings may
// change at any time from any thread; readers get a snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "WinTypes.h"

// One piece of a scattered read: len bytes at offset into buffer. done
// receives what arrived (less only at the end of the source); ok is false
// after an I/O error.
struct ReadPiece {
  uint64_t offset = 0;
  void* buffer = nullptr;
  size_t len = 0;
  size_t done = 0;
  bool ok = false;
};

// Something sectors can be read from and written to at byte offsets: an image
// file, a block device, or a reader object the host supplies (tests use one to
// count calls and inject faults).
class RawSource {
 public:
  virtual ~RawSource() = default;
  // Reads up to len bytes at offset; done receives what arrived. False on an
  // I/O error; a read at or past the end succeeds with done < len.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t len, size_t& done) = 0;
  // Reads many pieces at once, each as ReadAt would; sources that can submit
  // them together override this.
  virtual void ReadManyAt(ReadPiece* pieces, size_t count) {
    for (size_t i = 0; i < count; ++i)
      pieces[i].ok = ReadAt(pieces[i].offset, pieces[i].buffer, pieces[i].len, pieces[i].done);
  }
  // Writes len bytes at offset; False when the source is read-only or fails.
  virtual bool WriteAt(uint64_t offset, const void* buffer, size_t len, size_t& done) = 0;
  virtual uint64_t Size() const = 0;
  virtual bool Writable() const = 0;
};

// Opens an image file or block device as a raw source; null when it can't be
// opened. Read-only unless writable is asked for.
std::shared_ptr<RawSource> OpenImageSource(const std::string& hostPath, bool writable = false);

// What the platform knows of a host image file or block device: the drive
// type (CD-ROM, removable, RAM disk, else fixed) and the sector size. An image
// holding an ISO 9660 volume counts as a CD-ROM with 2048-byte sectors; other
// images get the size their content tells (SectorSizeOfImage). False
// when the path is neither a file nor a block device.
bool DescribeHostDevice(const std::string& hostPath, UINT& driveType, uint32_t& sectorSize);

struct DriveBinding {
  std::string rootDir;              // host directory behind "X:\", empty for none
  std::shared_ptr<RawSource> raw;   // behind "\\.\X:", null for none
  UINT driveType = DRIVE_FIXED;     // what GetDriveTypeA answers
  uint32_t sectorSize = 512;        // bytes per sector of the raw source
  std::string fileSystemName;       // forced name; empty = read from the raw source or the mount table
};

// The one call a host uses to bind a letter ('A'..'Z', either case). Binding a
// directory that is a mount point without a raw source gives it that mount's
// block device (where it can be opened). False for a bad letter.
bool BindDriveLetter(char letter, DriveBinding binding);
void UnbindDriveLetter(char letter);
std::optional<DriveBinding> GetDriveBinding(char letter);
// The highest letter from 'Y' down that is unbound and not one the system
// has (Z: is the host root on Linux), 0 when none.
char FindFreeDriveLetter();

// Changes whenever a letter or physical drive is bound or unbound, so a
// handle kept open between calls can tell that its name now means another source.
uint64_t VolumeBindingsGeneration();

// "\\.\PhysicalDriveN".
bool BindPhysicalDrive(unsigned number, std::shared_ptr<RawSource> raw, uint32_t sectorSize = 512,
                       UINT driveType = DRIVE_FIXED);
void UnbindPhysicalDrive(unsigned number);
std::optional<DriveBinding> GetPhysicalDriveBinding(unsigned number);

// A Windows path ("X:\dir\name", with or without "\\?\") mapped to the host
// path under the letter's root directory, "\" turned into "/". Empty when the
// letter is unbound or has no directory. Never climbs above the letter's root.
std::string HostPathFromWindowsPath(const std::string& windowsPath);

// Drops the "\\?\" prefix when present.
std::string StripLongPathPrefix(const std::string& windowsPath);
