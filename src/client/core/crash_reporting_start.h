// The client's start of the crash-reporting and analytics SDK: the kit
// registry is started once, on the main thread, with the crash-reporting
// kit alone (the registry adds the analytics kit itself).
//
// Guarantees:
//  1. startCrashReporting registers the kit with the registry on its first
//     call only; later calls do nothing and answer what the first answered.
//  2. A misconfigured SDK (no information dictionary, no "Beacon"
//     dictionary, no API key: the registry raises "BCNException") does not
//     stop the client: one line goes to `log` and the call answers false.
//     Other exceptions are not swallowed.
//
// Thread safety: main thread only (as the registry's start requires).
#pragma once

#include <functional>
#include <string>

namespace client {

// Writes one line to the client's log.
void logToClientLog(const std::string& line);

// Guarantees 1 and 2. True when the registry ran without raising.
bool startCrashReporting(const std::function<void(const std::string&)>& log = logToClientLog);

// Tests: lets the next startCrashReporting run again.
void resetCrashReportingStartForTesting();

}  // namespace client
