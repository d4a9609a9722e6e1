// RecordStore: the records the dispatcher makes, reused instead of being
// made and freed for every call.
//
// Guarantees:
//  1. `take` hands the calling thread a blank record for its own use; its
//     text is empty but keeps the buffer of an earlier use, so writing a
//     short text in place allocates nothing in steady state.
//  2. `publish` fills in the other fields exactly as the public constructor
//     would (options 0, timestamp now, the facts of the calling thread and
//     of the queue it ran at `take`) and shares the record, whose shared
//     count lives inside it. When its last reference (strong or weak) goes,
//     on any thread, it returns to the store: its tag is released, a text
//     buffer over kKeptTextCapacity is freed, and the facts of the thread
//     that made it are kept, so the next record of that thread takes no
//     reference on them.
//  3. A record that was taken but not published goes back with `giveBack`.
// Not promised: that a thread gets back the records it made. Records are
// not given back to the system (only those released by a thread that is
// ending); their number is bounded by the records alive at once plus a small
// list per thread. A thread's lists go to the others when the thread ends.
//
// Thread safety: any thread may take, publish and release records.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

#include "logging/log_message.h"

namespace logging::detail {

class RecordStore {
 public:
  static constexpr std::size_t kKeptTextCapacity = 1024;

  static LKLogMessage* take();
  // The record's text, to be written before `publish`.
  static std::string& text(LKLogMessage* record) { return record->message_; }
  // `file` and `function` are kept as views (the record's options are 0).
  static LKLogMessagePtr publish(LKLogMessage* record, std::uint64_t level, std::uint64_t flag,
                                 std::int64_t context, std::string_view file,
                                 std::string_view function, std::uint64_t line,
                                 platform::Value&& tag);
  static void giveBack(LKLogMessage* record);

 private:
  static LKLogMessage* takeBlank();

 public:
  // The link of a record while it is in the store; it lives in the
  // record's queue slot, which is unused then.
  static LKLogMessage*& next(LKLogMessage* record) {
    return *std::launder(reinterpret_cast<LKLogMessage**>(record->queueSlot_));
  }
  // Room in a record taken from the store for the dispatcher's queue entry
  // of that record (kQueueSlotSize bytes, aligned to 16).
  static constexpr std::size_t kQueueSlotSize = sizeof(LKLogMessage::queueSlot_);
  static void* queueSlot(LKLogMessage* record) { return record->queueSlot_; }
  // Room for the record's shared count (kControlSlotSize bytes, aligned to 16).
  static constexpr std::size_t kControlSlotSize = sizeof(LKLogMessage::controlSlot_);
  static void* controlSlot(LKLogMessage* record) { return record->controlSlot_; }
};

}  // namespace logging::detail
