// MoveToApplicationsAlert: the windows' side of the start-up's offer to move
// the application into an Applications folder: the question (with its
// suppression box) and the error alert, both run modally.
//
// Thread safety: main thread only.
#pragma once

#include <string>

#include "client/core/move_to_applications.h"

namespace client::ui {

class MoveToApplicationsAlert : public MoveToApplicationsUI {
 public:
  Answer askToMove(const std::string& message, const std::string& informativeText) override;
  void showError(const std::string& message) override;
};

}  // namespace client::ui
