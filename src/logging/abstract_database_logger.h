// LKAbstractDatabaseLogger: the base of a logger that stores records in a
// database in batches. It counts unsaved records and saves when
// `saveThreshold` records are waiting or `saveInterval` seconds have passed
// since the first of them; it deletes entries older than `maxAge` every
// `deleteInterval` seconds. Subclasses provide the storage through the four
// db_ hooks (the base versions store and do nothing).
//
// Both timers run on the logger's queue; a flush and the removal of the
// logger save what is pending.
//
// Thread safety: getters and setters may be called from any thread (setters
// take effect after records already queued; getters wait for changes queued
// before them). Everything else runs on the logger's queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "logging/abstract_logger.h"

namespace logging {

class LKAbstractDatabaseLogger : public LKAbstractLogger {
 public:
  explicit LKAbstractDatabaseLogger(std::string name = "LKAbstractDatabaseLogger");
  ~LKAbstractDatabaseLogger() override;

  std::uint64_t saveThreshold();
  void setSaveThreshold(std::uint64_t records);  // 0: no count threshold
  double saveInterval();
  void setSaveInterval(double seconds);  // 0 or less: no save timer
  double maxAge();
  void setMaxAge(double seconds);  // 0 or less: nothing is deleted
  double deleteInterval();
  void setDeleteInterval(double seconds);  // 0 or less: no delete timer
  bool deleteOnEverySave();
  void setDeleteOnEverySave(bool value);

  // Save now / delete now (at once on the logger's queue, else queued on it).
  void savePendingLogEntries();
  void deleteOldLogEntries();

  void didAddLogger() override;
  void willRemoveLogger() override;
  void logMessage(const LKLogMessagePtr& message) override;
  bool implementsFlush() const override { return true; }
  void flush() override;

 protected:
  // Storage hooks, called on the logger's queue.
  virtual bool db_log(const LKLogMessagePtr& /*message*/) { return false; }
  virtual void db_save() {}
  virtual void db_delete() {}
  virtual void db_saveAndDelete() {}

  // For subclasses and tests: whether each timer exists and runs.
  bool hasSaveTimer() const { return saveTimer_ != nullptr; }
  bool isSaveTimerSuspended() const { return saveTimerSuspended_; }
  bool hasDeleteTimer() const { return deleteTimer_ != nullptr; }
  std::uint64_t unsavedCount() const { return unsavedCount_; }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  void runOnQueue(std::function<void()> block);
  void performSaveAndSuspendSaveTimer();
  void performDelete();
  void destroySaveTimer();
  void updateAndResumeSaveTimer();
  void createSuspendedSaveTimer();
  void destroyDeleteTimer();
  void updateDeleteTimer();
  void createAndStartDeleteTimer();

  std::uint64_t saveThreshold_ = 500;
  double saveInterval_ = 60.0;
  double maxAge_ = 60.0 * 60 * 24 * 7;
  double deleteInterval_ = 60.0 * 5;
  bool deleteOnEverySave_ = false;
  bool saveTimerSuspended_ = true;
  std::uint64_t unsavedCount_ = 0;
  TimePoint unsavedTime_{};
  TimePoint lastDeleteTime_{};
  std::shared_ptr<platform::dispatch::Source> saveTimer_, deleteTimer_;
};

}  // namespace logging
