#include "client/core/crash_reporting_start.h"

#include <optional>

#include "client/Singletons/varnel_log.h"
#include "platform/foundation/exception.h"
#include "sdk/crash/crashtrail.h"
#include "sdk/platform/beacon.h"

namespace client {

namespace {
// The first call's answer (main thread only).
std::optional<bool>& firstAnswer() {
  static std::optional<bool> answer;
  return answer;
}
}  // namespace

void logToClientLog(const std::string& line) { VarnelLog::sharedInstance().AddToLog(line); }

bool startCrashReporting(const std::function<void(const std::string&)>& log) {
  if (firstAnswer()) return *firstAnswer();
  firstAnswer() = false;
  // Registering the class here also keeps the kit linked into the program.
  sdk::Crashtrail::registerKitClass();
  try {
    sdk::Beacon::with({sdk::BCNKitElement(sdk::kCrashtrailKitClassName)});
    firstAnswer() = true;
  } catch (const platform::Exception& exception) {
    if (exception.name() != sdk::kBCNExceptionName) throw;
    if (log) log("Crash reporting is not available: " + exception.reason());
  }
  return *firstAnswer();
}

void resetCrashReportingStartForTesting() { firstAnswer().reset(); }

}  // namespace client
