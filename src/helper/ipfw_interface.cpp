#include "helper/ipfw_interface.h"

#include <sstream>

#include "platform/dispatch/dispatch.h"
#include "platform/system/file_util.h"

namespace helper {

std::vector<std::string> IPFWInterface::defaultRouteInterfaces(std::string_view table) {
  // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...
  std::vector<std::string> out;
  std::istringstream in{std::string(table)};
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      header = false;
      if (line.rfind("Iface", 0) == 0) continue;
    }
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
    if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask))
      continue;
    unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
    if (destination == "00000000" && mask == "00000000" && (f & 0x1)) out.push_back(iface);
  }
  return out;
}

void IPFWInterface::GetStandardInterface(InterfaceCallback callback, std::string routeTablePath) {
  platform::dispatch::Queue::global()->async(
      [path = std::move(routeTablePath), callback = std::move(callback)] {
        std::optional<std::string> table = platform::files::readFile(path);
        if (!table || !callback) return;
        for (const std::string& name : defaultRouteInterfaces(*table))
          platform::dispatch::Queue::main()->async([callback, name] { callback(name); });
      });
}

std::string IPFWInterface::standardInterface() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return standardInterface_;
}

void IPFWInterface::setStandardInterface(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  standardInterface_ = std::move(name);
}

}  // namespace helper
