#include "platform/foundation/exception.h"

namespace platform {

Exception::Exception(std::string name, std::string reason, Value userInfo)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      what_(name_ + ": " + reason_),
      userInfo_(std::move(userInfo)) {}

}  // namespace platform
