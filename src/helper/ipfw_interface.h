// IPFWInterface: finds the network interface that carries the default
// route. The helper makes one at start-up and keeps it; nothing queries it.
//
// The kernel's routing table (/proc/net/route) is read on a global queue;
// the callback runs on the main queue once per default route found, in the
// table's order, and never when there is none.
//
// Thread safety: any thread; `standardInterface` is guarded by a lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/dispatch_task.h"

namespace helper {

inline constexpr const char* kRouteTablePath = "/proc/net/route";

class IPFWInterface {
 public:
  using InterfaceCallback = std::function<void(const std::string& interfaceName)>;

  // Reads the routing table at `routeTablePath` (the kernel's unless a
  // test names another file).
  static void GetStandardInterface(InterfaceCallback callback,
                                   std::string routeTablePath = kRouteTablePath);
  // The interfaces of the default routes in a routing table in the format
  // of /proc/net/route, in order.
  static std::vector<std::string> defaultRouteInterfaces(std::string_view table);

  std::string standardInterface() const;
  void setStandardInterface(std::string name);
  std::shared_ptr<ipc::DispatchTask> routeTask() const { return routeTask_; }

 private:
  mutable std::mutex mutex_;
  std::string standardInterface_;
  std::shared_ptr<ipc::DispatchTask> routeTask_;
};

}  // namespace helper
