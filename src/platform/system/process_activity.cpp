#include "platform/system/process_activity.h"

#include <algorithm>
#include <mutex>

namespace platform {
namespace {

struct State {
  std::mutex mutex;
  // The active activities; an Activity removes its own entry when its last
  // token goes (guarantee 1).
  std::vector<ProcessActivities::ActivityInfo> infos;
  std::uint64_t nextId = 1;
  long sudden = 0;
  long automatic = 0;
  std::vector<std::string> automaticReasons;
};

State& state() {
  static State* s = new State();  // never destroyed: tokens may outlive statics
  return *s;
}

void removeLocked(State& s, std::uint64_t id) {
  s.infos.erase(std::remove_if(s.infos.begin(), s.infos.end(),
                               [id](const auto& i) { return i.identifier == id; }),
                s.infos.end());
}

bool anyActiveWith(State& s, std::uint64_t bit) {
  return std::any_of(s.infos.begin(), s.infos.end(),
                     [bit](const auto& i) { return (i.options & bit) != 0; });
}

}  // namespace

ProcessActivities::Activity::~Activity() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  removeLocked(s, id_);
}

ProcessActivities::Token ProcessActivities::beginActivity(std::uint64_t options,
                                                          std::string reason) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::uint64_t id = s.nextId++;
  auto token = std::make_shared<Activity>(options, reason, id);
  s.infos.push_back(ActivityInfo{id, options, std::move(reason)});
  return token;
}

void ProcessActivities::endActivity(const Token& token) {
  if (!token) return;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  removeLocked(s, token->identifier());
}

std::vector<ProcessActivities::ActivityInfo> ProcessActivities::activeActivities() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.infos;
}

void ProcessActivities::disableSuddenTermination() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.sudden;
}

void ProcessActivities::enableSuddenTermination() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  --s.sudden;
}

void ProcessActivities::disableAutomaticTermination(const std::string& reason) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.automatic;
  s.automaticReasons.push_back(reason);
}

void ProcessActivities::enableAutomaticTermination(const std::string& reason) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  --s.automatic;
  auto it = std::find(s.automaticReasons.begin(), s.automaticReasons.end(), reason);
  if (it != s.automaticReasons.end()) s.automaticReasons.erase(it);
}

long ProcessActivities::suddenTerminationDisabledCount() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sudden;
}

long ProcessActivities::automaticTerminationDisabledCount() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.automatic;
}

std::vector<std::string> ProcessActivities::automaticTerminationReasons() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.automaticReasons;
}

bool ProcessActivities::suddenTerminationAllowed() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.sudden <= 0 && !anyActiveWith(s, kActivitySuddenTerminationDisabled);
}

bool ProcessActivities::automaticTerminationAllowed() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.automatic <= 0 && !anyActiveWith(s, kActivityAutomaticTerminationDisabled);
}

void ProcessActivities::resetForTesting() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.infos.clear();
  s.sudden = 0;
  s.automatic = 0;
  s.automaticReasons.clear();
}

}  // namespace platform
