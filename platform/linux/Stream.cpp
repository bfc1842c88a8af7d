#include "Stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

int32_t TStream::Read(void*, int32_t) { throw EAbstractError(); }
int32_t TStream::Write(const void*, int32_t) { throw EAbstractError(); }

// The two Seeks are each other's default, so a stream overrides either.
int32_t TStream::Seek(int32_t offset, uint16_t origin) { return static_cast<int32_t>(Seek64(offset, origin)); }

int64_t TStream::Seek64(int64_t offset, uint16_t origin) {
  if (offset < INT32_MIN || offset > INT32_MAX) throw EStreamError("Stream seek out of range");
  return Seek(static_cast<int32_t>(offset), origin);
}

int64_t TStream::Size() {
  const int64_t here = Seek64(0, soFromCurrent);
  const int64_t end = Seek64(0, soFromEnd);
  Seek64(here, soFromBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

FileStream::FileStream(const std::string& hostPath, Mode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::ReadWrite: flags |= O_RDWR; break;
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  fd_ = ::open(hostPath.c_str(), flags, 0666);
  if (fd_ < 0) throw EStreamError("Cannot open file \"" + hostPath + "\"");
}

FileStream::~FileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int32_t FileStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = ::read(fd_, buffer, static_cast<size_t>(count));
  while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t FileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = ::write(fd_, buffer, static_cast<size_t>(count));
  while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t FileStream::Seek(int32_t offset, uint16_t origin) { return static_cast<int32_t>(Seek64(offset, origin)); }

int64_t FileStream::Seek64(int64_t offset, uint16_t origin) {
  const int whence = origin == soFromCurrent ? SEEK_CUR : origin == soFromEnd ? SEEK_END : SEEK_SET;
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
  return at < 0 ? -1 : static_cast<int64_t>(at);
}

void FileStream::SetSize(int64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) throw EStreamError("Stream write error");
}
