// Workspace: opens web pages and documents with the user's default
// applications. The one real opener goes through QDesktopServices; tests
// install their own to see what would have been opened.
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
  // Opens `url`; false when nothing could open it (or it is empty).
  static bool openURL(const QUrl& url);
  // Opens `url`; when that fails, tells the user in a dialog over `parent`
  // (window-modal; application-modal without a parent) that `what` could not
  // be opened, with the address to open by hand. Answers whether it opened.
  static bool openURLOrTell(const QUrl& url, const QString& what, QWidget* parent);
  // Tells the user that `what` cannot be shown, and why, in a dialog as above.
  static void tellCannotOpen(const QString& what, const QString& why, QWidget* parent);
  // nullptr restores the default opener.
  static void setOpenerForTesting(Opener opener);
};

}  // namespace client::ui
