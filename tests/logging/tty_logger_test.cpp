#include "logging/tty_logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "logging/log.h"
#include "logging/test_loggers.h"

namespace logging {
namespace {

class Upper : public LKLogFormatter {
 public:
  std::optional<std::string> formatLogMessage(const LKLogMessage& m) override {
    return "<" + m.message() + ">";
  }
};

class TTYLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    savedTerm = getenv("TERM") ? getenv("TERM") : "";
    unsetenv("XcodeColors");
  }
  void TearDown() override {
    LKTTYLogger::resetForTesting();
    setenv("TERM", savedTerm.c_str(), 1);
    unsetenv("XcodeColors");
    close(fds[0]);
    close(fds[1]);
  }
  std::shared_ptr<LKTTYLogger> loggerFor(const char* term) {
    setenv("TERM", term, 1);
    LKTTYLogger::resetForTesting();
    return LKTTYLogger::createWithFileDescriptor(fds[1]);
  }
  // Writes one record through the logger on its queue and returns the output.
  std::string emit(const std::shared_ptr<LKTTYLogger>& logger, std::string text,
                   std::uint64_t flag = LKLogFlagError, std::int64_t context = 0,
                   platform::Value tag = {}) {
    auto m = std::make_shared<const LKLogMessage>(std::move(text), 31, flag, context, __FILE__,
                                                  __func__, __LINE__, std::move(tag), 0);
    testing::onLoggerQueue(logger, [&] { logger->logMessage(m); });
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }
  int fds[2];
  std::string savedTerm;
};

TEST_F(TTYLoggerTest, PureRedPicksNearestPaletteEntryIn256And16Colours) {
  loggerFor("xterm-256color");
  EXPECT_EQ(LKTTYLogger::colorMode(), LKTTYColorMode::Terminal256);
  auto red = LKTTYLoggerColorProfile::create(LKColor{1, 0, 0}, std::nullopt, LKLogFlagError, 0);
  ASSERT_TRUE(red);
  EXPECT_EQ(red->fgCodeRaw, "38;5;196m");
  EXPECT_EQ(red->fgCode, "\033[38;5;196m");
  EXPECT_EQ(red->bgCode, "");
  EXPECT_EQ(red->fg_r, 255);
  // The first palette entries keep their calibrated colours.
  EXPECT_EQ(LKTTYLogger::codeIndexForColor(LKColor{0.1843, 0.1922, 0.1922}), 0);

  loggerFor("xterm-COLOR");
  EXPECT_EQ(LKTTYLogger::colorMode(), LKTTYColorMode::Terminal16);
  auto red16 =
      LKTTYLoggerColorProfile::create(LKColor{1, 0, 0}, LKColor{0, 0, 0}, LKLogFlagError, 0);
  EXPECT_EQ(red16->fgCodeRaw, "1;31m");
  EXPECT_EQ(red16->bgCode, "\033[40m");
  EXPECT_NE(red16->description().find("fgCode:1;31m bgCode:40m"), std::string::npos);
}

TEST_F(TTYLoggerTest, ColouredRecordIsOneLineBetweenCodesOnThePipe) {
  auto logger = loggerFor("xterm-256color");
  logger->setColorsEnabled(true);  // loads the Error and Warning defaults
  EXPECT_TRUE(logger->colorsEnabled());
  std::string out = emit(logger, "boom");
  std::string shape = "\033[38;5;*m####-##-## ##:##:##:### " +
                      std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) +
                      ":*] boom\n\033[0m";
  EXPECT_TRUE(testing::hasShape(out, shape)) << out;
  EXPECT_EQ(emit(logger, "plain info", LKLogFlagInfo).find('\033'), std::string::npos);
  // A formatted text is written as it is, with one newline.
  logger->setLogFormatter(std::make_shared<Upper>());
  std::string formatted = emit(logger, "x\n", LKLogFlagWarning);
  EXPECT_TRUE(formatted.starts_with("\033[38;5;")) << formatted;
  EXPECT_TRUE(formatted.ends_with("<x\n>\n\033[0m")) << formatted;
  logger->setLogFormatter(nullptr);
}

TEST_F(TTYLoggerTest, WithoutAColourTerminalNoEscapeCodeIsWritten) {
  auto logger = loggerFor("dumb");
  EXPECT_EQ(LKTTYLogger::colorMode(), LKTTYColorMode::None);
  logger->setColorsEnabled(true);
  std::string out = emit(logger, "ends with newline\n");
  EXPECT_EQ(out.find('\033'), std::string::npos);
  EXPECT_TRUE(out.ends_with("] ends with newline\n")) << out;
  EXPECT_FALSE(out.ends_with("\n\n"));
}

TEST_F(TTYLoggerTest, XcodeColorsModeWritesComponentCodes) {
  setenv("XcodeColors", "YES", 1);
  auto logger = loggerFor("dumb");
  EXPECT_EQ(LKTTYLogger::colorMode(), LKTTYColorMode::XcodeColors);
  auto p = LKTTYLoggerColorProfile::create(LKColor{1, 0.5, 0}, LKColor{0, 0, 1}, LKLogFlagInfo, 0);
  EXPECT_EQ(p->fgCode, "\033[fg255,127,0;");
  EXPECT_EQ(p->bgCode, "\033[bg0,0,255;");
  EXPECT_EQ(p->resetCode, "\033[;");
}

TEST_F(TTYLoggerTest, ProfileChoiceByTagThenContextThenAnyContext) {
  auto logger = loggerFor("xterm-256color");
  logger->setColorsEnabled(true);
  logger->clearColorsForAllFlags();
  logger->setForegroundColor(LKColor{0, 0, 1}, std::nullopt, LKLogFlagInfo);     // any context
  logger->setForegroundColor(LKColor{0, 1, 0}, std::nullopt, LKLogFlagInfo, 9);  // context 9
  logger->setForegroundColorForTag(LKColor{1, 1, 1}, std::nullopt, platform::Value("special"));
  EXPECT_TRUE(emit(logger, "a", LKLogFlagInfo, 1).starts_with("\033[38;5;21m"));
  EXPECT_TRUE(emit(logger, "b", LKLogFlagInfo, 9).starts_with("\033[38;5;46m"));
  EXPECT_TRUE(emit(logger, "c", LKLogFlagInfo, 9, platform::Value("special"))
                  .starts_with("\033[38;5;231m"));
  logger->clearColorsForTag(platform::Value("special"));
  EXPECT_TRUE(
      emit(logger, "d", LKLogFlagInfo, 9, platform::Value("special")).starts_with("\033[38;5;46m"));

  // The plain clear is for context 0 and leaves the any-context profile.
  logger->clearColorsForFlag(LKLogFlagInfo);
  EXPECT_EQ(logger->flagProfiles().size(), 2u);
  logger->clearColorsForFlag(LKLogFlagInfo, kLKTTYAnyContext);
  EXPECT_EQ(logger->flagProfiles().size(), 1u);
  logger->clearAllColors();
  EXPECT_EQ(emit(logger, "e", LKLogFlagInfo, 9).find('\033'), std::string::npos);
}

}  // namespace
}  // namespace logging
