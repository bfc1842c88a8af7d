// The Windows file, volume and directory services, reached with plain C++
// types only: the files that implement our API cannot include <windows.h>,
// whose names collide with ours. A failing call leaves the thread's last
// error as Windows set it. Handles are the system's, null for none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace native {

// Paths in our API are UTF-8; the system is called with UTF-16.
std::u16string Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::u16string& s);
// A path as a host or the library hands it over: UTF-8 where it is valid
// UTF-8, else in the ANSI code page (names the library read from a volume
// are ANSI text).
std::u16string PathToWide(const std::string& s);

void* Open(const char16_t* name, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);
bool CloseFile(void* h);
bool Read(void* h, void* buffer, uint32_t toRead, uint32_t* read);
bool Write(void* h, const void* buffer, uint32_t toWrite, uint32_t* written);
// Transfers at a byte offset of a synchronous handle (OVERLAPPED offset),
// as many calls as len takes; done tells what arrived. A read stops short at
// the end and is still true.
bool ReadAt(void* h, uint64_t offset, void* buffer, size_t len, size_t& done);
bool WriteAt(void* h, uint64_t offset, const void* buffer, size_t len, size_t& done);
uint32_t Seek(void* h, int32_t distance, int32_t* distanceHigh, uint32_t method);
// GetFileSizeEx.
bool FileSize(void* h, uint64_t& size);
// IOCTL_DISK_GET_LENGTH_INFO, for volumes and disks.
bool DeviceLength(void* h, uint64_t& size);
// IOCTL_DISK_GET_DRIVE_GEOMETRY's bytes per sector, 0 when it fails.
uint32_t DeviceSectorSize(void* h);
bool IoControl(void* h, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* returned);
// FILETIMEs in their Windows layout; null leaves a time alone.
bool SetTimes(void* h, const void* creation, const void* lastAccess, const void* lastWrite);
bool Truncate(void* h);

bool MakeDirectory(const char16_t* path);
uint32_t Attributes(const char16_t* path);
bool SetAttributes(const char16_t* path, uint32_t attributes);
bool Move(const char16_t* existing, const char16_t* newName, uint32_t flags);
bool Remove(const char16_t* path);

uint32_t DriveType(const char16_t* rootPath);
bool VolumeInformationA(const char* rootPath, char* volumeName, uint32_t volumeNameSize, uint32_t* serialNumber,
                           uint32_t* maxComponentLength, uint32_t* fileSystemFlags, char* fileSystemName,
                           uint32_t fileSystemNameSize);
bool VolumeInformationW(const char16_t* rootPath, char16_t* volumeName, uint32_t volumeNameSize,
                           uint32_t* serialNumber, uint32_t* maxComponentLength, uint32_t* fileSystemFlags,
                           char16_t* fileSystemName, uint32_t fileSystemNameSize);
bool DiskFreeSpace(const char16_t* rootPath, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                      uint32_t* freeClusters, uint32_t* totalClusters);
// The root of the volume holding path ("C:\", or a folder a volume is
// mounted on), with its final backslash; empty when it can't be told.
std::u16string VolumePathName(const char16_t* path);
// The "\\?\Volume{...}\" name of the volume mounted at a volume root;
// empty when there is none.
std::u16string VolumeNameOf(const char16_t* volumeRoot);
// The full path of a relative one; empty when it can't be told.
std::u16string FullPathName(const char16_t* path);
uint32_t LogicalDrives();

// The NT version numbers; false when they can't be read.
bool Version(uint32_t& major, uint32_t& minor, uint32_t& build, uint32_t& platformId);
uint32_t TickCount();
void* Allocate(size_t size, uint32_t allocationType, uint32_t protect);
bool Release(void* address);

// data points to a 592-byte find record, the layout both sides share.
void* FindFirst(const char16_t* pattern, void* data);
bool FindNext(void* search, void* data);
bool FindEnd(void* search);
uint32_t ErrorMode(uint32_t mode);

}  // namespace native
