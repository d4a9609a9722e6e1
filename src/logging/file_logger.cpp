#include "logging/file_logger.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <typeinfo>

#include "logging/log.h"
#include "platform/foundation/format.h"

namespace logging {

namespace dispatch = platform::dispatch;

namespace {

// Runs of write failures reported so far, shared by every file logger.
std::atomic<int> gFailureReports{0};
constexpr int kMaxFailureReports = 10;

// Flushes a finished file to disk and closes it on a background queue, so
// the logger (and behind it every caller) never waits for the disk.
void syncAndCloseLater(int fd) {
  dispatch::Queue::global(dispatch::Priority::Background)->async([fd] {
    ::fdatasync(fd);
    ::close(fd);
  });
}

}  // namespace

// --- LKLogFileFormatterDefault ---------------------------------------------

LKLogFileFormatterDefault::LKLogFileFormatterDefault(std::string dateFormat)
    : dateFormat_(dateFormat.empty() ? "yyyy/MM/dd HH:mm:ss:SSS" : std::move(dateFormat)) {}

std::optional<std::string> LKLogFileFormatterDefault::formatLogMessage(
    const LKLogMessage& message) {
  std::string text;
  appendLogMessage(text, message);
  return text;
}

void LKLogFileFormatterDefault::appendLogMessage(std::string& out,
                                                 const LKLogMessage& message) const {
  appendDate(out, message.timestamp());
  out += "  ";
  out += message.message();
}

std::string LKLogFileFormatterDefault::stringFromDate(platform::Date date) const {
  std::string text;
  appendDate(text, date);
  return text;
}

void LKLogFileFormatterDefault::appendDate(std::string& out, platform::Date date) const {
  // Every field but the milliseconds depends on the whole second only, so
  // each thread keeps the text of its last second and adds the milliseconds.
  // Both are taken from the time rounded to whole microseconds first, as
  // platform::formatDate takes them, so the text is the same as its text.
  const double t = date.timeIntervalSince1970();
  if (!dateFormat_.ends_with("SSS") || dateFormat_.ends_with("SSSS") || !std::isfinite(t) ||
      std::fabs(t) > 9.0e12) {
    out += platform::formatDate(date, dateFormat_);
    return;
  }
  struct Cache {
    const LKLogFileFormatterDefault* owner = nullptr;
    std::string format;
    std::int64_t second = 0;
    std::string prefix;
  };
  thread_local Cache cache;
  const std::int64_t us = std::llround(t * 1e6);
  std::int64_t second = us / 1000000;
  if (second * 1000000 > us) --second;  // rounds down for times before 1970 too
  if (cache.owner != this || cache.second != second || cache.format != dateFormat_ ||
      cache.prefix.empty()) {
    cache.owner = this;
    cache.format = dateFormat_;
    cache.second = second;
    cache.prefix =
        platform::formatDate(platform::Date(static_cast<double>(second)),
                             std::string_view(dateFormat_).substr(0, dateFormat_.size() - 3));
  }
  const int ms = static_cast<int>((us - second * 1000000) / 1000);
  const char digits[3] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                          static_cast<char>('0' + ms % 10)};
  out += cache.prefix;
  out.append(digits, 3);
}

std::shared_ptr<LKLogFormatter> LKLogFileFormatterDefault::clone() const {
  return std::make_shared<LKLogFileFormatterDefault>(dateFormat_);
}

// --- LKFileLogger ----------------------------------------------------------

LKFileLogger::LKFileLogger(LKLogFileManagerPtr manager)
    : LKAbstractLogger(kLKFileLoggerName),
      manager_(manager ? std::move(manager) : std::make_shared<LKLogFileManagerDefault>()) {
  // Nothing can be queued for the logger yet: set the formatter directly.
  formatter_ = std::make_shared<LKLogFileFormatterDefault>();
  formatter_->didAddToLogger(*this);
}

LKFileLogger::~LKFileLogger() {
  if (rollingTimer_) rollingTimer_->cancel();
  if (watcher_) watcher_->cancel();
  if (fd_ >= 0) syncAndCloseLater(fd_);
}

std::uint64_t LKFileLogger::maximumFileSize() {
  std::uint64_t v = 0;
  readOnLoggerQueue([&] { v = maximumFileSize_; });
  return v;
}

void LKFileLogger::setMaximumFileSize(std::uint64_t bytes) {
  runOnLoggerQueue([this, bytes] {
    maximumFileSize_ = bytes;
    maybeRollLogFileDueToSize();
  });
}

double LKFileLogger::rollingFrequency() {
  double v = 0;
  readOnLoggerQueue([&] { v = rollingFrequency_; });
  return v;
}

void LKFileLogger::setRollingFrequency(double seconds) {
  runOnLoggerQueue([this, seconds] {
    rollingFrequency_ = seconds;
    maybeRollLogFileDueToAge();
  });
}

void LKFileLogger::rollLogFile(std::function<void()> completion) {
  runOnLoggerQueue([this, completion = std::move(completion)] {
    rollLogFileNow();
    if (completion) dispatch::Queue::main()->async(completion);
  });
}

