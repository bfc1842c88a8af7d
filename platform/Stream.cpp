// The stream base both systems share; file streams are each system's own.
#include "Stream.h"

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
