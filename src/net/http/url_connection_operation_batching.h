// The batching machinery of NKURLConnectionOperation (its guarantees 2 and
// 3), apart from the operation's own life cycle.
//
// Contract:
//  1. Start notifications. An operation started off the network thread
//     posts its start notification to the main queue at once. Operations
//     started on the network thread gather theirs until the thread has no
//     work at hand (NetworkThread::performWhenIdle), and then post them in
//     one main-queue block (flushStartNotifications). A pause or a finish on
//     the network thread flushes them first. A load end whose operation's
//     start notification is still gathered takes it along (guarantee 3
//     posts it just before the finish notification). So an operation's
//     finish notification never overtakes its start notification, and
//     loads that start and end in one busy stretch of the thread cost the
//     main queue no block of their own.
//  2. Load ends. The network thread hands each ended load over
//     (NKURLConnectionOperation::deferLoadEnd) into one process-wide queue,
//     in the order the loads ended, and never waits. A drainer on a global
//     queue takes every end that arrives while it runs, so a burst of ends
//     costs one hop, and polls briefly for more before it gives the queue
//     up (platform/dispatch/spin_budget.h). When ends pile up behind a busy
//     drainer, one helper takes them one at a time.
//  3. Finishing. Each batch finishes its operations in the order their loads
//     ended: states and observers first, then one main-queue block with
//     the start notifications their ends took along and then their finish
//     notifications (tFinishedInBatch collects them while the batch runs),
//     then their completion blocks, held back by a
//     platform::Operation::CompletionBatch and run on the drainer's thread.
// Not promised: which global thread finishes a load; ends of different
// operations may finish on two threads at once (drainer and helper), while
// the ends of one operation never do (it has one load at a time).
//
// Thread safety: flushStartNotifications and the gathering of start
// notifications are for the network thread; tFinishedInBatch is per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace net::http::url_connection_batching {

// Operations finished by the batch now running on this thread, for one
// main-queue block of finish notifications; nullptr outside a batch.
extern thread_local std::vector<std::shared_ptr<void>>* tFinishedInBatch;

// Posts `name` for each of `objects`, in order, on the calling thread.
void postAll(const char* name, const std::vector<std::shared_ptr<void>>& objects);
// Posts the start notifications gathered so far (network thread).
void flushStartNotifications();
// Posts `object`'s start notification, or gathers it on the network thread.
// Returns a ticket for startNotificationGathered: 0 when it was posted.
std::uint64_t postStartNotification(std::shared_ptr<void> object);
// The start notification of `object` gathered with `ticket`, taken out of
// the gathered ones; nullptr when it was posted already (network thread).
std::shared_ptr<void> takeStartNotification(std::uint64_t ticket, const void* object);

}  // namespace net::http::url_connection_batching