void LKFileLogger::willRemoveLogger() { rollLogFileNow(); }

LKLogFileInfoPtr LKFileLogger::currentLogFileInfo() {
  if (currentInfo_) return currentInfo_;
  auto files = manager_->sortedLogFileInfos();
  if (!files.empty()) {
    LKLogFileInfoPtr newest = files.front();
    if (!newest->isArchived() && !doNotReuseLogFiles()) {
      bool tooBig = maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_;
      bool tooOld = rollingFrequency_ > 0 && newest->age() >= rollingFrequency_;
      if (!tooBig && !tooOld) {
        currentInfo_ = newest;
      } else {
        newest->setIsArchived(true);
        manager_->didArchiveLogFile(newest->filePath());
      }
    }
  }
  if (!currentInfo_) {
    if (auto path = manager_->createNewLogFile())
      currentInfo_ = std::make_shared<LKLogFileInfo>(
          *path, LKLogFileInfo::Options{.clock = manager_->clock()});
  }
  return currentInfo_;
}

int LKFileLogger::currentLogFileHandle() {
  if (fd_ >= 0) return fd_;
  for (int tries = 0; tries < 2 && fd_ < 0; ++tries) {
    LKLogFileInfoPtr info = currentLogFileInfo();
    if (!info) return -1;
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        st.st_nlink == 1) {
      if ((st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
      fd_ = fd;
      offset_ = static_cast<std::uint64_t>(st.st_size);
      break;
    }
    int err = errno;
    if (fd >= 0) ::close(fd);
    // Not a file we may write: forget it and make a fresh one.
    currentInfo_.reset();
    errno = err;
  }
  if (fd_ < 0) return -1;
  scheduleTimerToRollLogFileDueToAge();
  watchCurrentFile();
  return fd_;
}

void LKFileLogger::watchCurrentFile() {
  int ifd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (ifd < 0) return;
  if (::inotify_add_watch(ifd, currentInfo_->filePath().c_str(),
                          IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF | IN_DONT_FOLLOW) < 0) {
    ::close(ifd);
    return;
  }
  auto source = dispatch::Source::read(ifd, loggerQueue());
  std::weak_ptr<LKLogger> weak = weak_from_this();
  std::weak_ptr<dispatch::Source> weakSource = source;
  source->setEventHandler([weak, weakSource, ifd] {
    alignas(inotify_event) char buf[4096];
    bool gone = false;
    for (;;) {
      ssize_t n = ::read(ifd, buf, sizeof buf);
      if (n <= 0) break;
      for (char* p = buf; p < buf + n;) {
        auto* ev = reinterpret_cast<inotify_event*>(p);
        // An unlink shows as a change of attributes (the link count);
        // what really happened is checked below.
        if (ev->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB)) gone = true;
        p += sizeof(inotify_event) + ev->len;
      }
    }
    auto self = std::static_pointer_cast<LKFileLogger>(weak.lock());
    if (!self || !gone || self->watcher_ != weakSource.lock()) return;
    struct stat st {};
    bool unlinked = self->fd_ >= 0 && ::fstat(self->fd_, &st) == 0 && st.st_nlink == 0;
    struct stat atPath {};
    bool moved = ::lstat(self->currentInfo_->filePath().c_str(), &atPath) != 0 ||
                 atPath.st_ino != st.st_ino || atPath.st_dev != st.st_dev;
    if (unlinked || moved) self->rollLogFileNow();
  });
  // Closing an inotify descriptor waits for the kernel to retire the watch,
  // which can take milliseconds: done off the logger's queue.
  source->setCancelHandler([ifd] {
    dispatch::Queue::global(dispatch::Priority::Background)->async([ifd] { ::close(ifd); });
  });
  watcher_ = source;
  source->resume();
}

void LKFileLogger::closeCurrentFile() {
  if (fd_ >= 0) {
    syncAndCloseLater(fd_);
    fd_ = -1;
  }
  if (watcher_) {
    watcher_->cancel();
    watcher_.reset();
  }
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
}

void LKFileLogger::rollLogFileNow() {
  if (fd_ < 0) return;
  LKLogFileInfoPtr info = currentInfo_;
  closeCurrentFile();
  info->setIsArchived(true);
  manager_->didRollAndArchiveLogFile(info->filePath());
  currentInfo_.reset();
}

void LKFileLogger::maybeRollLogFileDueToSize() {
  if (maximumFileSize_ > 0 && fd_ >= 0 && offset_ >= maximumFileSize_) rollLogFileNow();
}

void LKFileLogger::maybeRollLogFileDueToAge() {
  if (rollingFrequency_ > 0 && currentInfo_ && currentInfo_->age() >= rollingFrequency_) {
    rollLogFileNow();
  } else {
    scheduleTimerToRollLogFileDueToAge();
  }
}

