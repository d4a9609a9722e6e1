#include "client/ui/animated_text_field.h"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QPointer>
#include <QPropertyAnimation>
#include <cmath>

namespace client::ui {

namespace {

QGraphicsOpacityEffect* opacityEffectFor(QLabel* field) {
  auto* effect = qobject_cast<QGraphicsOpacityEffect*>(field->graphicsEffect());
  if (effect == nullptr) {
    effect = new QGraphicsOpacityEffect(field);
    effect->setOpacity(1.0);
    field->setGraphicsEffect(effect);
  }
  return effect;
}

void animateOpacity(QLabel* field, double to, double length, QEasingCurve::Type curve,
                    std::function<void()> done) {
  auto* effect = opacityEffectFor(field);
  auto* animation = new QPropertyAnimation(effect, "opacity", field);
  animation->setDuration(static_cast<int>(std::lround(std::max(0.0, length) * 1000)));
  animation->setStartValue(effect->opacity());
  animation->setEndValue(to);
  animation->setEasingCurve(curve);
  QObject::connect(animation, &QPropertyAnimation::finished, field, [done = std::move(done)] {
    if (done) done();
  });
  animation->start(QAbstractAnimation::DeleteWhenStopped);
}
}  // namespace

bool setAnimatedStringValue(QLabel* field, const QString& text, double length,
                            std::function<void()> completion) {
  if (field == nullptr || field->text() == text) return false;
  QPointer<QLabel> guard(field);
  animateOpacity(field, 0.0, length, QEasingCurve::OutQuad,
                 [guard, text, length, completion = std::move(completion)]() mutable {
                   if (!guard) return;
                   guard->setText(text);
                   animateOpacity(guard, 1.0, length, QEasingCurve::InQuad, std::move(completion));
                 });
  return true;
}

NSTextFieldAQueue::NSTextFieldAQueue(QWidget* parent) : QLabel(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void NSTextFieldAQueue::setAnimatedStringValue(const QString& text, double length) {
  if (this->text() == text) return;
  if (!fadesChanges_) {
    setText(text);
    return;
  }
  if (isAnimating_) {
    queue_.push({text, length});
    return;
  }
  isAnimating_ = true;
  QPointer<NSTextFieldAQueue> self(this);
  client::ui::setAnimatedStringValue(this, text, length, [self] {
    if (!self) return;
    self->isAnimating_ = false;
    self->ExecuteQueue();
  });
}

void NSTextFieldAQueue::setStringValueNow(const QString& text) {
  // A stopped animation never reports finished, so its completion (which
  // would set the older text) never runs.
  for (auto* animation : findChildren<QPropertyAnimation*>(Qt::FindDirectChildrenOnly)) {
    animation->stop();
  }
  queue_.clear();
  isAnimating_ = false;
  if (auto* effect = qobject_cast<QGraphicsOpacityEffect*>(graphicsEffect())) {
    effect->setOpacity(1.0);
  }
  setText(text);
}

void NSTextFieldAQueue::ExecuteQueue() {
  auto next = queue_.pop();
  if (!next) return;
  setAnimatedStringValue(next->first, next->second);
}

}  // namespace client::ui
