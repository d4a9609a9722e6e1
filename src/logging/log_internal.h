// Dispatcher internals shared by the loggers of this folder; not for callers.
#pragma once

#include "platform/dispatch/dispatch.h"

namespace logging {

// True when the calling code runs on the logging queue.
bool lkIsOnLoggingQueue();
// True while the calling thread runs a logger's hook or a delivery: such a
// thread must never wait for the logging queue.
bool lkIsInsideLogging();
// Queues `block` on the logging queue after every record queued so far.
void lkSubmitToLoggingQueue(platform::dispatch::Block block);
// On the logging queue only: runs the records and work queued so far, so
// that what follows (in a `sync` onto the logging queue) comes after them.
void lkDrainPendingHere();

}  // namespace logging
