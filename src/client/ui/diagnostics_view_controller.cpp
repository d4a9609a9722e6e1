#include "client/ui/diagnostics_view_controller.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "client/Singletons/varnel_log.h"
#include "platform/system/notification_center.h"

namespace client::ui {

DiagnosticsViewController::DiagnosticsViewController(QWidget* parent)
    : QWidget(parent, Qt::Window) {
  setObjectName("LogView");
  setWindowTitle("Diagnostics");
  diagnosticView_ = new QWidget(this);
  diagnosticView_->setObjectName("diagnosticView");
  diagLogView_ = new QPlainTextEdit(diagnosticView_);
  diagLogView_->setObjectName("diagLogView");
  diagLogView_->setReadOnly(true);
  diagLogView_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  copiedToClipboardLabel_ = new QLabel("Copied to clipboard", diagnosticView_);
  copiedToClipboardLabel_->setObjectName("copiedToClipboardLabel");
  copiedToClipboardLabel_->hide();
  copyButton_ = new QPushButton("Copy to clipboard", diagnosticView_);
  copyButton_->setObjectName("copyButton");
  connect(copyButton_, &QPushButton::clicked, this, &DiagnosticsViewController::copyLog);

  auto* row = new QHBoxLayout;
  row->addWidget(copiedToClipboardLabel_);
  row->addStretch(1);
  row->addWidget(copyButton_);
  auto* inner = new QVBoxLayout(diagnosticView_);
  inner->addWidget(diagLogView_, 1);
  inner->addLayout(row);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(diagnosticView_);
  resize(560, 380);

  updateLog();
  platform::NotificationCenter::defaultCenter().addObserver(
      this, [this](const platform::Notification&) { updateLog(); }, kVarnelLogNotification,
      nullptr);
  diagLogView_->setFocus();
}

DiagnosticsViewController::~DiagnosticsViewController() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void DiagnosticsViewController::openDiagnosticWindow() {
  show();
  raise();
  activateWindow();
  updateLog();
}

void DiagnosticsViewController::updateLog() {
  // One refresh for a burst of lines: redrawing per line let the view (and
  // with it the main thread) fall minutes behind a chatty helper.
  if (refreshPending_) return;
  refreshPending_ = true;
  QTimer::singleShot(kRefreshMilliseconds, this, &DiagnosticsViewController::refreshLog);
}

void DiagnosticsViewController::refreshLog() {
  refreshPending_ = false;
  const std::string log = VarnelLog::sharedInstance().GetLog();
  if (log.size() >= shownLength_ && log.compare(0, shownLength_, shownText_) == 0) {
    // The log only grows: add what is new at the end.
    if (log.size() > shownLength_) {
      QTextCursor end(diagLogView_->document());
      end.movePosition(QTextCursor::End);
      end.insertText(QString::fromStdString(log.substr(shownLength_)));
    }
  } else {
    diagLogView_->setPlainText(QString::fromStdString(log));
  }
  shownLength_ = log.size();
  shownText_ = log;
  diagLogView_->moveCursor(QTextCursor::End);
  auto* bar = diagLogView_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void DiagnosticsViewController::copyLog() {
  copiedToClipboardLabel_->show();
  QApplication::clipboard()->setText(diagLogView_->toPlainText());
  QTimer::singleShot(kCopiedLabelMilliseconds, this, &DiagnosticsViewController::hideCopiedLabel);
}

void DiagnosticsViewController::hideCopiedLabel() { copiedToClipboardLabel_->hide(); }

}  // namespace client::ui
