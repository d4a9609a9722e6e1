#include "client/ui/workspace.h"

#include <QDesktopServices>
#include <QMessageBox>

#include "client/Singletons/varnel_log.h"

namespace client::ui {

bool Workspace::openURL(const QUrl& url, const Opener& opener) {
  if (url.isEmpty() || !url.isValid()) return false;
  if (opener) return opener(url);
  return QDesktopServices::openUrl(url);
}

bool Workspace::openURLOrTell(const QUrl& url, const QString& what, QWidget* parent,
                              const Opener& opener) {
  if (openURL(url, opener)) return true;
  const QString address = url.isLocalFile() ? url.toLocalFile() : url.toString();
  VarnelLog::sharedInstance().AddToLog("Could not open " + address.toStdString());
  tellCannotOpen(what,
                 QString("No application on this computer could open it. You can open "
                         "it yourself:\n%1")
                     .arg(address),
                 parent);
  return false;
}

void Workspace::tellCannotOpen(const QString& what, const QString& why, QWidget* parent) {
  // A sheet on a hidden window would not be seen: then it stands alone.
  QWidget* owner = parent != nullptr ? parent->window() : nullptr;
  if (owner != nullptr && !owner->isVisible()) owner = nullptr;
  auto* box = new QMessageBox(owner);
  box->setObjectName(kOpenURLFailedAlertName);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setIcon(QMessageBox::Warning);
  box->setWindowTitle("VarnelVPN Client");
  box->setWindowModality(owner != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
  box->setText(QString("%1 could not be opened.").arg(what));
  box->setInformativeText(why);
  box->setTextInteractionFlags(Qt::TextSelectableByMouse);
  box->addButton("OK", QMessageBox::AcceptRole);
  box->open();
}

}  // namespace client::ui
