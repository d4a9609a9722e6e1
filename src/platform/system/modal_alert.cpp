#include "platform/system/modal_alert.h"

#include <mutex>
#include <utility>

namespace platform {

namespace {

std::mutex& presenterMutex() {
  static std::mutex mutex;
  return mutex;
}

ModalAlert::Presenter& presenterSlot() {
  static ModalAlert::Presenter presenter;
  return presenter;
}

}  // namespace

ModalAlert::Presenter ModalAlert::setPresenter(Presenter presenter) {
  std::lock_guard lock(presenterMutex());
  return std::exchange(presenterSlot(), std::move(presenter));
}

bool ModalAlert::hasPresenter() {
  std::lock_guard lock(presenterMutex());
  return static_cast<bool>(presenterSlot());
}

std::size_t ModalAlert::addButtonWithTitle(std::string title) {
  buttonTitles_.push_back(std::move(title));
  return buttonTitles_.size() - 1;
}

std::optional<std::size_t> ModalAlert::runModal() const {
  Presenter presenter;
  {
    std::lock_guard lock(presenterMutex());
    presenter = presenterSlot();
  }
  if (!presenter) return std::nullopt;
  const std::optional<std::size_t> answer = presenter(*this);
  if (!answer || *answer >= buttonTitles_.size()) return std::nullopt;
  return answer;
}

}  // namespace platform
