// LKLog: the process-wide log dispatcher.
//
// Records come in from any thread, pass through one serial queue labelled
// "logkit" (`loggingQueue`) and go to every registered logger whose level
// shares a bit with the record's flag, on that logger's own serial queue.
//
// Guarantees:
//  1. Filtering comes before formatting: `log` formats nothing when no
//     registered logger (nor one being added) takes the flag.
//  2. Records reach each logger in the order they were queued; a record
//     queued after `addLogger`, `removeLogger` or a logger's
//     `setLogFormatter` returned sees that change. Records queued in one
//     burst may be handed to the loggers as one batch: each logger still
//     sees them in order, and a batch reaches the loggers only after every
//     earlier batch was handled by all of them.
//  3. At most kQueueLimit (1000) records are queued but not yet delivered.
//     What happens to the next one is the overflow policy: Block (the
//     default: the caller waits until records were delivered; waiting
//     callers go on once a quarter of the queue is free) or
//     DropNewest (the record is dropped and counted). A caller on the
//     logging queue or inside a logger never waits: its record is dropped
//     and counted rather than deadlock.
//  4. Synchronous logging returns after every logger has returned from
//     `logMessage` for the record (from the logging queue or inside a
//     logger it is queued asynchronously instead, which cannot deadlock).
//  5. `flushLog` is a message through the queue: it returns once every
//     record queued before it was delivered, every logger's `flush`
//     returned and the `willRemoveLogger` of every logger removed before it
//     returned. At normal process exit the dispatcher flushes, so records
//     queued before `exit` are delivered; the exit waits for that flush at
//     most the exit flush time limit of the Options the dispatcher was
//     created with (kExitFlushTimeLimit by default), and not at all when a
//     logger itself calls `exit` (the flush would wait for that logger).
//  6. Logging never throws into the caller: what a logger throws is caught
//     and reported through the error handler, which is rate-limited and
//     says how many reports it held back.
// Not promised: which thread runs a logger; order between different loggers;
// order between records and blocks that callers put on `loggingQueue()`
// themselves (the dispatcher's own operations are ordered as in 2).
//
// `file` and `function` are kept as views without a copy, so they take only
// LKSourceText (log_message.h): string literals (__FILE__, "name") and
// __func__; anything else does not compile.
//
// Thread safety: every member may be called from any thread. Called from
// inside a logger, `allLoggers` answers no loggers and `flushLog` returns
// at once (both report it), since the logging queue may be waiting for
// that logger.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "logging/logger.h"
#include "logging/plain_format.h"
#include "platform/foundation/format.h"

namespace logging {

inline constexpr const char* kLKLoggingQueueLabel = "logkit";

enum class LKLogOverflowPolicy {
  Block,       // the caller waits for room
  DropNewest,  // the new record is dropped and counted
};

struct LKLogStatistics {
  std::uint64_t queued = 0;          // records accepted
  std::uint64_t delivered = 0;       // records handed to all their loggers
  std::uint64_t dropped = 0;         // records dropped because the queue was full
  std::uint64_t blockedCallers = 0;  // calls that had to wait for room
};

class LKLog {
 public:
  static constexpr long kQueueLimit = 1000;

  static platform::dispatch::QueuePtr loggingQueue();

  // Registers `logger` for records whose flag shares a bit with `level`.
  // Returns at once; nullptr is ignored. A logger added twice gets every
  // record twice.
  static void addLogger(LKLoggerPtr logger, std::uint64_t level = LKLogLevelAll);
  // Removes the first registration of `logger`; returns at once.
  static void removeLogger(const LKLoggerPtr& logger);
  static void removeAllLoggers();
  // The registered loggers in the order they were added (waits for changes
  // queued before it).
  static std::vector<LKLoggerPtr> allLoggers();

