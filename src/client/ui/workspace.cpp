#include "client/ui/workspace.h"

#include <QDesktopServices>

namespace client::ui {

namespace {
Workspace::Opener& opener() {
  static Workspace::Opener instance;
  return instance;
}
}  // namespace

bool Workspace::openURL(const QUrl& url) {
  if (url.isEmpty() || !url.isValid()) return false;
  if (opener()) return opener()(url);
  return QDesktopServices::openUrl(url);
}

void Workspace::setOpenerForTesting(Opener opener_) { opener() = std::move(opener_); }

}  // namespace client::ui
