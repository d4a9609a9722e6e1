#include "platform/system/thermal_state.h"

#include <dirent.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"

namespace platform {
namespace {

constexpr const char* kDefaultRoot = "/sys/class/thermal";
constexpr double kPollSeconds = 30;

struct Monitor {
  std::mutex readMutex;  // one reading at a time, so `last` follows the readings' order
  std::mutex mutex;      // guards the fields below; neither lock is held while posting
  std::string root = kDefaultRoot;
  std::optional<ThermalState> last;
  std::shared_ptr<dispatch::Source> timer;
  std::uint64_t unposted = 0;  // changes found and not yet posted
  bool posting = false;        // a thread is posting them
};

Monitor& monitor() {
  static Monitor* m = new Monitor();  // never destroyed: the poll may outlive statics
  return *m;
}

std::optional<long> readNumber(const std::string& path) {
  auto text = files::readFile(path);
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text->c_str(), &end, 10);
  if (end == text->c_str() || errno != 0) return std::nullopt;
  return value;
}

std::string readWord(const std::string& path) {
  auto text = files::readFile(path);
  if (!text) return {};
  std::string word = *text;
  while (!word.empty() && (word.back() == '\n' || word.back() == ' ')) word.pop_back();
  return word;
}

ThermalState zoneState(const std::string& zone) {
  auto temp = readNumber(zone + "/temp");
  if (!temp) return ThermalState::Nominal;
  ThermalState state = ThermalState::Nominal;
  // Trip points are numbered from 0 without gaps.
  for (int i = 0; i < 64; ++i) {
    std::string base = zone + "/trip_point_" + std::to_string(i);
    std::string type = readWord(base + "_type");
    if (type.empty()) break;
    auto trip = readNumber(base + "_temp");
    if (!trip || *trip <= 0 || *temp < *trip) continue;
    ThermalState reached = ThermalState::Nominal;
    if (type == "passive") reached = ThermalState::Fair;
    if (type == "hot") reached = ThermalState::Serious;
    if (type == "critical") reached = ThermalState::Critical;
    if (reached > state) state = reached;
  }
  return state;
}

void startPollLocked(Monitor& m) {
  if (m.timer) return;
  m.timer = dispatch::Source::timer(dispatch::Queue::global(dispatch::Priority::Low));
  m.timer->setEventHandler([] { ThermalStateMonitor::refresh(); });
  m.timer->setTimer(dispatch::seconds(kPollSeconds), dispatch::seconds(kPollSeconds),
                    dispatch::seconds(kPollSeconds / 10));
  m.timer->resume();
}

}  // namespace

ThermalState ThermalStateMonitor::readState(const std::string& root) {
  ThermalState state = ThermalState::Nominal;
  DIR* dir = ::opendir(root.c_str());
  if (!dir) return state;
  std::vector<std::string> zones;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.rfind("thermal_zone", 0) == 0) zones.push_back(root + "/" + name);
  }
  ::closedir(dir);
  for (const auto& zone : zones) {
    ThermalState z = zoneState(zone);
    if (z > state) state = z;
  }
  return state;
}

ThermalState ThermalStateMonitor::thermalState() {
  Monitor& m = monitor();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    startPollLocked(m);
    if (m.last) return *m.last;
  }
  return refresh();
}

ThermalState ThermalStateMonitor::refresh() {
  Monitor& m = monitor();
  ThermalState now;
  {
    std::lock_guard<std::mutex> reading(m.readMutex);
    std::string root;
    {
      std::lock_guard<std::mutex> lock(m.mutex);
      startPollLocked(m);
      root = m.root;
    }
    now = readState(root);
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.last.has_value() && *m.last != now) ++m.unposted;
    m.last = now;
    // Another thread is posting: it posts this change too, after its own.
    if (m.posting || m.unposted == 0) return now;
    m.posting = true;
  }
  // Posted with no lock held, so an observer may call refresh() itself, from
  // this thread or another one, without a deadlock.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m.mutex);
      if (m.unposted == 0) {
        m.posting = false;
        break;
      }
      --m.unposted;
    }
    NotificationCenter::defaultCenter().post(kProcessInfoThermalStateDidChangeNotification);
  }
  return now;
}

const char* ThermalStateMonitor::name(ThermalState state) {
  switch (state) {
    case ThermalState::Nominal:
      return "nominal";
    case ThermalState::Fair:
      return "fair";
    case ThermalState::Serious:
      return "serious";
    case ThermalState::Critical:
      return "critical";
  }
  return "nominal";
}

void ThermalStateMonitor::setRootForTesting(const std::string& root) {
  Monitor& m = monitor();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.root = root.empty() ? kDefaultRoot : root;
}

}  // namespace platform
