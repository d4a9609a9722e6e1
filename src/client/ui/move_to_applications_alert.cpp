#include "client/ui/move_to_applications_alert.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

namespace client::ui {

MoveToApplicationsUI::Answer MoveToApplicationsAlert::askToMove(
    const std::string& message, const std::string& informativeText) {
  QMessageBox box;
  box.setObjectName("moveToApplicationsAlert");
  box.setText(QString::fromStdString(message));
  box.setInformativeText(QString::fromStdString(informativeText));
  QPushButton* move = box.addButton("Move to Applications Folder", QMessageBox::AcceptRole);
  box.addButton("Do Not Move", QMessageBox::RejectRole);
  auto* suppress = new QCheckBox("Do not show this message again");
  box.setCheckBox(suppress);
  box.setDefaultButton(move);
  box.exec();
  Answer answer;
  answer.move = box.clickedButton() == move;
  answer.suppress = suppress->isChecked();
  return answer;
}

void MoveToApplicationsAlert::showError(const std::string& message) {
  QMessageBox box;
  box.setObjectName("moveToApplicationsErrorAlert");
  box.setIcon(QMessageBox::Warning);
  box.setText(QString::fromStdString(message));
  box.addButton("OK", QMessageBox::AcceptRole);
  box.exec();
}

}  // namespace client::ui
