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
//  2. The first call of thermalState() or refresh() starts a process-wide
//     poll (every 30 s, on a global queue of low priority). Whenever a poll
//     or refresh() finds a state different from the last one it saw, it
//     posts kProcessInfoThermalStateDidChangeNotification on
//     NotificationCenter::defaultCenter(), synchronously on the thread that
//     found it (any thread), with no object and no userInfo; when another
//     thread (or an observer on this one) is posting at that moment, that
//     post loop posts it too, right after its own, before it returns.
//  3. Posts happen one at a time, in the order the changes were found, and
//     with no lock held: an observer may call thermalState() or refresh()
//     from any thread.
// Not promised: how soon a change is seen (up to one poll interval).
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <string>

namespace platform {

// Values as the platform numbers them.
enum class ThermalState : long { Nominal = 0, Fair = 1, Serious = 2, Critical = 3 };

inline constexpr const char* kProcessInfoThermalStateDidChangeNotification =
    "NSProcessInfoThermalStateDidChangeNotification";

class ThermalStateMonitor {
 public:
  // Whether the process-information service offers a thermal state (always
  // true here; nominal when the machine reports nothing).
  static bool supportsThermalState() { return true; }
  // The state last seen; the first call reads it (and starts the poll).
  static ThermalState thermalState();
  // Reads the state now, posting the notification when it changed; returns it.
  static ThermalState refresh();
  // The rule above applied to the zones below `root` (a folder laid out like
  // /sys/class/thermal); reads only, posts nothing.
  static ThermalState readState(const std::string& root);
  // "nominal", "fair", "serious", "critical".
  static const char* name(ThermalState state);

  // Tests: read zones below `root` instead ("" restores /sys/class/thermal).
  // The next refresh() compares with the state seen before.
  static void setRootForTesting(const std::string& root);
};

}  // namespace platform
