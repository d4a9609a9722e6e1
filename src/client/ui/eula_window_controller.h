// EULAWindowController: the licence window, showing the bundle's "eula.txt"
// (UTF-8). When the file is missing or unreadable the text view keeps what
// it held.
//
// Thread safety: main thread only.
#pragma once

#include <QPlainTextEdit>
#include <QWidget>
#include <memory>

namespace platform {
class Bundle;
}

namespace client::ui {

class EULAWindowController : public QWidget {
  Q_OBJECT
 public:
  explicit EULAWindowController(QWidget* parent = nullptr,
                                std::shared_ptr<const platform::Bundle> bundle = nullptr);

  QPlainTextEdit* eulaTextView() const { return eulaTextView_; }
  // Fills the text view from the licence file (called once at creation).
  void windowDidLoad();

 private:
  std::shared_ptr<const platform::Bundle> bundle_;
  QPlainTextEdit* eulaTextView_;
};

}  // namespace client::ui
