// TLYEvent: the base of every analytics event. Each event contributes a
// name and a payload dictionary to one line of the event log (see
// tly_write_event_operation.h); the base itself is never recorded.
//
// An event gets its time stamp (now) and identifier (a new UUID, 36
// upper-case characters with hyphens) when it is made. Events are immutable
// once their factory returns.
//
// Thread safety: made on the caller's thread, then only read; any thread
// may read a finished event.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

namespace sdk {

class TLYEvent {
 public:
  TLYEvent();
  virtual ~TLYEvent();
  TLYEvent(const TLYEvent&) = delete;
  TLYEvent& operator=(const TLYEvent&) = delete;

  // The name its lines are written under; "unknown" here.
  virtual std::string name() const;
  // The payload; an empty dictionary here. None when the event cannot form
  // its payload (its line is then not written).
  virtual platform::Value dictionaryRepresentation() const;
  // Whether writing it makes the controller rotate and submit the log.
  virtual bool triggersFlush() const;
  // The time of the event: its creation time unless a subclass says else.
  virtual platform::Date timestamp() const;
  const std::string& identifier() const { return identifier_; }

  // The class's name, for descriptions.
  virtual std::string className() const { return "TLYEvent"; }
  // "<TLYEvent: unknown>" and the like; subclasses say more.
  virtual std::string description() const;

 private:
  const platform::Date timestamp_;
  const std::string identifier_;
};

// The payload key of every event's identifier.
inline constexpr const char* kTLYEventIdKey = "eventId";

}  // namespace sdk
