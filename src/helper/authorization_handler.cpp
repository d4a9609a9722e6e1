#include "helper/authorization_handler.h"

#include "helper/helper_log.h"

namespace helper {

namespace sc = platform::sysconfig;

bool AuthorizationHandler::Activate() {
  if (authorizationRef_) {
    authorizationRef_->free(sc::kAuthorizationFlagDestroyRights);
    authorizationRef_.reset();
  }
  sc::AuthorizationStatus status = sc::kAuthorizationSuccess;
  authorizationRef_ = sc::Authorization::create(&status, options_);
  if (!authorizationRef_) {
    HelperLog("Unable to gain authorization. Code: %d", status);
    return false;
  }
  status = authorizationRef_->copyRights(sc::kAuthorizationRightAdmin,
                                         sc::kAuthorizationFlagInteractionAllowed |
                                             sc::kAuthorizationFlagExtendRights |
                                             sc::kAuthorizationFlagPreAuthorize);
  if (status != sc::kAuthorizationSuccess) {
    HelperLog("Unable to extend rights. Code: %d", status);
    return false;
  }
  return true;
}

}  // namespace helper
