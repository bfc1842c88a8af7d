// TStream: the abstract byte stream hosts read file contents through. A
// derived stream overrides Read, Write and the 32-bit Seek; Position and Size
// are built on Seek. Writing to a stream that doesn't override Write raises
// EAbstractError, as does reading from one that doesn't override Read.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

constexpr uint16_t soFromBeginning = 0;
constexpr uint16_t soFromCurrent = 1;
constexpr uint16_t soFromEnd = 2;

struct EAbstractError : std::logic_error {
  EAbstractError() : std::logic_error("Abstract Error") {}
};
struct EStreamError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class TStream {
 public:
  virtual ~TStream() = default;

  // Bytes actually transferred, 0 at the end or on failure.
  virtual int32_t Read(void* buffer, int32_t count);
  virtual int32_t Write(const void* buffer, int32_t count);
  // Returns the new position.
  virtual int32_t Seek(int32_t offset, uint16_t origin);
  virtual int64_t Seek64(int64_t offset, uint16_t origin);

  int64_t Position() { return Seek64(0, soFromCurrent); }
  virtual void SetPosition(int64_t position) { Seek64(position, soFromBeginning); }
  // The end found by seeking there; the position is put back.
  virtual int64_t Size();
  virtual void SetSize(int64_t /*size*/) {}

  // Whole transfers or EStreamError ("Stream read error" / "Stream write error").
  void ReadBuffer(void* buffer, int32_t count);
  void WriteBuffer(const void* buffer, int32_t count);
};

// A host file as a stream, for hosts that want one (e.g. to copy out to).
class FileStream : public TStream {
 public:
  enum class Mode { Read, ReadWrite, Create };
  // Throws EStreamError when the file can't be opened.
  FileStream(const std::string& hostPath, Mode mode);
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int32_t Seek(int32_t offset, uint16_t origin) override;
  int64_t Seek64(int64_t offset, uint16_t origin) override;
  void SetSize(int64_t size) override;

 private:
  intptr_t file_ = -1;  // the system's descriptor or handle
};
