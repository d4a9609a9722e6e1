#include "helper/helper_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "logging/log_message.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

std::string RepeatCollapser::repeatedLine(std::uint64_t count) {
  return "\xe2\x80\xa6 repeated " + std::to_string(count) + (count == 1 ? " time" : " times");
}

std::string RepeatCollapser::comparable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t next = std::string_view::npos;
    std::size_t length = 0;
    for (std::string_view marker : {std::string_view(">LOG:"), std::string_view(">STATE:")}) {
      const std::size_t found = text.find(marker, at);
      if (found < next) {
        next = found;
        length = marker.size();
      }
    }
    if (next == std::string_view::npos) {
      out.append(text.substr(at));
      break;
    }
    std::size_t end = next + length;
    out.append(text.substr(at, end - at));
    std::size_t digits = end;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    // Only a time that is followed by its field separator is OpenVPN's.
    if (digits > end && digits < text.size() && text[digits] == ',') end = digits;
    at = end;
  }
  return out;
}

std::vector<std::string> RepeatCollapser::add(const std::string& text, double now,
                                              bool* firstRepeat) {
  if (firstRepeat) *firstRepeat = false;
  std::string key = comparable(text);
  if (haveLast_ && key == last_ && now - lastLoggedAt_ < kRepeatSummarySeconds) {
    if (++repeats_ == 1 && firstRepeat) *firstRepeat = true;
    return {};
  }
  std::vector<std::string> out = summary();
  out.push_back(text);
  last_ = std::move(key);
  haveLast_ = true;
  lastLoggedAt_ = now;
  return out;
}

std::vector<std::string> RepeatCollapser::summary() {
  if (repeats_ == 0) return {};
  haveLast_ = false;
  std::vector<std::string> out = {repeatedLine(repeats_)};
  repeats_ = 0;
  return out;
}

JournalLogger::JournalLogger(int fd) : LKAbstractLogger("helper.journal"), fd_(fd) {}

bool JournalLogger::standardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st;
  return ::fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

std::string JournalLogger::journalLines(std::uint64_t flag, std::string_view text) {
  const char* prefix = "<7>";
  if (flag == logging::LKLogFlagError)
    prefix = "<3>";
  else if (flag == logging::LKLogFlagWarning)
    prefix = "<4>";
  else if (flag == logging::LKLogFlagInfo)
    prefix = "<6>";
  std::string out;
  std::size_t at = 0;
  do {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    out += prefix;
    out.append(text.substr(at, end - at));
    out += '\n';
    at = end + 1;
  } while (at < text.size());
  return out;
}

void JournalLogger::logMessage(const logging::LKLogMessagePtr& message) {
  const std::string lines = journalLines(message->flag(), message->message());
  for (std::size_t done = 0; done < lines.size();) {
    const ssize_t n = ::write(fd_, lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the journal is gone: the other loggers still have the line
    done += static_cast<std::size_t>(n);
  }
}

namespace detail {

namespace {

std::mutex& collapserMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
RepeatCollapser& collapser() {
  static RepeatCollapser* c = new RepeatCollapser;
  return *c;
}

void emit(const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    logging::LKLog::log(true, logging::LKLogLevelAll, logging::LKLogFlagInfo, 0, __FILE__, "helper",
                        0, platform::Value(), "%@", line);
}

}  // namespace

void helperLogText(std::string text) {
  bool firstRepeat = false;
  // Under the lock, so that lines reach the dispatcher in the order they
  // were counted.
  std::lock_guard<std::mutex> lock(collapserMutex());
  const double now =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  emit(collapser().add(text, now, &firstRepeat));
  if (firstRepeat) {
    platform::dispatch::Queue::global()->after(kRepeatSummarySeconds, [] {
      std::lock_guard<std::mutex> inner(collapserMutex());
      emit(collapser().summary());
    });
  }
}

}  // namespace detail

}  // namespace helper
