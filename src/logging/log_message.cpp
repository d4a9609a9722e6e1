#include "logging/log_message.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "logging/free_list.h"
#include "logging/record_store.h"
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
const std::shared_ptr<const std::string>& currentQueueLabel() {
  thread_local std::shared_ptr<const std::string> last;
  platform::dispatch::QueuePtr queue = platform::dispatch::Queue::current();
  static const std::string kNone;
  const std::string& label = queue ? queue->label() : kNone;
  if (!last || *last != label) last = std::make_shared<const std::string>(label);
  return last;
}

// The file name without folder and last extension, as a view into `file`.
std::string_view fileNameOf(std::string_view file) {
  std::size_t slash = file.rfind('/');
  std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return name;
}

}  // namespace

LKLogMessage::LKLogMessage(std::string message, std::uint64_t level, std::uint64_t flag,
                           std::int64_t context, std::string_view file, std::string_view function,
                           std::uint64_t line, platform::Value tag, std::int64_t options,
                           std::optional<platform::Date> timestamp)
    : message_(std::move(message)),
      queueLabel_(currentQueueLabel()),
      line_(line),
      level_(level),
      flag_(flag),
      context_(context),
      options_(options),
      timestamp_(timestamp ? *timestamp : platform::Date::now()),
      tag_(std::move(tag)) {
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
  fileName_ = fileNameOf(file_);
  const ThreadFacts& facts = currentThreadFacts();
  threadID_ = facts.id;
  threadName_ = facts.name;
}

LKLogMessage::LKLogMessage(const LKLogMessage& other)
    : message_(other.message_),
      file_(other.file_),
      queueLabel_(other.queueLabel_),
      threadID_(other.threadID_),
      threadName_(other.threadName_),
      function_(other.function_),
      line_(other.line_),
      level_(other.level_),
      flag_(other.flag_),
      context_(other.context_),
      options_(other.options_),
      timestamp_(other.timestamp_),
      tag_(other.tag_),
      fileName_(other.fileName_),
      fileCopy_(other.fileCopy_),
      functionCopy_(other.functionCopy_) {}

LKLogMessagePtr LKLogMessage::copyWithMessage(std::string message) const {
  auto copy = std::make_shared<LKLogMessage>(*this);
  copy->message_ = std::move(message);
  return copy;
}

// --- RecordStore -------------------------------------------------------------

namespace detail {

namespace {

// Blank records wait on the lock-free lists of FreeList (free_list.h),
// linked through their queue slot, which is unused then.
struct RecordLink {
  static LKLogMessage* next(LKLogMessage* r) { return RecordStore::next(r); }
  static void setNext(LKLogMessage* r, LKLogMessage* next) {
    ::new (RecordStore::queueSlot(r)) LKLogMessage*(next);
  }
};
using BlankRecords = FreeList<LKLogMessage, RecordLink>;

// The shared count of a record lives in the record itself; the record goes
// back to the store when the count's memory is given back, which is the
// last thing done with it.
template <class T>
class SlotAllocator {
 public:
  using value_type = T;
  explicit SlotAllocator(LKLogMessage* record) noexcept : record_(record) {}
  template <class U>
  SlotAllocator(const SlotAllocator<U>& other) noexcept : record_(other.record()) {}

  T* allocate(std::size_t n) {
    if (fits(n)) return static_cast<T*>(RecordStore::controlSlot(record_));
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(alignof(T))));
  }
  // Only the record's shared count is made with this allocator: its memory
  // going back means the record goes back.
  void deallocate(T* p, std::size_t n) noexcept {
    if (!fits(n) || static_cast<void*>(p) != RecordStore::controlSlot(record_)) {
      ::operator delete(p, std::align_val_t(alignof(T)));
    }
    RecordStore::giveBack(record_);
  }
  LKLogMessage* record() const noexcept { return record_; }
  template <class U>
  bool operator==(const SlotAllocator<U>& other) const noexcept {
    return record_ == other.record();
  }

 private:
  static bool fits(std::size_t n) {
    return n == 1 && sizeof(T) <= RecordStore::kControlSlotSize && alignof(T) <= 16;
  }
  LKLogMessage* record_;
};

// The record itself stays alive until its count's memory is given back.
struct KeepRecord {
  void operator()(const LKLogMessage*) const noexcept {}
};

}  // namespace

LKLogMessage* RecordStore::take() {
  // The queue's label is looked up first: that takes a reference on the
  // queue (a locked step), best done before the record's memory is written.
  const std::shared_ptr<const std::string>& label = currentQueueLabel();
  LKLogMessage* r = takeBlank();
  // Shared with the thread's earlier records: assigned (and counted) only
  // when this record last belonged to another queue or thread.
  if (r->queueLabel_ != label) r->queueLabel_ = label;
  return r;
}

LKLogMessage* RecordStore::takeBlank() {
  if (LKLogMessage* r = BlankRecords::take()) {
    r->message_.clear();
    return r;
  }
  return new LKLogMessage();
}

LKLogMessagePtr RecordStore::publish(LKLogMessage* r, std::uint64_t level, std::uint64_t flag,
                                     std::int64_t context, std::string_view file,
                                     std::string_view function, std::uint64_t line,
                                     platform::Value&& tag) {
  r->level_ = level;
  r->flag_ = flag;
  r->context_ = context;
  // The same call site as this record's last use keeps its file name.
  if (file.data() != r->file_.data() || file.size() != r->file_.size()) {
    r->file_ = file;
    r->fileName_ = fileNameOf(file);
  }
  r->function_ = function;
  r->line_ = line;
  r->tag_ = std::move(tag);
  r->options_ = 0;
  r->timestamp_ = platform::Date::now();
  // As the queue's label in `take`.
  const ThreadFacts& facts = currentThreadFacts();
  if (r->threadID_ != facts.id) r->threadID_ = facts.id;
  if (r->threadName_ != facts.name) r->threadName_ = facts.name;
  return LKLogMessagePtr(r, KeepRecord{}, SlotAllocator<LKLogMessage>(r));
}

void RecordStore::giveBack(LKLogMessage* r) {
  if (!r->tag_.isNone()) r->tag_ = platform::Value();
  if (r->message_.capacity() > kKeptTextCapacity) std::string().swap(r->message_);
  if (!BlankRecords::give(r)) delete r;
}

}  // namespace detail

}  // namespace logging