  // Formats `format` with `args` (platform::format) and queues the record.
  // A null format logs nothing. Text and whole-number arguments under plain
  // conversions are written straight into the record (the same text).
  template <class... Args>
  static void log(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                  LKSourceText file, LKSourceText function, std::uint64_t line, platform::Value tag,
                  const char* format, const Args&... args) {
    if (format == nullptr || !wantsFlag(flag)) return;
    if constexpr ((detail::kPlainArgument<Args> && ...)) {
      const detail::LogArg plain[sizeof...(Args) + 1] = {detail::LogArg(args)..., {}};
      if (logPlain(asynchronous, level, flag, context, file, function, line, tag, format, plain,
                   sizeof...(Args))) {
        return;
      }
      logvHoldingPlace(asynchronous, level, flag, context, file, function, line, std::move(tag),
                       format, {platform::FormatArg(args)...});
      return;
    }
    logv(asynchronous, level, flag, context, file, function, line, std::move(tag), format,
         {platform::FormatArg(args)...});
  }
  // Used by `log`. The plain case: true when the record was queued or
  // dropped; false (`tag` untouched) when the format or an argument needs
  // platform::format: the call then holds a place in the queue, which
  // `logvHoldingPlace` uses.
  static bool logPlain(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                       std::int64_t context, LKSourceText file, LKSourceText function,
                       std::uint64_t line, platform::Value& tag, const char* format,
                       const detail::LogArg* args, std::size_t count);
  static void logvHoldingPlace(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                               std::int64_t context, LKSourceText file, LKSourceText function,
                               std::uint64_t line, platform::Value tag, const char* format,
                               std::initializer_list<platform::FormatArg> args);
  static void logv(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                   LKSourceText file, LKSourceText function, std::uint64_t line,
                   platform::Value tag, const char* format,
                   std::initializer_list<platform::FormatArg> args);
  // Queues a record of ready text (file and function kept as views).
  static void logMessage(bool asynchronous, std::string message, std::uint64_t level,
                         std::uint64_t flag, std::int64_t context, LKSourceText file,
                         LKSourceText function, std::uint64_t line, platform::Value tag);
  // Queues a ready record.
  static void log(bool asynchronous, LKLogMessagePtr message);
  static void queueLogMessage(LKLogMessagePtr message, bool asynchronous);

  static void flushLog();
  static void applicationWillTerminate() { flushLog(); }

  // Whether some logger registered now (or being added) takes `flag`.
  static bool wantsFlag(std::uint64_t flag);

  // Overflow policy and counters of the bounded queue.
  static void setOverflowPolicy(LKLogOverflowPolicy policy);
  static LKLogOverflowPolicy overflowPolicy();
  static LKLogStatistics statistics();

  // Where failures of loggers are reported (default: standard error and the
  // system log). At most 10 reports a minute pass; the next one that passes
  // says how many were held back. nullptr restores the default.
  using ErrorHandler = std::function<void(const std::string& text)>;
  static void setErrorHandler(ErrorHandler handler);
  // `rateLimited` false: the caller limits its own reports.
  static void reportError(const std::string& text, bool rateLimited = true);

  // Per-class levels: a class registers a getter and a setter of its level
  // under its name.
  static void registerClass(std::string name, std::function<std::uint64_t()> getLevel,
                            std::function<void(std::uint64_t)> setLevel);
  static bool isRegisteredClass(std::string_view name);
  static std::vector<std::string> registeredClassNames();
  // The class's level; every bit set for a class that is not registered.
  static std::uint64_t levelForClassWithName(std::string_view name);
  static void setLevelForClassWithName(std::uint64_t level, std::string_view name);

  // How long the flush at process exit may take before the exit goes on
  // without it (guarantee 5), unless Options say otherwise.
  static constexpr std::chrono::seconds kExitFlushTimeLimit{5};

  // Settings of the dispatcher, fixed when it is created.
  struct Options {
    // Hosts with fewer than two processors call loggers one after another,
    // others call them side by side. 0: the host's count.
    unsigned processorCount = 0;
    // The limit of the flush at process exit.
    std::chrono::milliseconds exitFlushTimeLimit = kExitFlushTimeLimit;
  };
  // The dispatcher is created once per process: by this call, with
  // `options`, or by the first use of any other member, with default
  // Options. True when this call created it; false when it already existed
  // (its settings then stay as they are).
  static bool create(const Options& options);
};

}  // namespace logging
