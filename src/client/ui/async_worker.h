// AsyncWorker: runs work on the global concurrent queue of default priority
// and hands its result to a completion on the main queue.
//
// The work and the completion are moved in and each runs exactly once; the
// completion never runs inside the call. Nothing is cancelled: the
// completion runs even when its caller is gone, so it must hold what it
// needs (a weak or QPointer reference to a window).
//
// Thread safety: may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/dispatch/dispatch.h"

namespace client::ui {

class AsyncWorker {
 public:
  template <class Result>
  static void runInBackground(std::function<Result()> work,
                              std::function<void(Result)> onComplete) {
    platform::dispatch::Queue::global(platform::dispatch::Priority::Default)
        ->async([work = std::move(work), onComplete = std::move(onComplete)]() mutable {
          auto result = std::make_shared<Result>(work());
          platform::dispatch::Queue::main()->async(
              [result, onComplete = std::move(onComplete)]() mutable {
                if (onComplete) onComplete(std::move(*result));
              });
        });
  }
};

}  // namespace client::ui
