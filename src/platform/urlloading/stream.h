// Byte streams of the URL loading layer: input streams that a request body
// is read from, and output streams that a response body is written to.
//
// The streams here are synchronous: a read or a write does its work at once
// and answers the byte count, 0 at the end of an input stream, or -1 on
// failure, after which status() is kError and error() says why. Statuses
// use the platform's numbers: 0 not open, 2 open, 5 at end, 6 closed,
// 7 error.
//
// Thread safety: a stream is used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform::urlloading {

enum class StreamStatus : std::uint64_t {
  kNotOpen = 0,
  kOpening = 1,
  kOpen = 2,
  kReading = 3,
  kWriting = 4,
  kAtEnd = 5,
  kClosed = 6,
  kError = 7,
};

class InputStream {
 public:
  virtual ~InputStream() = default;
  virtual void open() = 0;
  virtual void close() = 0;
  // Up to `maxLength` bytes into `buffer`; 0 at the end, -1 on failure.
  virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual bool hasBytesAvailable() const = 0;
  virtual StreamStatus streamStatus() const = 0;
  virtual Error streamError() const = 0;
};

// Reads a byte buffer.
class DataInputStream : public InputStream {
 public:
  explicit DataInputStream(Bytes data) : data_(std::move(data)) {}
  void open() override;
  void close() override { status_ = StreamStatus::kClosed; }
  long read(std::uint8_t* buffer, std::size_t maxLength) override;
  bool hasBytesAvailable() const override;
  StreamStatus streamStatus() const override { return status_; }
  Error streamError() const override { return {}; }

 private:
  Bytes data_;
  std::size_t offset_ = 0;
  StreamStatus status_ = StreamStatus::kNotOpen;
};

// Reads a file; opening a file that cannot be opened is a stream error.
class FileInputStream : public InputStream {
 public:
  explicit FileInputStream(std::string path) : path_(std::move(path)) {}
  ~FileInputStream() override;
  void open() override;
  void close() override;
  long read(std::uint8_t* buffer, std::size_t maxLength) override;
  bool hasBytesAvailable() const override;
  StreamStatus streamStatus() const override { return status_; }
  Error streamError() const override { return error_; }

 private:
  std::string path_;
  int fd_ = -1;
  StreamStatus status_ = StreamStatus::kNotOpen;
  Error error_;
};

class OutputStream {
 public:
  virtual ~OutputStream() = default;
  virtual void open() = 0;
  virtual void close() = 0;
  // Writes up to `length` bytes; the count written, or -1 on failure.
  virtual long write(const std::uint8_t* bytes, std::size_t length) = 0;
  virtual bool hasSpaceAvailable() const = 0;
  virtual StreamStatus streamStatus() const = 0;
  virtual Error streamError() const = 0;
  // The bytes written so far, for a stream that keeps them in memory.
  virtual std::optional<Bytes> dataWrittenToMemory() const { return std::nullopt; }
  // The current offset of a file stream.
  virtual std::optional<std::uint64_t> fileCurrentOffset() const { return std::nullopt; }
  // Drops everything written so far (a download that starts afresh); false
  // when the stream cannot do that.
  virtual bool discardWrittenData() { return false; }
};

// Keeps everything written in memory. Writing is possible while open.
class MemoryOutputStream : public OutputStream {
 public:
  void open() override;
  void close() override;
  long write(const std::uint8_t* bytes, std::size_t length) override;
  bool hasSpaceAvailable() const override;
  StreamStatus streamStatus() const override;
  Error streamError() const override { return {}; }
  std::optional<Bytes> dataWrittenToMemory() const override;
  bool discardWrittenData() override;

 private:
  mutable std::mutex mutex_;  // the data is read from other threads at pause time
  Bytes data_;
  StreamStatus status_ = StreamStatus::kNotOpen;
};

// Writes to a file (created owner-only when absent; appended to when `append`).
class FileOutputStream : public OutputStream {
 public:
  FileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
  ~FileOutputStream() override;
  void open() override;
  void close() override;
  long write(const std::uint8_t* bytes, std::size_t length) override;
  bool hasSpaceAvailable() const override;
  StreamStatus streamStatus() const override;
  Error streamError() const override;
  std::optional<std::uint64_t> fileCurrentOffset() const override;
  bool discardWrittenData() override;

 private:
  mutable std::mutex mutex_;
  std::string path_;
  bool append_;
  int fd_ = -1;
  std::uint64_t offset_ = 0;
  StreamStatus status_ = StreamStatus::kNotOpen;
  Error error_;
};

}  // namespace platform::urlloading
