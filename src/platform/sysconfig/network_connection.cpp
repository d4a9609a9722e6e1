#include "platform/sysconfig/network_connection.h"

namespace platform::sysconfig {

NetworkConnectionPtr NetworkConnection::create(std::string serviceID, StatusCallback callback,
                                               void* context, std::string preferencesPath,
                                               std::shared_ptr<ConnectionDriver> driver) {
  NetworkConnectionPtr c(new NetworkConnection());
  c->serviceID_ = std::move(serviceID);
  c->callback_ = std::move(callback);
  c->context_ = context;
  c->preferencesPath_ = std::move(preferencesPath);
  c->driver_ = driver;
  c->serial_ = dispatch::Queue::createSerial("sysconfig.connection." + c->serviceID_);
  return c;
}

void NetworkConnection::setDispatchQueue(dispatch::QueuePtr queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_ = std::move(queue);
}

bool NetworkConnection::start(const Value& /*userOptions*/, bool /*linger*/) {
  auto prefs = Preferences::create("connection", preferencesPath_);
  std::optional<NetworkService> service = prefs->service(serviceID_);
  if (!service || !service->enabled) return false;
  std::shared_ptr<ConnectionDriver> d = driver_.lock();
  if (!d) {
    setFailureReason("No connection driver is installed.");
    return false;
  }
  return d->start(shared_from_this(), *service);
}

bool NetworkConnection::stop(bool forceDisconnect) {
  std::shared_ptr<ConnectionDriver> d = driver_.lock();
  return d ? d->stop(shared_from_this(), forceDisconnect) : true;
}

std::string NetworkConnection::failureReason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failureReason_;
}

void NetworkConnection::setFailureReason(std::string reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  failureReason_ = std::move(reason);
}

ConnectionStatus NetworkConnection::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

void NetworkConnection::reportStatus(ConnectionStatus status) {
  dispatch::QueuePtr target;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    target = queue_ ? queue_ : dispatch::Queue::global();
  }
  // The serial queue keeps the reports in order; each runs on `target`.
  // Every report is delivered: the queued report keeps the connection
  // until it has run (a driver may drop its reference right after).
  NetworkConnectionPtr self = shared_from_this();
  serial_->async([self, target, status] {
    if (!self->callback_) return;
    if (target->isSerial() || target->isMain()) {
      target->sync([&] { self->callback_(self, status, self->context_); });
    } else {
      self->callback_(self, status, self->context_);
    }
  });
}

bool SimulatorDriver::start(const NetworkConnectionPtr& connection, const NetworkService& service) {
  std::vector<ConnectionStatus> statuses;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++starts_;
    started_.push_back(service);
    if (startFails_) return false;
    last_ = connection;
    statuses = startStatuses_;
  }
  for (ConnectionStatus s : statuses) connection->reportStatus(s);
  return true;
}

bool SimulatorDriver::stop(const NetworkConnectionPtr& connection, bool force) {
  bool ok = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stops_;
    if (force) ++forced_;
    if (!force && !stopResults_.empty()) {
      ok = stopResults_.front();
      stopResults_.pop_front();
    }
  }
  if (ok) {
    connection->reportStatus(ConnectionStatus::Disconnecting);
    connection->reportStatus(ConnectionStatus::Disconnected);
  }
  return ok;
}

void SimulatorDriver::setStartStatuses(std::vector<ConnectionStatus> statuses) {
  std::lock_guard<std::mutex> lock(mutex_);
  startStatuses_ = std::move(statuses);
}

void SimulatorDriver::setStartFails(bool fails) {
  std::lock_guard<std::mutex> lock(mutex_);
  startFails_ = fails;
}

void SimulatorDriver::setStopResults(std::deque<bool> results) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopResults_ = std::move(results);
}

void SimulatorDriver::report(ConnectionStatus status) {
  NetworkConnectionPtr c = lastConnection();
  if (c) c->reportStatus(status);
}

int SimulatorDriver::startCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return starts_;
}
int SimulatorDriver::stopCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stops_;
}
int SimulatorDriver::forcedStopCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forced_;
}
NetworkConnectionPtr SimulatorDriver::lastConnection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}
std::vector<NetworkService> SimulatorDriver::startedServices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return started_;
}

}  // namespace platform::sysconfig
