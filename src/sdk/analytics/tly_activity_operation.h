// TLYActivityOperation: a queue operation that ends a process activity when
// it runs. Its owner makes it depend on the work the activity covers and
// queues both together, so that the activity lasts from the queuing of the
// work until that work has run.
//
// The activity begins when the operation is made; running the operation
// ends it; an operation that never runs ends it when it is freed (the
// activity ends with its last owner).
//
// Thread safety: as platform::Operation; activity() may be read from any
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/system/operation.h"
#include "sdk/analytics/tly_activity.h"

namespace sdk {

class TLYActivityOperation : public platform::Operation {
 public:
  // A new operation whose activity begins at once.
  static std::shared_ptr<TLYActivityOperation> operationByStartingActivityName(
      const std::string& name, std::uint64_t options);

  TLYActivityOperation() = default;
  // Begins the activity held by this operation.
  void startActivityWithName(const std::string& name, std::uint64_t options);
  // Ends the activity.
  void main() override;

  const TLYActivity::Ptr& activity() const { return activity_; }

 private:
  TLYActivity::Ptr activity_;
};

}  // namespace sdk
