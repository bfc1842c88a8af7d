// A host file as a stream, over a Windows file handle.
#include "Stream.h"

#include "NativeFiles.h"
#include "WinApi.h"

namespace {
void* Handle(intptr_t file) { return reinterpret_cast<void*>(file); }
}  // namespace

FileStream::FileStream(const std::string& hostPath, Mode mode) {
  const DWORD access = mode == Mode::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const DWORD disposition = mode == Mode::Create ? CREATE_ALWAYS : OPEN_EXISTING;
  void* h = native::Open(native::PathToWide(hostPath).c_str(), access, FILE_SHARE_READ, disposition, 0);
  if (!h) throw EStreamError("Cannot open file \"" + hostPath + "\"");
  file_ = reinterpret_cast<intptr_t>(h);
}

FileStream::~FileStream() { native::CloseFile(Handle(file_)); }

int32_t FileStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  uint32_t got = 0;
  return native::Read(Handle(file_), buffer, static_cast<uint32_t>(count), &got) ? static_cast<int32_t>(got) : 0;
}

int32_t FileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  uint32_t done = 0;
  return native::Write(Handle(file_), buffer, static_cast<uint32_t>(count), &done) ? static_cast<int32_t>(done) : 0;
}

int32_t FileStream::Seek(int32_t offset, uint16_t origin) { return static_cast<int32_t>(Seek64(offset, origin)); }

int64_t FileStream::Seek64(int64_t offset, uint16_t origin) {
  const DWORD method = origin == soFromCurrent ? FILE_CURRENT : origin == soFromEnd ? FILE_END : FILE_BEGIN;
  LONG high = static_cast<LONG>(static_cast<uint64_t>(offset) >> 32);
  SetLastError(ERROR_SUCCESS);
  const DWORD low = native::Seek(Handle(file_), static_cast<LONG>(offset), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

void FileStream::SetSize(int64_t size) {
  const int64_t here = Seek64(0, soFromCurrent);
  if (here < 0 || Seek64(size, soFromBeginning) != size || !native::Truncate(Handle(file_)))
    throw EStreamError("Stream write error");
  Seek64(here, soFromBeginning);
}
