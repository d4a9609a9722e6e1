// Suspending and resuming the sockets' dispatch sources.
//
// A source counts its suspensions, so every suspend needs its own resume.
// The sockets keep one "suspended" bit per source in their flags and change
// a source only when the bit says it is in the other state, so that repeated
// calls are harmless and a source is never left stopped by an unbalanced
// pair.
//
// Thread safety: none; call it on the queue that owns the flags.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/dispatch/dispatch.h"

namespace net::sockets {

// Suspends (`suspended` true) or resumes `source` unless `bit` of `flags`
// already says so, and records the new state in the bit. A null source is
// left alone and the bit unchanged.
inline void setSourceSuspended(const std::shared_ptr<platform::dispatch::Source>& source,
                               std::uint32_t& flags, std::uint32_t bit, bool suspended) {
  if (!source || ((flags & bit) != 0) == suspended) return;
  if (suspended) {
    source->suspend();
    flags |= bit;
  } else {
    source->resume();
    flags &= ~bit;
  }
}

}  // namespace net::sockets
