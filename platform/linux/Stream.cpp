// A host file as a stream, over a file descriptor.
#include "Stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {
int Fd(intptr_t file) { return static_cast<int>(file); }
}  // namespace

FileStream::FileStream(const std::string& hostPath, Mode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::ReadWrite: flags |= O_RDWR; break;
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  file_ = ::open(hostPath.c_str(), flags, 0666);
  if (file_ < 0) throw EStreamError("Cannot open file \"" + hostPath + "\"");
}

FileStream::~FileStream() {
  if (file_ >= 0) ::close(Fd(file_));
}

int32_t FileStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = ::read(Fd(file_), buffer, static_cast<size_t>(count));
  while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t FileStream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do n = ::write(Fd(file_), buffer, static_cast<size_t>(count));
  while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t FileStream::Seek(int32_t offset, uint16_t origin) { return static_cast<int32_t>(Seek64(offset, origin)); }

int64_t FileStream::Seek64(int64_t offset, uint16_t origin) {
  const int whence = origin == soFromCurrent ? SEEK_CUR : origin == soFromEnd ? SEEK_END : SEEK_SET;
  const off_t at = ::lseek(Fd(file_), static_cast<off_t>(offset), whence);
  return at < 0 ? -1 : static_cast<int64_t>(at);
}

void FileStream::SetSize(int64_t size) {
  if (::ftruncate(Fd(file_), static_cast<off_t>(size)) != 0) throw EStreamError("Stream write error");
}
