// LKTTYLogger: writes each record to standard error, with optional colours
// per flag and context or per tag. LKTTYLoggerColorProfile is one colour
// pair with its ready escape sequences.
//
// The colour mode is decided once, when the shared logger is first asked
// for: "XcodeColors" mode when the environment variable XcodeColors is
// exactly "YES"; terminal mode when TERM contains "color" (any case), with
// the 256-colour palette when TERM also contains "256" and the 16-colour one
// otherwise; else no colours (escape codes are then never written, even
// with colours enabled).
//
// A record whose text came from a formatter is written as it is (plus "\n"
// when asked); an unformatted one gets "<local time> <process>[<pid>:<tid>] "
// in front. Each record is one gathered write, so lines of different
// processes do not interleave within a record.
//
// Thread safety: every member may be called from any thread; profiles and
// the colour switch change on the logger's queue, after records already
// queued.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logging/abstract_logger.h"

namespace logging {

inline constexpr const char* kLKTTYLoggerName = "logkit.ttyLogger";
// A profile for this context applies to every context.
inline constexpr std::int64_t kLKTTYAnyContext = 2147483647;

// A colour as calibrated red, green and blue fractions (0 to 1).
struct LKColor {
  double red = 0, green = 0, blue = 0;
};

enum class LKTTYColorMode { None, Terminal16, Terminal256, XcodeColors };

class LKTTYLoggerColorProfile {
 public:
  // std::nullptr when a terminal code does not fit its buffer.
  static std::shared_ptr<LKTTYLoggerColorProfile> create(std::optional<LKColor> foreground,
                                                         std::optional<LKColor> background,
                                                         std::uint64_t mask, std::int64_t context);
  std::string description() const;

  std::uint64_t mask = 0;
  std::int64_t context = 0;
  std::uint8_t fg_r = 0, fg_g = 0, fg_b = 0, bg_r = 0, bg_g = 0, bg_b = 0;
  int fgCodeIndex = 0, bgCodeIndex = 0;
  std::string fgCodeRaw, bgCodeRaw;       // the table codes ("31m", "38;5;196m")
  std::string fgCode, bgCode, resetCode;  // the sequences written
};

using LKTTYLoggerColorProfilePtr = std::shared_ptr<LKTTYLoggerColorProfile>;

class LKTTYLogger : public LKAbstractLogger {
 public:
  // The shared logger, writing to standard error.
  static std::shared_ptr<LKTTYLogger> sharedInstance();
  // A logger of its own writing to `fd` (the caller keeps it open while the
  // logger lives), with the colour mode of the shared one.
  static std::shared_ptr<LKTTYLogger> createWithFileDescriptor(int fd);
  // Forgets the shared logger and the colour mode, so the next
  // sharedInstance reads the environment again. For tests.
  static void resetForTesting();
  static LKTTYColorMode colorMode();

  // Index of the nearest colour of the active table (ties: the lower index).
  static int codeIndexForColor(LKColor color);
  // The colour table of the active mode (empty without terminal colours).
  static const std::vector<LKColor>& colorTable();

  void loadDefaultColorProfiles();
  bool colorsEnabled();
  void setColorsEnabled(bool enabled);
  void setForegroundColor(std::optional<LKColor> fg, std::optional<LKColor> bg, std::uint64_t flag,
                          std::int64_t context = kLKTTYAnyContext);
  void setForegroundColorForTag(std::optional<LKColor> fg, std::optional<LKColor> bg,
                                platform::Value tag);
  void clearColorsForFlag(std::uint64_t flag, std::int64_t context = 0);
  void clearColorsForTag(platform::Value tag);
  void clearColorsForAllFlags();
  void clearColorsForAllTags();
  void clearAllColors();
  // The flag profiles in order (read through the queues).
  std::vector<LKTTYLoggerColorProfilePtr> flagProfiles();

  void logMessage(const LKLogMessagePtr& message) override;

  bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_.load(); }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool v) { appendNewline_.store(v); }

  LKTTYLogger(const LKTTYLogger&) = delete;
  LKTTYLogger& operator=(const LKTTYLogger&) = delete;

 private:
  explicit LKTTYLogger(int fd);
  friend std::shared_ptr<LKTTYLogger> makeTTYLogger(int fd);

  std::string appName_;
  std::string processID_;
  std::atomic<bool> appendNewline_{true};
  const int fd_;  // where records go
  // Logger queue only:
  bool colorsEnabled_ = false;
  std::vector<LKTTYLoggerColorProfilePtr> flagProfiles_;
  std::vector<std::pair<platform::Value, LKTTYLoggerColorProfilePtr>> tagProfiles_;
};

}  // namespace logging
