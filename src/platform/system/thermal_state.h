// platform::ThermalStateMonitor: the machine's thermal state, as the
// process-information service reports it, and its change notification.
//
// Linux source: the thermal zones under /sys/class/thermal. A zone whose
// temperature ("temp", millidegrees Celsius) has reached one of its trip
// points counts as: "passive" trip -> fair (the kernel starts throttling),
// "hot" -> serious, "critical" -> critical; "active" trips (fans) do not
// count. The machine's state is the highest state of any zone. Without a
// readable zone the state is nominal.
//
// Guarantees:
//  1. thermalState() never blocks on anything but reading a few small sysfs
//     files, and never fails: unreadable or malformed files count as nominal.
//  2. A monitor reads the zones below the root it was made with: system()
//     is the machine's (/sys/class/thermal), made once for the process;
//     create() makes one over another folder laid out like it. The first
//     call of a monitor's thermalState() or refresh() starts its poll (every
//     30 s, on a global queue of low priority), which ends when the monitor
//     is destroyed. Whenever a poll or refresh() finds a state different
//     from the last one that monitor saw, it
//     posts kProcessInfoThermalStateDidChangeNotification on
//     NotificationCenter::defaultCenter(), synchronously on the thread that
//     found it (any thread), with no object and no userInfo; when another
//     thread (or an observer on this one) is posting at that moment, that
//     post loop posts it too, right after its own, before it returns.
//  3. A monitor's posts happen one at a time, in the order the changes were
//     found, and with no lock held: an observer may call thermalState() or
//     refresh() from any thread.
// Not promised: how soon a change is seen (up to one poll interval).
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch.h"

namespace platform {

// Values as the platform numbers them.
enum class ThermalState : long { Nominal = 0, Fair = 1, Serious = 2, Critical = 3 };

inline constexpr const char* kProcessInfoThermalStateDidChangeNotification =
    "NSProcessInfoThermalStateDidChangeNotification";

class ThermalStateMonitor : public std::enable_shared_from_this<ThermalStateMonitor> {
  struct Passkey {};

 public:
  // The machine's monitor (guarantee 2); never destroyed.
  static const std::shared_ptr<ThermalStateMonitor>& system();
  // A monitor of the zones below `root`.
  static std::shared_ptr<ThermalStateMonitor> create(std::string root);
  ThermalStateMonitor(Passkey, std::string root);
  ~ThermalStateMonitor();
  ThermalStateMonitor(const ThermalStateMonitor&) = delete;
  ThermalStateMonitor& operator=(const ThermalStateMonitor&) = delete;

  // Whether the process-information service offers a thermal state (always
  // true here; nominal when the machine reports nothing).
  static bool supportsThermalState() { return true; }
  // The state last seen; the first call reads it (and starts the poll).
  ThermalState thermalState();
  // Reads the state now, posting the notification when it changed; returns it.
  ThermalState refresh();
  const std::string& root() const { return root_; }
  // The rule above applied to the zones below `root` (a folder laid out like
  // /sys/class/thermal); reads only, posts nothing.
  static ThermalState readState(const std::string& root);
  // "nominal", "fair", "serious", "critical".
  static const char* name(ThermalState state);

 private:
  void startPollLocked();

  const std::string root_;
  std::mutex readMutex_;  // one reading at a time, so `last_` follows the readings' order
  std::mutex mutex_;      // guards the fields below; neither lock is held while posting
  std::optional<ThermalState> last_;
  std::shared_ptr<dispatch::Source> timer_;
  std::uint64_t unposted_ = 0;  // changes found and not yet posted
  bool posting_ = false;        // a thread is posting them
};

}  // namespace platform
