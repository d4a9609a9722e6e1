// Workspace: opens web pages and documents with the user's default
// applications. The one real opener goes through QDesktopServices; tests
// install their own to see what would have been opened.
//
// Thread safety: main thread only.
#pragma once

#include <QUrl>
#include <functional>

namespace client::ui {

class Workspace {
 public:
  using Opener = std::function<bool(const QUrl&)>;
  // Opens `url`; false when nothing could open it (or it is empty).
  static bool openURL(const QUrl& url);
  // nullptr restores the default opener.
  static void setOpenerForTesting(Opener opener);
};

}  // namespace client::ui
