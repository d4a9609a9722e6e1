#include "sdk/analytics/tly_activity_operation.h"

namespace sdk {

std::shared_ptr<TLYActivityOperation> TLYActivityOperation::operationByStartingActivityName(
    const std::string& name, std::uint64_t options) {
  auto operation = std::make_shared<TLYActivityOperation>();
  operation->setName(name);
  operation->startActivityWithName(name, options);
  return operation;
}

void TLYActivityOperation::startActivityWithName(const std::string& name, std::uint64_t options) {
  activity_ = TLYActivity::beginActivity(name, options);
}

void TLYActivityOperation::main() {
  if (activity_) activity_->end();
}

}  // namespace sdk
