// The windows' presenter of platform alerts (the crash-report send prompt):
// an application-modal message box with the alert's message, informative
// text and buttons, answered with the index of the button pressed.
//
// Guarantees:
//  1. The buttons appear with the alert's titles; the first is the default.
//  2. The answer is the index of the pressed button in the alert's order;
//     a box closed without a button, or a call off the Qt thread (where no
//     window may be shown), answers nullopt ("no answer").
//
// Thread safety: shows windows on the Qt main thread only (guarantee 2).
#pragma once

#include <cstddef>
#include <optional>

#include "platform/system/modal_alert.h"

namespace client::ui {

std::optional<std::size_t> presentModalAlert(const platform::ModalAlert& alert);

// Registers presentModalAlert as the process's alert presenter.
void installModalAlertPresenter();

}  // namespace client::ui
