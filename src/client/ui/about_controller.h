// AboutController: the About view (the version and a button that opens the
// acknowledgements; where nothing can open them, a dialog says so). Placed in a window, it becomes
// that window's delegate: closing the window hides it (so it can be shown again) and ends its modal
// run.
//
// Thread safety: main thread only.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <memory>
#include <string>

namespace platform {
class Bundle;
}

namespace client::ui {

class AboutController : public QWidget {
  Q_OBJECT
 public:
  // `bundle`: where the version and the acknowledgements come from (the
  // main bundle when nullptr).
  explicit AboutController(QWidget* parent = nullptr,
                           std::shared_ptr<const platform::Bundle> bundle = nullptr);

  QLabel* versionNum() const { return versionNum_; }
  // "Version 1.2.0": how every window names a version of the program (About
  // for the running one, the update check for the one offered).
  static QString versionText(const std::string& version);
  // Becomes the delegate of `window` (its close requests hide it).
  void becomeDelegateOf(QWidget* window);

 public slots:
  void RunAcknowledgement();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::shared_ptr<const platform::Bundle> bundle_;
  QLabel* versionNum_;
  QPushButton* acknowledgementsButton_;
};

}  // namespace client::ui
