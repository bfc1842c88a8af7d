// The file systems this system knows and what it does with each: the one
// map of what it supports. The platform recognises a volume by its first
// bytes (BootSector.h); a row here says whether the volume is read, by which
// drive, which raw scanner the factory tries on it, and how it is named for
// a person when it is not read. Device detection, the scanner factory and
// the program ask here; none of them compares file-system names itself.
//
// Adding a file system: its recogniser in the platform, its row here, its
// drive in a folder of its own (and, for the program, its adapter).
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "BootSector.h"
#include "Devices.h"
#include "MoxVolumeScannerIntf.h"

struct FileSystemType {
  VolumeFormat format;  // what the recogniser calls it
  // How a person is told of it: article + name + kind, "an exFAT volume".
  const char* article;
  const char* kind;
  // Makes the drive that reads it; null when this system does not read it.
  std::unique_ptr<TCustomDrive> (*makeDrive)();
  // The raw scanner the factory tries before the directory walk; vsaAuto: none.
  TMoxVolumeScannerAPI rawScanner;

  bool Reads() const { return makeDrive != nullptr; }
  const char* Name() const { return VolumeFormatName(format); }
  std::string What() const;
};

// Every row: first those read, then the others.
std::span<const FileSystemType> FileSystemTypes();
// The row of what the recogniser found; null for VolumeFormat::None.
const FileSystemType* FileSystemOf(VolumeFormat format);
// The row of the file-system name the platform gives a volume
// (GetVolumeInformation: from its boot sector, the mount table or the host):
// a name beginning with a row's name, in any letter case, is that row's
// ("FAT12", "FAT32", "ntfs-3g"). Null for a name of no row ("CDFS", "vfat").
const FileSystemType* FileSystemNamed(std::string_view name);
const FileSystemType* FileSystemNamed(std::u16string_view name);
// The row whose drive device detection makes for a volume of that name: a
// row read here whose name the volume's contains, in any letter case, the
// longest such one ("NTFS", "FAT32", "exFAT" alike: hosts count the drives
// detection makes, and it has always made a FAT drive for every name holding
// "FAT", which then fails to mount where the volume is none). Null for none.
const FileSystemType* FileSystemDetected(std::string_view name);
// What this system reads, for messages: "FAT and NTFS".
std::string FileSystemsRead(const char* conjunction = "and");
