// TLYMetadataSerializable: the contract of a source of the metadata line
// that opens every new event log (TLYMetadata for this run, TLYCrashMetadata
// for the previous run's crash event).
//
// Thread safety: implementations are immutable; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/value.h"

namespace sdk {

// The name of every metadata line.
inline constexpr const char* kTLYMetadataEventName = "metadata";

class TLYMetadataSerializable {
 public:
  virtual ~TLYMetadataSerializable() = default;
  // "metadata" for both kinds.
  virtual std::string eventName() const { return kTLYMetadataEventName; }
  // The payload of the metadata line, for a log whose first event happened
  // `startTime` whole seconds after 1970. None when there is nothing to
  // write (the line then cannot be formed).
  virtual platform::Value dictionaryRepresentationWithStartTime(std::uint64_t startTime) const = 0;
};

}  // namespace sdk
