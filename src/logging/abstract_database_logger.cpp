#include "logging/abstract_database_logger.h"

namespace logging {

namespace dispatch = platform::dispatch;
using Clock = std::chrono::steady_clock;

LKAbstractDatabaseLogger::LKAbstractDatabaseLogger(std::string name)
    : LKAbstractLogger(std::move(name)) {}

LKAbstractDatabaseLogger::~LKAbstractDatabaseLogger() {
  destroySaveTimer();
  destroyDeleteTimer();
}

void LKAbstractDatabaseLogger::runOnQueue(std::function<void()> block) {
  runOnLoggerQueue(std::move(block));
}

#define LK_GETTER(type, field)           \
  type v{};                              \
  readOnLoggerQueue([&] { v = field; }); \
  return v

std::uint64_t LKAbstractDatabaseLogger::saveThreshold() {
  LK_GETTER(std::uint64_t, saveThreshold_);
}
double LKAbstractDatabaseLogger::saveInterval() { LK_GETTER(double, saveInterval_); }
double LKAbstractDatabaseLogger::maxAge() { LK_GETTER(double, maxAge_); }
double LKAbstractDatabaseLogger::deleteInterval() { LK_GETTER(double, deleteInterval_); }
bool LKAbstractDatabaseLogger::deleteOnEverySave() { LK_GETTER(bool, deleteOnEverySave_); }

#undef LK_GETTER

void LKAbstractDatabaseLogger::setSaveThreshold(std::uint64_t records) {
  runOnQueue([this, records] {
    if (saveThreshold_ == records) return;
    saveThreshold_ = records;
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
  });
}

void LKAbstractDatabaseLogger::setSaveInterval(double seconds) {
  runOnQueue([this, seconds] {
    if (saveInterval_ == seconds) return;
    saveInterval_ = seconds;
    if (saveInterval_ > 0) {
      if (!saveTimer_) createSuspendedSaveTimer();
      updateAndResumeSaveTimer();
    } else {
      destroySaveTimer();
    }
  });
}

void LKAbstractDatabaseLogger::setMaxAge(double seconds) {
  runOnQueue([this, seconds] {
    if (maxAge_ == seconds) return;
    double old = maxAge_;
    maxAge_ = seconds;
    if (old > 0 && seconds <= 0) {
      destroyDeleteTimer();
    } else if ((seconds > 0 && seconds < old) || (seconds > 0 && old <= 0)) {
      performDelete();
      if (deleteTimer_) {
        updateDeleteTimer();
      } else {
        createAndStartDeleteTimer();
      }
    }
  });
}

void LKAbstractDatabaseLogger::setDeleteInterval(double seconds) {
  runOnQueue([this, seconds] {
    if (deleteInterval_ == seconds) return;
    deleteInterval_ = seconds;
    if (deleteInterval_ > 0) {
      if (deleteTimer_) {
        updateDeleteTimer();
      } else {
        createAndStartDeleteTimer();
      }
    } else {
      destroyDeleteTimer();
    }
  });
}

void LKAbstractDatabaseLogger::setDeleteOnEverySave(bool value) {
  runOnQueue([this, value] { deleteOnEverySave_ = value; });
}

void LKAbstractDatabaseLogger::savePendingLogEntries() {
  if (isOnInternalLoggerQueue()) {
    performSaveAndSuspendSaveTimer();
    return;
  }
  auto self = std::static_pointer_cast<LKAbstractDatabaseLogger>(weak_from_this().lock());
  if (!self) {  // not owned by a shared_ptr: nothing may run later
    loggerQueue()->sync([this] { performSaveAndSuspendSaveTimer(); });
    return;
  }
  loggerQueue()->async([self] { self->performSaveAndSuspendSaveTimer(); });
}

void LKAbstractDatabaseLogger::deleteOldLogEntries() {
  if (isOnInternalLoggerQueue()) {
    performDelete();
    return;
  }
  auto self = std::static_pointer_cast<LKAbstractDatabaseLogger>(weak_from_this().lock());
  if (!self) {  // not owned by a shared_ptr: nothing may run later
    loggerQueue()->sync([this] { performDelete(); });
    return;
  }
  loggerQueue()->async([self] { self->performDelete(); });
}

void LKAbstractDatabaseLogger::didAddLogger() {
  createSuspendedSaveTimer();
  createAndStartDeleteTimer();
}

void LKAbstractDatabaseLogger::willRemoveLogger() {
  performSaveAndSuspendSaveTimer();
  destroySaveTimer();
  destroyDeleteTimer();
}

void LKAbstractDatabaseLogger::flush() { performSaveAndSuspendSaveTimer(); }

void LKAbstractDatabaseLogger::logMessage(const LKLogMessagePtr& message) {
  if (!db_log(message)) return;
  ++unsavedCount_;
  if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
    performSaveAndSuspendSaveTimer();
  } else if (unsavedCount_ == 1) {
    unsavedTime_ = Clock::now();
    updateAndResumeSaveTimer();
  }
}

void LKAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
  if (unsavedCount_ > 0) {
    if (deleteOnEverySave_) {
      db_saveAndDelete();
    } else {
      db_save();
    }
  }
  unsavedCount_ = 0;
  unsavedTime_ = {};
  if (saveTimer_ && !saveTimerSuspended_) {
    saveTimer_->suspend();
    saveTimerSuspended_ = true;
  }
}

void LKAbstractDatabaseLogger::performDelete() {
  if (maxAge_ > 0) {
    db_delete();
    lastDeleteTime_ = Clock::now();
  }
}

void LKAbstractDatabaseLogger::createSuspendedSaveTimer() {
  if (saveTimer_ || saveInterval_ <= 0) return;
  saveTimer_ = dispatch::Source::timer(loggerQueue());
  std::weak_ptr<LKLogger> weak = weak_from_this();
  saveTimer_->setEventHandler([weak] {
    if (auto self = std::static_pointer_cast<LKAbstractDatabaseLogger>(weak.lock())) {
      self->performSaveAndSuspendSaveTimer();
    }
  });
  saveTimerSuspended_ = true;  // a new source starts suspended
}

void LKAbstractDatabaseLogger::updateAndResumeSaveTimer() {
  if (!saveTimer_ || saveInterval_ <= 0 || unsavedCount_ == 0) return;
  auto interval = dispatch::seconds(saveInterval_);
  auto start = unsavedTime_ + interval - Clock::now();
  if (start < dispatch::Duration::zero()) start = dispatch::Duration::zero();
  saveTimer_->setTimer(std::chrono::duration_cast<dispatch::Duration>(start), interval,
                       dispatch::Duration(1));
  if (saveTimerSuspended_) {
    saveTimer_->resume();
    saveTimerSuspended_ = false;
  }
}

void LKAbstractDatabaseLogger::destroySaveTimer() {
  if (!saveTimer_) return;
  saveTimer_->cancel();
  if (saveTimerSuspended_) {
    saveTimer_->resume();  // a suspended source finishes cancelling when resumed
    saveTimerSuspended_ = false;
  }
  saveTimer_.reset();
  saveTimerSuspended_ = true;
}

void LKAbstractDatabaseLogger::createAndStartDeleteTimer() {
  if (deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
  deleteTimer_ = dispatch::Source::timer(loggerQueue());
  std::weak_ptr<LKLogger> weak = weak_from_this();
  deleteTimer_->setEventHandler([weak] {
    if (auto self = std::static_pointer_cast<LKAbstractDatabaseLogger>(weak.lock()))
      self->performDelete();
  });
  updateDeleteTimer();
  deleteTimer_->resume();
}

void LKAbstractDatabaseLogger::updateDeleteTimer() {
  if (!deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) return;
  auto interval = dispatch::seconds(deleteInterval_);
  auto start = lastDeleteTime_ == TimePoint{} ? interval
                                              : std::chrono::duration_cast<dispatch::Duration>(
                                                    lastDeleteTime_ + interval - Clock::now());
  if (start < dispatch::Duration::zero()) start = dispatch::Duration::zero();
  deleteTimer_->setTimer(start, interval, dispatch::Duration(1));
}

void LKAbstractDatabaseLogger::destroyDeleteTimer() {
  if (!deleteTimer_) return;
  deleteTimer_->cancel();
  deleteTimer_.reset();
}

}  // namespace logging
