// Text fields that change their text with a fade.
//
// setAnimatedStringValue (any label): a change to a different text fades the
// label out over `length` seconds (ease-out), sets the text, and fades it in
// again over `length` seconds (ease-in); setting the shown text does nothing.
//
// NSTextFieldAQueue: the same, but changes arriving while a fade runs are
// pushed on a stack and replayed, most recent first, when the fade ends; a
// replayed change equal to the shown text is skipped and ends the replay.
// setStringValueNow overrides both: the field shows its text at once and
// keeps it. A field made not to fade (setFadesChanges(false)) changes its
// text at once and queues nothing. The field lets mouse clicks through to the
// views beneath it.
//
// Thread safety: main thread only; fades end on the main thread.
#pragma once

#include <QLabel>
#include <QString>
#include <functional>
#include <utility>

#include "client/ui/varnel_stack.h"

namespace client::ui {

// Fades `field` out and in with the new text; `completion` (optional) runs
// when the fade-in ends, or at once when the text was set without a fade.
// Answers whether a fade was started.
bool setAnimatedStringValue(QLabel* field, const QString& text, double length,
                            std::function<void()> completion = nullptr);

class NSTextFieldAQueue : public QLabel {
  Q_OBJECT
 public:
  explicit NSTextFieldAQueue(QWidget* parent = nullptr);

  void setAnimatedStringValue(const QString& text, double length);
  // Sets `text` at once: a fade in progress is stopped and the changes
  // queued behind it are dropped, so no older text comes back later.
  void setStringValueNow(const QString& text);
  // Replays the most recently queued change, if any.
  void ExecuteQueue();

  // Whether changes fade (default true); without fades every change is
  // immediate.
  void setFadesChanges(bool fades) { fadesChanges_ = fades; }
  bool fadesChanges() const { return fadesChanges_; }

  bool isAnimating() const { return isAnimating_; }
  const VarnelStack<std::pair<QString, double>>& queue() const { return queue_; }

 private:
  bool isAnimating_ = false;
  bool fadesChanges_ = true;
  VarnelStack<std::pair<QString, double>> queue_;
};

}  // namespace client::ui
