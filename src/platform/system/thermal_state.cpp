#include "platform/system/thermal_state.h"

#include <dirent.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"

namespace platform {
namespace {

constexpr const char* kDefaultRoot = "/sys/class/thermal";
constexpr double kPollSeconds = 30;

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

const std::shared_ptr<ThermalStateMonitor>& ThermalStateMonitor::system() {
  // Never destroyed: its poll may outlive statics.
  static auto* monitor = new std::shared_ptr<ThermalStateMonitor>(create(kDefaultRoot));
  return *monitor;
}

std::shared_ptr<ThermalStateMonitor> ThermalStateMonitor::create(std::string root) {
  return std::make_shared<ThermalStateMonitor>(Passkey{}, std::move(root));
}

ThermalStateMonitor::ThermalStateMonitor(Passkey, std::string root) : root_(std::move(root)) {}

ThermalStateMonitor::~ThermalStateMonitor() {
  if (timer_) timer_->cancel();
}

void ThermalStateMonitor::startPollLocked() {
  if (timer_) return;
  timer_ = dispatch::Source::timer(dispatch::Queue::global(dispatch::Priority::Low));
  std::weak_ptr<ThermalStateMonitor> weak = weak_from_this();
  timer_->setEventHandler([weak] {
    if (auto self = weak.lock()) self->refresh();
  });
  timer_->setTimer(dispatch::seconds(kPollSeconds), dispatch::seconds(kPollSeconds),
                   dispatch::seconds(kPollSeconds / 10));
  timer_->resume();
}

ThermalState ThermalStateMonitor::thermalState() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    startPollLocked();
    if (last_) return *last_;
  }
  return refresh();
}

ThermalState ThermalStateMonitor::refresh() {
  ThermalState now;
  {
    std::lock_guard<std::mutex> reading(readMutex_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      startPollLocked();
    }
    now = readState(root_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (last_.has_value() && *last_ != now) ++unposted_;
    last_ = now;
    // Another thread is posting: it posts this change too, after its own.
    if (posting_ || unposted_ == 0) return now;
    posting_ = true;
  }
  // Posted with no lock held, so an observer may call refresh() itself, from
  // this thread or another one, without a deadlock.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (unposted_ == 0) {
        posting_ = false;
        break;
      }
      --unposted_;
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

}  // namespace platform
