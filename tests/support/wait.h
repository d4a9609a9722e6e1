// Waiting for a condition in tests: the one helper every test uses instead
// of a local loop.
//
// waitUntil polls `condition` on the calling thread until it holds or the
// time-out passes; the time-out is a safety net, never a delay a test relies
// on. Between polls it yields, backing off from 0.1 ms to 5 ms, so a
// condition that turns true promptly is seen promptly.
//
// waitUntilOnMainRunLoop runs the main run loop between polls instead: use it
// where the awaited work is delivered through the main run loop (URL loading,
// run-loop timers, the main queue) and the test is on the main thread. `mode`
// is the run loop's mode to run in (nullptr: the default mode).
//
// Both return whether the condition held (a last check is made after the
// time-out). Thread safety: the condition runs on the calling thread only.
#pragma once

#include <chrono>
#include <functional>

namespace varnel::testing {

bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(15));

bool waitUntilOnMainRunLoop(const std::function<bool()>& condition,
                            std::chrono::milliseconds timeout = std::chrono::seconds(15),
                            const char* mode = nullptr);

}  // namespace varnel::testing