void LKFileLogger::scheduleTimerToRollLogFileDueToAge() {
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
  if (!currentInfo_ || fd_ < 0 || rollingFrequency_ <= 0) return;
  auto created = currentInfo_->creationDate();
  if (!created) return;
  double delay = created->addingTimeInterval(rollingFrequency_)
                     .timeIntervalSince(LKLogFileInfo::now(manager_->clock()));
  if (delay < 0) delay = 0;
  auto timer = dispatch::Source::timer(loggerQueue());
  std::weak_ptr<LKLogger> weak = weak_from_this();
  std::weak_ptr<dispatch::Source> weakTimer = timer;
  timer->setEventHandler([weak, weakTimer] {
    auto self = std::static_pointer_cast<LKFileLogger>(weak.lock());
    if (self && self->rollingTimer_ == weakTimer.lock()) self->maybeRollLogFileDueToAge();
  });
  timer->setTimer(dispatch::seconds(delay), dispatch::Duration::zero(), dispatch::Duration(1));
  rollingTimer_ = timer;
  timer->resume();
}

void LKFileLogger::resetFailureReportsForTesting() { gFailureReports.store(0); }

void LKFileLogger::noteFailure(const std::string& what, std::uint64_t records) {
  dropped_.fetch_add(records, std::memory_order_relaxed);
  lostInRun_ += records;
  if (failing_) return;
  failing_ = true;
  int n = gFailureReports.fetch_add(1) + 1;
  if (n <= kMaxFailureReports) LKLog::reportError("LKFileLogger.logMessage: " + what, false);
  if (n == kMaxFailureReports) {
    LKLog::reportError(
        "LKFileLogger.logMessage: Too many exceptions -- will not log any more of them.", false);
  }
}

void LKFileLogger::writeText(std::string_view text, std::uint64_t records) {
  if (failing_ && fd_ < 0 && LKLogFileInfo::now(manager_->clock()) < retryOpenAfter_) {
    noteFailure("", records);
    return;
  }
  int fd = currentLogFileHandle();
  if (fd < 0) {
    std::string dir = manager_->logsDirectory();
    noteFailure(platform::format("cannot open a log file in %@: %s", dir, std::strerror(errno)),
                records);
    retryOpenAfter_ = LKLogFileInfo::now(manager_->clock()).addingTimeInterval(1.0);
    return;
  }
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      noteFailure(
          platform::format("cannot write to %@: %s", currentInfo_->filePath(), std::strerror(err)),
          records);
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
    offset_ += static_cast<std::uint64_t>(n);
  }
  if (failing_) {
    failing_ = false;
    if (gFailureReports.load() < kMaxFailureReports) {
      LKLog::reportError(
          platform::format("LKFileLogger.logMessage: writing again; %llu records were lost",
                           lostInRun_),
          false);
    }
    lostInRun_ = 0;
  }
  maybeRollLogFileDueToSize();
}

bool LKFileLogger::appendLine(std::string& out, const LKLogMessage& message) {
  VARNEL_DCHECK(isOnInternalLoggerQueue());  // formatter_
  const std::size_t start = out.size();
  bool unchanged;
  if (!formatter_) {
    out += message.message();
    unchanged = true;
  } else if (typeid(*formatter_) == typeid(LKLogFileFormatterDefault)) {
    // The default line, written in place; it is never the bare message.
    static_cast<const LKLogFileFormatterDefault&>(*formatter_).appendLogMessage(out, message);
    unchanged = false;
  } else {
    std::optional<std::string> text = formatter_->formatLogMessage(message);
    if (!text) return false;
    unchanged = *text == message.message();
    out += *text;
  }
  if ((unchanged || automaticallyAppendNewlineForCustomFormatters()) &&
      (out.size() == start || out.back() != '\n')) {
    out.push_back('\n');
  }
  return true;
}

void LKFileLogger::logMessage(const LKLogMessagePtr& message) {
  lines_.clear();
  if (appendLine(lines_, *message)) writeText(lines_);
  lines_.clear();
}

void LKFileLogger::logMessages(const std::vector<LKLogMessagePtr>& messages) {
  constexpr std::size_t kChunk = 64 * 1024;
  std::string& pending = lines_;
  pending.clear();
  std::uint64_t records = 0;
  auto writePending = [&] {
    if (records == 0) return;
    writeText(pending, records);
    pending.clear();
    records = 0;
  };
  for (const auto& m : messages) {
    if (fd_ < 0) {
      // No file yet: this record chooses and opens it.
      writePending();
      if (appendLine(pending, *m)) writeText(pending);
      pending.clear();
      continue;
    }
    if (!appendLine(pending, *m)) continue;
    ++records;
    // The write that brings the file to its size limit ends the batch there,
    // so the file rolls at the same record as it would one by one.
    if ((maximumFileSize_ > 0 && offset_ + pending.size() >= maximumFileSize_) ||
        pending.size() >= kChunk) {
      writePending();
    }
  }
  writePending();
  // A batch of unusual size does not keep its memory.
  if (pending.capacity() > 4 * kChunk) std::string().swap(pending);
}

}  // namespace logging
