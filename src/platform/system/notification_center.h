// platform::NotificationCenter: named broadcast notifications within the
// process, and the main-thread posting helpers.
//
// Guarantees:
//  1. post() calls every matching observer registered without a target
//     queue synchronously, on the posting thread, in registration order,
//     before it returns. Observers with a target (a dispatch queue or an
//     OperationQueue) get the notification asynchronously on that target;
//     post() does not wait for them.
//  2. An observer matches when its name is empty or equal to the
//     notification's, and its object filter is nullptr or the identity of
//     the notification's object.
//  3. Once removeObserver has returned, the observer's block is not called
//     again, not even for a post that is in progress or for a delivery
//     already queued on its target (a call running on another thread at
//     that moment may still complete).
//  4. Observers may post, add and remove observers from inside their block.
//  5. postOnMainThread always queues the post onto the main dispatch queue,
//     also when called on the main thread, so observers run later, on the
//     main thread, in the order of the calls.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/value.h"

namespace platform {

class OperationQueue;

// A notification: a name, an optional object (the sender) and a userInfo
// dictionary (None when there is none).
struct Notification {
  std::string name;
  std::shared_ptr<void> object;
  Value userInfo;

  // The identity observers filter on: the address the object pointer had
  // when it became a shared_ptr<void> (with multiple inheritance, filter with
  // a pointer of the same type that was posted).
  const void* objectIdentity() const { return object.get(); }
  template <class T>
  std::shared_ptr<T> objectAs() const {
    return std::static_pointer_cast<T>(object);
  }
  // A non-owning object handle for senders that are not held by a shared_ptr:
  // the notification then carries only their identity.
  static std::shared_ptr<void> identity(const void* sender) {
    return std::shared_ptr<void>(std::shared_ptr<void>(), const_cast<void*>(sender));
  }
};

class NotificationCenter {
 public:
  using Block = std::function<void(const Notification&)>;

  // What addObserver returns; pass it to removeObserver. Copies refer to
  // the same registration; an empty token removes nothing.
  class ObserverToken {
   public:
    ObserverToken() = default;
    explicit operator bool() const { return id_ != 0; }
    friend bool operator==(const ObserverToken&, const ObserverToken&) = default;

   private:
    friend class NotificationCenter;
    explicit ObserverToken(std::uint64_t id) : id_(id) {}
    std::uint64_t id_ = 0;
  };

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide center.
  static NotificationCenter& defaultCenter();

  // Observers. `name` empty matches every name; `object` nullptr matches
  // every sender. `queue` nullptr delivers synchronously (guarantee 1).
  ObserverToken addObserver(std::string_view name, const void* object, dispatch::QueuePtr queue,
                            Block block);
  ObserverToken addObserver(std::string_view name, const void* object,
                            std::shared_ptr<OperationQueue> queue, Block block);
  ObserverToken addObserver(std::string_view name, const void* object, std::nullptr_t,
                            Block block) {
    return addObserver(name, object, dispatch::QueuePtr(), std::move(block));
  }
  // The same, registered for `observer` (any identity, typically `this`),
  // so that removeObserver(observer) removes all its registrations at once.
  ObserverToken addObserver(const void* observer, Block block, std::string_view name,
                            const void* object, dispatch::QueuePtr queue = nullptr);

  void removeObserver(const ObserverToken& token);
  // Every registration made for `observer`.
  void removeObserver(const void* observer);
  // The registrations of `observer` for `name` (empty: any) and `object`
  // (nullptr: any).
  void removeObserver(const void* observer, std::string_view name, const void* object);

  void post(const Notification& notification);
  void post(std::string name, std::shared_ptr<void> object = nullptr, Value userInfo = Value());

  // Queue the post on the main dispatch queue (guarantee 5). The center
  // must outlive the queued post (the default center always does).
  void postOnMainThread(Notification notification);
  void postOnMainThread(std::string name, std::shared_ptr<void> object = nullptr,
                        Value userInfo = Value());

 private:
  struct Registration {
    std::uint64_t id;
    const void* observer;
    std::string name;
    const void* object;
    dispatch::QueuePtr queue;
    std::shared_ptr<OperationQueue> operationQueue;
    Block block;
    std::atomic<bool> removed{false};
  };
  using RegistrationPtr = std::shared_ptr<Registration>;

  ObserverToken add(RegistrationPtr registration);
  void removeIf(const std::function<bool(const Registration&)>& matches);
  static void deliver(const RegistrationPtr& registration, const Notification& notification);

  mutable std::mutex mutex_;
  std::vector<RegistrationPtr> registrations_;
  std::uint64_t nextId_ = 1;
};

}  // namespace platform
