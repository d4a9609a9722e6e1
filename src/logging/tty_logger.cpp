#include "logging/tty_logger.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "platform/foundation/format.h"

namespace logging {

namespace {

struct ColorTables {
  LKTTYColorMode mode = LKTTYColorMode::None;
  std::vector<std::string> fg, bg;
  std::vector<LKColor> colors;
};

std::mutex gTablesMutex;
std::shared_ptr<const ColorTables> gTables;  // under gTablesMutex
std::shared_ptr<LKTTYLogger> gShared;        // under gTablesMutex

std::shared_ptr<const ColorTables> buildTables() {
  auto t = std::make_shared<ColorTables>();
  const char* xcode = std::getenv("XcodeColors");
  std::string term = std::getenv("TERM") ? std::getenv("TERM") : "";
  std::string lower = term;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  if (xcode && std::string_view(xcode) == "YES") {
    t->mode = LKTTYColorMode::XcodeColors;
  } else if (lower.find("color") != std::string::npos) {
    t->mode = lower.find("256") != std::string::npos ? LKTTYColorMode::Terminal256
                                                     : LKTTYColorMode::Terminal16;
  }
  if (t->mode == LKTTYColorMode::Terminal16) {
    static const LKColor k16[16] = {
        {0.0000, 0.0000, 0.0000}, {0.7608, 0.2118, 0.1294}, {0.1451, 0.7373, 0.1412},
        {0.6784, 0.6784, 0.1529}, {0.2863, 0.1804, 0.8824}, {0.8275, 0.2196, 0.8275},
        {0.2000, 0.7333, 0.7843}, {0.7961, 0.8000, 0.8039}, {0.5059, 0.5137, 0.5137},
        {0.9882, 0.2235, 0.1216}, {0.1922, 0.9059, 0.1333}, {0.9176, 0.9255, 0.1373},
        {0.3451, 0.2000, 1.0000}, {0.9765, 0.2078, 0.9725}, {0.0784, 0.9412, 0.9412},
        {0.9137, 0.9216, 0.9216}};
    for (int i = 0; i < 16; ++i) {
      std::string bold = i >= 8 ? "1;" : "";
      t->fg.push_back(bold + std::to_string(30 + i % 8) + "m");
      t->bg.push_back(bold + std::to_string(40 + i % 8) + "m");
      t->colors.push_back(k16[i]);
    }
  } else if (t->mode == LKTTYColorMode::Terminal256) {
    for (int index = 16; index < 256; ++index) {
      t->fg.push_back(platform::format("38;5;%dm", index));
      t->bg.push_back(platform::format("48;5;%dm", index));
      LKColor c;
      if (index == 16) {
        c = {0.1843, 0.1922, 0.1922};
      } else if (index == 17) {
        c = {0.2353, 0.1647, 0.5647};
      } else if (index < 232) {
        // The terminal palette's 6x6x6 colour cube.
        int i = index - 16;
        auto level = [](int v) { return v == 0 ? 0.0 : (55 + 40 * v) / 255.0; };
        c = {level(i / 36), level((i / 6) % 6), level(i % 6)};
      } else {
        double g = (8 + 10 * (index - 232)) / 255.0;
        c = {g, g, g};
      }
      t->colors.push_back(c);
    }
  }
  return t;
}

std::shared_ptr<const ColorTables> tables() {
  std::lock_guard lock(gTablesMutex);
  if (!gTables) gTables = buildTables();
  return gTables;
}

std::uint8_t component(double fraction) {
  return static_cast<std::uint8_t>(std::clamp(fraction, 0.0, 1.0) * 255);
}

}  // namespace

// --- LKTTYLoggerColorProfile ------------------------------------------------

LKTTYLoggerColorProfilePtr LKTTYLoggerColorProfile::create(std::optional<LKColor> fg,
                                                           std::optional<LKColor> bg,
                                                           std::uint64_t mask,
                                                           std::int64_t context) {
  auto t = tables();
  auto p = std::make_shared<LKTTYLoggerColorProfile>();
  p->mask = mask;
  p->context = context;
  if (fg) {
    p->fg_r = component(fg->red);
    p->fg_g = component(fg->green);
    p->fg_b = component(fg->blue);
  }
  if (bg) {
    p->bg_r = component(bg->red);
    p->bg_g = component(bg->green);
    p->bg_b = component(bg->blue);
  }
  constexpr std::size_t kBuffer = 24;
  switch (t->mode) {
    case LKTTYColorMode::Terminal16:
    case LKTTYColorMode::Terminal256:
      if (fg) {
        p->fgCodeIndex = LKTTYLogger::codeIndexForColor(*fg);
        p->fgCodeRaw = t->fg[p->fgCodeIndex];
        p->fgCode = "\033[" + p->fgCodeRaw;
      }
      if (bg) {
        p->bgCodeIndex = LKTTYLogger::codeIndexForColor(*bg);
        p->bgCodeRaw = t->bg[p->bgCodeIndex];
        p->bgCode = "\033[" + p->bgCodeRaw;
      }
      if (p->fgCode.size() >= kBuffer || p->bgCode.size() >= kBuffer) return nullptr;
      p->resetCode = "\033[0m";
      break;
    case LKTTYColorMode::XcodeColors:
      if (fg)
        p->fgCode = platform::format("%sfg%u,%u,%u;", "\033[", p->fg_r, p->fg_g, p->fg_b)
                        .substr(0, kBuffer - 1);
      if (bg)
        p->bgCode = platform::format("%sbg%u,%u,%u;", "\033[", p->bg_r, p->bg_g, p->bg_b)
                        .substr(0, kBuffer - 1);
      p->resetCode = "\033[;";
      break;
    case LKTTYColorMode::None:
      break;
  }
  return p;
}

std::string LKTTYLoggerColorProfile::description() const {
  return platform::format(
      "<LKTTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u fgCode:%@ bgCode:%@>",
      static_cast<const void*>(this), static_cast<std::int64_t>(mask), context, fg_r, fg_g, fg_b,
      bg_r, bg_g, bg_b, fgCodeRaw, bgCodeRaw);
}

// --- LKTTYLogger -------------------------------------------------------------

std::shared_ptr<LKTTYLogger> makeTTYLogger(int fd) {
  return std::shared_ptr<LKTTYLogger>(new LKTTYLogger(fd));
}

LKTTYLogger::LKTTYLogger(int fd) : LKAbstractLogger(kLKTTYLoggerName), fd_(fd) {
  appName_ = program_invocation_short_name ? program_invocation_short_name : "";
  if (appName_.empty()) appName_ = "<UnnamedApp>";
  processID_ = platform::format("%i", static_cast<int>(::getpid()));
}

std::shared_ptr<LKTTYLogger> LKTTYLogger::sharedInstance() {
  tables();  // the colour mode and tables come first
  std::lock_guard lock(gTablesMutex);
  if (!gShared) gShared = makeTTYLogger(STDERR_FILENO);
  return gShared;
}

std::shared_ptr<LKTTYLogger> LKTTYLogger::createWithFileDescriptor(int fd) {
  tables();  // the colour mode and tables come first
  return makeTTYLogger(fd);
}

void LKTTYLogger::resetForTesting() {
  std::lock_guard lock(gTablesMutex);
  gShared.reset();
  gTables.reset();
}

LKTTYColorMode LKTTYLogger::colorMode() { return tables()->mode; }

const std::vector<LKColor>& LKTTYLogger::colorTable() {
  // Tables live until resetForTesting; callers use them right away.
  static thread_local std::shared_ptr<const ColorTables> held;
  held = tables();
  return held->colors;
}

int LKTTYLogger::codeIndexForColor(LKColor color) {
  const auto& colors = colorTable();
  double best = 100.0;
  int index = 0;
  for (std::size_t i = 0; i < colors.size(); ++i) {
    double dr = colors[i].red - color.red, dg = colors[i].green - color.green,
           db = colors[i].blue - color.blue;
    double d = std::sqrt(dr * dr + dg * dg + db * db);
    if (d < best) {
      best = d;
      index = static_cast<int>(i);
    }
  }
  return index;
}

void LKTTYLogger::loadDefaultColorProfiles() {
  runOnLoggerQueue([this] {
    if (auto p = LKTTYLoggerColorProfile::create(LKColor{0.8392, 0.2235, 0.1176}, std::nullopt,
                                                 LKLogFlagError, kLKTTYAnyContext)) {
      flagProfiles_.push_back(p);
    }
    if (auto p = LKTTYLoggerColorProfile::create(LKColor{0.8000, 0.4745, 0.1255}, std::nullopt,
                                                 LKLogFlagWarning, kLKTTYAnyContext)) {
      flagProfiles_.push_back(p);
    }
  });
}

bool LKTTYLogger::colorsEnabled() {
  bool v = false;
  readOnLoggerQueue([&] { v = colorsEnabled_; });
  return v;
}

void LKTTYLogger::setColorsEnabled(bool enabled) {
  runOnLoggerQueue([this, enabled] {
    colorsEnabled_ = enabled;
    if (flagProfiles_.empty()) loadDefaultColorProfiles();
  });
}

void LKTTYLogger::setForegroundColor(std::optional<LKColor> fg, std::optional<LKColor> bg,
                                     std::uint64_t flag, std::int64_t context) {
  auto profile = LKTTYLoggerColorProfile::create(fg, bg, flag, context);
  if (!profile) return;
  runOnLoggerQueue([this, profile] {
    for (auto& p : flagProfiles_) {
      if (p->mask == profile->mask && p->context == profile->context) {
        p = profile;
        return;
      }
    }
    flagProfiles_.push_back(profile);
  });
}

void LKTTYLogger::setForegroundColorForTag(std::optional<LKColor> fg, std::optional<LKColor> bg,
                                           platform::Value tag) {
  auto profile = LKTTYLoggerColorProfile::create(fg, bg, 0, 0);
  if (!profile || tag.isNone()) return;
  runOnLoggerQueue([this, profile, tag = std::move(tag)] {
    for (auto& [t, p] : tagProfiles_) {
      if (t == tag) {
        p = profile;
        return;
      }
    }
    tagProfiles_.emplace_back(tag, profile);
  });
}

void LKTTYLogger::clearColorsForFlag(std::uint64_t flag, std::int64_t context) {
  runOnLoggerQueue([this, flag, context] {
    auto it = std::find_if(flagProfiles_.begin(), flagProfiles_.end(),
                           [&](const auto& p) { return p->mask == flag && p->context == context; });
    if (it != flagProfiles_.end()) flagProfiles_.erase(it);
  });
}

void LKTTYLogger::clearColorsForTag(platform::Value tag) {
  runOnLoggerQueue([this, tag = std::move(tag)] {
    std::erase_if(tagProfiles_, [&](const auto& e) { return e.first == tag; });
  });
}

void LKTTYLogger::clearColorsForAllFlags() {
  runOnLoggerQueue([this] { flagProfiles_.clear(); });
}

void LKTTYLogger::clearColorsForAllTags() {
  runOnLoggerQueue([this] { tagProfiles_.clear(); });
}

void LKTTYLogger::clearAllColors() {
  runOnLoggerQueue([this] {
    flagProfiles_.clear();
    tagProfiles_.clear();
  });
}

std::vector<LKTTYLoggerColorProfilePtr> LKTTYLogger::flagProfiles() {
  std::vector<LKTTYLoggerColorProfilePtr> copy;
  readOnLoggerQueue([&] { copy = flagProfiles_; });
  return copy;
}

void LKTTYLogger::logMessage(const LKLogMessagePtr& message) {
  VARNEL_DCHECK(isOnInternalLoggerQueue());  // formatter_
  std::optional<std::string> text =
      formatter_ ? formatter_->formatLogMessage(*message) : message->message();
  if (!text) return;
  bool formatted = *text != message->message();

  LKTTYLoggerColorProfilePtr profile;
  if (colorsEnabled_) {
    if (!message->tag().isNone()) {
      for (const auto& [t, p] : tagProfiles_) {
        if (t == message->tag()) {
          profile = p;
          break;
        }
      }
    }
    if (!profile) {
      LKTTYLoggerColorProfilePtr anyContext;
      for (const auto& p : flagProfiles_) {
        if ((p->mask & message->flag()) == 0) continue;
        if (p->context == message->context()) {
          profile = p;
          break;
        }
        if (p->context == kLKTTYAnyContext) anyContext = p;
      }
      if (!profile) profile = anyContext;
    }
  }
  static const std::string kEmpty;
  const std::string& fg = profile ? profile->fgCode : kEmpty;
  const std::string& bg = profile ? profile->bgCode : kEmpty;
  const std::string& reset = profile ? profile->resetCode : kEmpty;
  bool endsWithNewline = !text->empty() && text->back() == '\n';

  std::vector<iovec> pieces;
  auto add = [&](const std::string& s) {
    if (!s.empty()) pieces.push_back(iovec{const_cast<char*>(s.data()), s.size()});
  };
  static const std::string kNewline = "\n";
  std::string stamp, threadID;
  if (formatted) {
    add(fg);
    add(bg);
    add(*text);
    if (automaticallyAppendNewlineForCustomFormatters() && !endsWithNewline) add(kNewline);
    add(reset);
  } else {
    auto c = platform::dateComponents(message->timestamp());
    stamp = platform::format("%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d", c.year, c.month, c.day,
                             c.hour, c.minute, c.second, c.millisecond);
    threadID = message->threadID().substr(0, 8);
    static const std::string kBlank = " ", kOpen = "[", kColon = ":", kClose = "] ";
    add(fg);
    add(bg);
    add(stamp);
    add(kBlank);
    add(appName_);
    add(kOpen);
    add(processID_);
    add(kColon);
    add(threadID);
    add(kClose);
    add(*text);
    if (!endsWithNewline) add(kNewline);
    add(reset);
  }
  const int fd = fd_;
  // One gathered write; a short write (a full pipe) goes on with the rest.
  std::size_t i = 0;
  while (i < pieces.size()) {
    ssize_t n = ::writev(fd, pieces.data() + i,
                         static_cast<int>(std::min<std::size_t>(pieces.size() - i, IOV_MAX)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the terminal is gone: nothing to report to
    }
    auto left = static_cast<std::size_t>(n);
    while (i < pieces.size() && left >= pieces[i].iov_len) left -= pieces[i++].iov_len;
    if (i < pieces.size()) {
      pieces[i].iov_base = static_cast<char*>(pieces[i].iov_base) + left;
      pieces[i].iov_len -= left;
    }
  }
}

}  // namespace logging
