#include "platform/urlloading/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::urlloading {

void DataInputStream::open() {
  if (status_ == StreamStatus::kNotOpen) {
    status_ = data_.empty() ? StreamStatus::kAtEnd : StreamStatus::kOpen;
  }
}

long DataInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ != StreamStatus::kOpen) return 0;
  std::size_t n = std::min(maxLength, data_.size() - offset_);
  if (n) std::memcpy(buffer, data_.data() + offset_, n);
  offset_ += n;
  if (offset_ == data_.size()) status_ = StreamStatus::kAtEnd;
  return static_cast<long>(n);
}

bool DataInputStream::hasBytesAvailable() const { return status_ == StreamStatus::kOpen; }

FileInputStream::~FileInputStream() {
  if (fd_ >= 0) ::close(fd_);
}

void FileInputStream::open() {
  if (status_ != StreamStatus::kNotOpen) return;
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = Error::posix(errno, path_);
    status_ = StreamStatus::kError;
    return;
  }
  status_ = StreamStatus::kOpen;
}

void FileInputStream::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (status_ != StreamStatus::kError) status_ = StreamStatus::kClosed;
}

long FileInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ == StreamStatus::kError) return -1;
  if (status_ != StreamStatus::kOpen) return 0;
  ssize_t n;
  do {
    n = ::read(fd_, buffer, maxLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error_ = Error::posix(errno, path_);
    status_ = StreamStatus::kError;
    return -1;
  }
  if (n == 0 && maxLength > 0) status_ = StreamStatus::kAtEnd;
  return static_cast<long>(n);
}

bool FileInputStream::hasBytesAvailable() const { return status_ == StreamStatus::kOpen; }

void MemoryOutputStream::open() {
  std::lock_guard lock(mutex_);
  if (status_ == StreamStatus::kNotOpen) status_ = StreamStatus::kOpen;
}

void MemoryOutputStream::close() {
  std::lock_guard lock(mutex_);
  status_ = StreamStatus::kClosed;
}

long MemoryOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
  std::lock_guard lock(mutex_);
  if (status_ != StreamStatus::kOpen) return -1;
  data_.insert(data_.end(), bytes, bytes + length);
  return static_cast<long>(length);
}

bool MemoryOutputStream::hasSpaceAvailable() const {
  std::lock_guard lock(mutex_);
  return status_ == StreamStatus::kOpen;
}

StreamStatus MemoryOutputStream::streamStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

std::optional<Bytes> MemoryOutputStream::dataWrittenToMemory() const {
  std::lock_guard lock(mutex_);
  return data_;
}

bool MemoryOutputStream::discardWrittenData() {
  std::lock_guard lock(mutex_);
  data_.clear();
  return true;
}

bool FileOutputStream::discardWrittenData() {
  std::lock_guard lock(mutex_);
  if (fd_ < 0 || ::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) < 0) return false;
  offset_ = 0;
  return true;
}

FileOutputStream::~FileOutputStream() {
  if (fd_ >= 0) ::close(fd_);
}

void FileOutputStream::open() {
  std::lock_guard lock(mutex_);
  if (status_ != StreamStatus::kNotOpen) return;
  fd_ =
      ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC), 0600);
  if (fd_ < 0) {
    error_ = Error::posix(errno, path_);
    status_ = StreamStatus::kError;
    return;
  }
  struct stat st {};
  if (append_ && ::fstat(fd_, &st) == 0) offset_ = static_cast<std::uint64_t>(st.st_size);
  status_ = StreamStatus::kOpen;
}

void FileOutputStream::close() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (status_ != StreamStatus::kError) status_ = StreamStatus::kClosed;
}

long FileOutputStream::write(const std::uint8_t* bytes, std::size_t length) {
  std::lock_guard lock(mutex_);
  if (status_ != StreamStatus::kOpen) return -1;
  ssize_t n;
  do {
    n = ::write(fd_, bytes, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error_ = Error::posix(errno, path_);
    status_ = StreamStatus::kError;
    return -1;
  }
  offset_ += static_cast<std::uint64_t>(n);
  return static_cast<long>(n);
}

bool FileOutputStream::hasSpaceAvailable() const {
  std::lock_guard lock(mutex_);
  return status_ == StreamStatus::kOpen;
}

StreamStatus FileOutputStream::streamStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

Error FileOutputStream::streamError() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::optional<std::uint64_t> FileOutputStream::fileCurrentOffset() const {
  std::lock_guard lock(mutex_);
  return offset_;
}

}  // namespace platform::urlloading
