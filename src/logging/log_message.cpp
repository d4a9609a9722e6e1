#include "logging/log_message.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dispatch/dispatch.h"

namespace logging {

std::optional<std::string_view> LKExtractFileNameWithoutExtension(const char* path) {
  if (path == nullptr) return std::nullopt;
  std::string_view p(path);
  std::size_t slash = p.rfind('/');
  std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return name;
}

namespace {

// Facts of the calling thread, taken on its first record and kept for its life.
struct ThreadFacts {
  std::shared_ptr<const std::string> id;
  std::shared_ptr<const std::string> name;
};

const ThreadFacts& currentThreadFacts() {
  thread_local ThreadFacts facts = [] {
    ThreadFacts f;
    f.id = std::make_shared<const std::string>(
        std::to_string(static_cast<unsigned long long>(gettid())));
    char buf[32] = {0};
    std::string name;
    if (pthread_getname_np(pthread_self(), buf, sizeof buf) == 0) name = buf;
    // A Linux thread always carries a name, inherited from the process's
    // when nobody set one; only a name of its own counts.
    std::string_view processName(program_invocation_short_name);
    if (name == processName.substr(0, 15)) {
      name.clear();
    }
    f.name = std::make_shared<const std::string>(std::move(name));
    return f;
  }();
  return facts;
}

// The label of the current queue, shared with the thread's earlier records
// while it stays the same (no copy per record).
std::shared_ptr<const std::string> currentQueueLabel() {
  thread_local std::shared_ptr<const std::string> last;
  platform::dispatch::QueuePtr queue = platform::dispatch::Queue::current();
  static const std::string kNone;
  const std::string& label = queue ? queue->label() : kNone;
  if (!last || *last != label) last = std::make_shared<const std::string>(label);
  return last;
}

}  // namespace

LKLogMessage::LKLogMessage(std::string message, std::uint64_t level, std::uint64_t flag,
                           std::int64_t context, std::string_view file, std::string_view function,
                           std::uint64_t line, platform::Value tag, std::int64_t options,
                           std::optional<platform::Date> timestamp)
    : message_(std::move(message)),
      level_(level),
      flag_(flag),
      context_(context),
      line_(line),
      tag_(std::move(tag)),
      options_(options),
      timestamp_(timestamp ? *timestamp : platform::Date::now()),
      queueLabel_(currentQueueLabel()) {
  if (options & LKLogMessageCopyFile) {
    fileCopy_ = std::make_shared<const std::string>(file);
    file_ = *fileCopy_;
  } else {
    file_ = file;
  }
  if (options & LKLogMessageCopyFunction) {
    functionCopy_ = std::make_shared<const std::string>(function);
    function_ = *functionCopy_;
  } else {
    function_ = function;
  }
  std::size_t slash = file_.rfind('/');
  fileName_ = slash == std::string_view::npos ? file_ : file_.substr(slash + 1);
  std::size_t dot = fileName_.rfind('.');
  if (dot != std::string_view::npos) fileName_ = fileName_.substr(0, dot);
  const ThreadFacts& facts = currentThreadFacts();
  threadID_ = facts.id;
  threadName_ = facts.name;
}

LKLogMessage::LKLogMessage(const LKLogMessage& other)
    : message_(other.message_),
      level_(other.level_),
      flag_(other.flag_),
      context_(other.context_),
      fileCopy_(other.fileCopy_),
      functionCopy_(other.functionCopy_),
      file_(other.file_),
      function_(other.function_),
      fileName_(other.fileName_),
      line_(other.line_),
      tag_(other.tag_),
      options_(other.options_),
      timestamp_(other.timestamp_),
      threadID_(other.threadID_),
      threadName_(other.threadName_),
      queueLabel_(other.queueLabel_) {}

LKLogMessagePtr LKLogMessage::copyWithMessage(std::string message) const {
  auto copy = std::make_shared<LKLogMessage>(*this);
  copy->message_ = std::move(message);
  return copy;
}

}  // namespace logging
