#include "sdk/analytics/tly_logger.h"

#include "sdk/platform/bcn_console.h"

namespace sdk {

TLYLogger& TLYLogger::sharedLogger() {
  static TLYLogger* logger = new TLYLogger();  // process lifetime, also during exit
  return *logger;
}

void TLYLogger::internalLog(const std::string& line) {
  if (!debugMode()) return;
  BCNConsoleWrite(line);
}

}  // namespace sdk
