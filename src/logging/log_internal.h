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
// Makes records queued from now on follow everything queued so far.
void lkCloseOpenBatch();

}  // namespace logging
