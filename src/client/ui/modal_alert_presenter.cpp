#include "client/ui/modal_alert_presenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <vector>

namespace client::ui {

std::optional<std::size_t> presentModalAlert(const platform::ModalAlert& alert) {
  if (qApp == nullptr || QThread::currentThread() != qApp->thread()) return std::nullopt;
  QMessageBox box;
  box.setObjectName("modalAlert");
  box.setText(QString::fromStdString(alert.messageText()));
  box.setInformativeText(QString::fromStdString(alert.informativeText()));
  std::vector<QPushButton*> buttons;
  for (const std::string& title : alert.buttonTitles()) {
    buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::ActionRole));
  }
  if (!buttons.empty()) box.setDefaultButton(buttons.front());
  box.exec();
  const auto pressed = std::find(buttons.begin(), buttons.end(), box.clickedButton());
  if (pressed == buttons.end()) return std::nullopt;
  return static_cast<std::size_t>(pressed - buttons.begin());
}

void installModalAlertPresenter() { platform::ModalAlert::setPresenter(presentModalAlert); }

}  // namespace client::ui
