// Workspace: opens web pages and documents with the user's default
// applications. The one real opener goes through QDesktopServices; a caller
// given another opener (AppDelegate::Seams::openURL, as tests give one to see
// what would have been opened) passes it in.
//
// A user's click always does something visible: openURLOrTell shows a dialog
// naming the address when the desktop has no application for it (no URL
// handler, no browser), instead of failing silently.
//
// Thread safety: main thread only.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace client::ui {

inline constexpr const char* kOpenURLFailedAlertName = "openURLFailedAlert";

class Workspace {
 public:
  using Opener = std::function<bool(const QUrl&)>;
  // Opens `url` with `opener` (empty: the desktop's default application);
  // false when nothing could open it (or it is empty).
  static bool openURL(const QUrl& url, const Opener& opener = {});
  // Opens `url` as openURL does; when that fails, tells the user in a dialog
  // over `parent` (window-modal; application-modal without a parent) that
  // `what` could not be opened, with the address to open by hand. Answers
  // whether it opened.
  static bool openURLOrTell(const QUrl& url, const QString& what, QWidget* parent,
                            const Opener& opener = {});
  // Tells the user that `what` cannot be shown, and why, in a dialog as above.
  static void tellCannotOpen(const QString& what, const QString& why, QWidget* parent);
};

}  // namespace client::ui
