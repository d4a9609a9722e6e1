#include "platform/system/notification_center.h"

#include "platform/system/operation_queue.h"

namespace platform {

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may still post while the process exits.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

NotificationCenter::ObserverToken NotificationCenter::add(RegistrationPtr registration) {
  std::lock_guard lock(mutex_);
  registration->id = nextId_++;
  ObserverToken token(registration->id);
  registrations_.push_back(std::move(registration));
  return token;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::string_view name,
                                                                  const void* object,
                                                                  dispatch::QueuePtr queue,
                                                                  Block block) {
  auto r = std::make_shared<Registration>();
  r->observer = nullptr;
  r->name = std::string(name);
  r->object = object;
  r->queue = std::move(queue);
  r->block = std::move(block);
  return add(std::move(r));
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(
    std::string_view name, const void* object, std::shared_ptr<OperationQueue> queue, Block block) {
  auto r = std::make_shared<Registration>();
  r->observer = nullptr;
  r->name = std::string(name);
  r->object = object;
  r->operationQueue = std::move(queue);
  r->block = std::move(block);
  return add(std::move(r));
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(const void* observer, Block block,
                                                                  std::string_view name,
                                                                  const void* object,
                                                                  dispatch::QueuePtr queue) {
  auto r = std::make_shared<Registration>();
  r->observer = observer;
  r->name = std::string(name);
  r->object = object;
  r->queue = std::move(queue);
  r->block = std::move(block);
  return add(std::move(r));
}

void NotificationCenter::removeIf(const std::function<bool(const Registration&)>& matches) {
  std::vector<RegistrationPtr> removed;
  {
    std::lock_guard lock(mutex_);
    auto keep = registrations_.begin();
    for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
      if (matches(**it)) {
        (*it)->removed.store(true);
        removed.push_back(std::move(*it));
      } else {
        if (keep != it) *keep = std::move(*it);
        ++keep;
      }
    }
    registrations_.erase(keep, registrations_.end());
  }
  // `removed` goes here, outside the lock: a block's captures may post or
  // remove observers when destroyed.
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
  if (!token) return;
  removeIf([&](const Registration& r) { return r.id == token.id_; });
}

void NotificationCenter::removeObserver(const void* observer) {
  if (!observer) return;
  removeIf([&](const Registration& r) { return r.observer == observer; });
}

void NotificationCenter::removeObserver(const void* observer, std::string_view name,
                                        const void* object) {
  if (!observer) return;
  removeIf([&](const Registration& r) {
    return r.observer == observer && (name.empty() || r.name == name) &&
           (!object || r.object == object);
  });
}

void NotificationCenter::deliver(const RegistrationPtr& registration,
                                 const Notification& notification) {
  if (!registration->removed.load()) registration->block(notification);
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<RegistrationPtr> matching;
  {
    std::lock_guard lock(mutex_);
    for (const RegistrationPtr& r : registrations_) {
      if ((r->name.empty() || r->name == notification.name) &&
          (!r->object || r->object == notification.objectIdentity())) {
        matching.push_back(r);
      }
    }
  }
  for (const RegistrationPtr& r : matching) {
    if (r->removed.load()) continue;
    if (r->queue) {
      r->queue->async([r, notification] { deliver(r, notification); });
    } else if (r->operationQueue) {
      r->operationQueue->addOperationWithBlock([r, notification] { deliver(r, notification); });
    } else {
      deliver(r, notification);
    }
  }
}

void NotificationCenter::post(std::string name, std::shared_ptr<void> object, Value userInfo) {
  post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

void NotificationCenter::postOnMainThread(Notification notification) {
  dispatch::Queue::main()->async(
      [this, notification = std::move(notification)] { post(notification); });
}

void NotificationCenter::postOnMainThread(std::string name, std::shared_ptr<void> object,
                                          Value userInfo) {
  postOnMainThread(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

}  // namespace platform
