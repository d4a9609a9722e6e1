// platform::ModalAlert: an application-modal question with a message, an
// informative text and a row of buttons, answered with the button pressed.
//
// The platform layer draws nothing itself: the user interface registers a
// presenter (setPresenter) that shows the alert and returns the index of the
// button the user pressed. Without a presenter (no user interface, as in a
// headless process or a test) the alert cannot be shown and runModal()
// answers nullopt; callers must treat that as "no answer", never as a choice.
//
// Guarantees:
//  1. runModal() calls the presenter on the calling thread, synchronously,
//     at most once per call; the presenter is not called under any lock.
//  2. An answer outside the button range counts as no answer (nullopt).
//  3. Buttons keep the order they were added in; index 0 is the first.
//
// Thread safety: setPresenter/hasPresenter may be called from any thread; an
// alert object belongs to the thread that builds and runs it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class ModalAlert {
 public:
  // Shows `alert` and returns the index of the button pressed, or nullopt
  // when it could not be shown.
  using Presenter = std::function<std::optional<std::size_t>(const ModalAlert& alert)>;

  // Registers the presenter of the process (an empty function removes it);
  // returns the one it replaces.
  static Presenter setPresenter(Presenter presenter);
  static bool hasPresenter();

  const std::string& messageText() const { return messageText_; }
  void setMessageText(std::string text) { messageText_ = std::move(text); }
  const std::string& informativeText() const { return informativeText_; }
  void setInformativeText(std::string text) { informativeText_ = std::move(text); }
  // Appends a button; returns its index.
  std::size_t addButtonWithTitle(std::string title);
  const std::vector<std::string>& buttonTitles() const { return buttonTitles_; }

  // Guarantee 1 and 2.
  std::optional<std::size_t> runModal() const;

 private:
  std::string messageText_;
  std::string informativeText_;
  std::vector<std::string> buttonTitles_;
};

}  // namespace platform
