// VarnelHelper: the privileged helper. Started as root on the first message
// to its service "VarnelHelper"; runs until the last of its client's connections
// ends.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "helper/helper_files.h"
#include "helper/helper_info.h"
#include "helper/helper_log.h"
#include "helper/helper_service.h"
#include "helper/notification_logger.h"
#include "helper/system_preferences_handler.h"
#include "logging/file_logger.h"
#include "logging/log.h"
#include "logging/log_file_manager.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/sysconfig/nm_connection_driver.h"

int main(int argc, char** argv) {
  if (helper::printEmbeddedPropertyList(argc, argv)) return 0;

  // The network-services handler comes first, before any logger. PPTP, L2TP
  // and IPsec services are run by NetworkManager.
  std::shared_ptr<helper::SystemPreferencesHandler> preferences =
      helper::SystemPreferencesHandler::create(platform::sysconfig::NMConnectionDriver::create());

  auto fileManager = std::make_shared<logging::LKLogFileManagerDefault>(helper::privateFolder());
  logging::LKLog::addLogger(std::make_shared<logging::LKFileLogger>(fileManager));
  auto memoryLogger = std::make_shared<helper::LKNotificationLogger>();
  logging::LKLog::addLogger(memoryLogger);
  // Started by systemd: every line also goes to the journal.
  if (helper::JournalLogger::standardErrorIsJournal())
    logging::LKLog::addLogger(std::make_shared<helper::JournalLogger>());

  helper::HelperService::Options options;
  options.preferences = preferences;
  options.logger = memoryLogger;
  options.policy = helper::ExecutablePolicy::load();
  // "PING,RESTART" seconds of OpenVPN's keep-alive; only the service's own
  // environment (root's) can set it, tests use it to shorten the wait.
  if (const char* keepalive = std::getenv("VARNEL_OPENVPN_KEEPALIVE")) {
    int ping = 0, restart = 0;
    if (std::sscanf(keepalive, "%d,%d", &ping, &restart) == 2 && ping > 0 && restart > ping) {
      options.openVPNPing = ping;
      options.openVPNPingRestart = restart;
    }
  }
  std::shared_ptr<helper::HelperService> service = helper::HelperService::create(options);

  platform::dispatch::Queue::main()->async([service] { service->HelperStartup(); });
  platform::runloop::RunLoop::main().run();
  logging::LKLog::flushLog();
  return 0;
}
