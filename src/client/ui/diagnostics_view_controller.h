// DiagnosticsViewController: the log window. It shows the client log's whole
// text, follows it as lines are added (also while hidden) and copies it to
// the clipboard.
//
// Guarantees:
//  1. Within kRefreshMilliseconds after a "varnelvpn.log" notification the
//     view holds exactly the client log's text and is scrolled to its end.
//     A burst of lines costs one refresh, which adds only the new text.
//  2. copyLog replaces the clipboard's contents with the log text as plain
//     text and shows copiedToClipboardLabel; each copy schedules its own
//     1.5 s hide, so the label is hidden by the first pending one.
//  3. The observation ends with the object.
//
// Thread safety: main thread only (the notification is posted there).
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>
#include <string>

namespace client::ui {

class DiagnosticsViewController : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kCopiedLabelMilliseconds = 1500;
  static constexpr int kRefreshMilliseconds = 50;

  explicit DiagnosticsViewController(QWidget* parent = nullptr);
  ~DiagnosticsViewController() override;

  QPlainTextEdit* diagLogView() const { return diagLogView_; }
  QLabel* copiedToClipboardLabel() const { return copiedToClipboardLabel_; }
  QWidget* diagnosticView() const { return diagnosticView_; }

 public slots:
  void openDiagnosticWindow();
  void updateLog();
  void copyLog();
  void hideCopiedLabel();

 private:
  void refreshLog();
  QPlainTextEdit* diagLogView_;
  QLabel* copiedToClipboardLabel_;
  QWidget* diagnosticView_;
  QPushButton* copyButton_;
  bool refreshPending_ = false;
  std::size_t shownLength_ = 0;
  std::string shownText_;  // the log text the view holds
};

}  // namespace client::ui
