#include "client/ui/paned_preferences_window_controller.h"

#include <QApplication>
#include <QCloseEvent>
#include <QRegularExpression>
#include <QSizePolicy>
#include <algorithm>

#include "platform/foundation/format.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"

namespace client::ui {

namespace {
std::shared_ptr<platform::UserDefaults> defaults() {
  return platform::UserDefaults::standardUserDefaults();
}

std::string paneFrameKey(const QString& identifier) {
  return platform::format(kPanedPreferencesPaneFrameFormat, identifier.toStdString());
}

QString storedString(const std::string& key) {
  auto value = defaults()->stringForKey(key);
  return value ? QString::fromStdString(*value) : QString();
}

// A pane's size as it would first show: its own size once it was given
// one, else what its layout asks for.
QSize naturalSize(QWidget* view) {
  if (view->testAttribute(Qt::WA_Resized)) return view->size();
  return view->sizeHint().expandedTo(view->minimumSizeHint());
}

std::vector<int> numbersIn(const QString& text) {
  std::vector<int> numbers;
  static const QRegularExpression number(R"(-?\d+(\.\d+)?)");
  auto it = number.globalMatch(text);
  while (it.hasNext()) numbers.push_back(static_cast<int>(it.next().captured(0).toDouble()));
  return numbers;
}
}  // namespace

QString stringFromPoint(const QPoint& point) {
  return QString("{%1, %2}").arg(point.x()).arg(point.y());
}

QString stringFromRect(const QRect& rect) {
  return QString("{{%1, %2}, {%3, %4}}")
      .arg(rect.x())
      .arg(rect.y())
      .arg(rect.width())
      .arg(rect.height());
}

std::optional<QPoint> pointFromString(const QString& text) {
  auto n = numbersIn(text);
  if (n.size() != 2) return std::nullopt;
  return QPoint(n[0], n[1]);
}

std::optional<QRect> rectFromString(const QString& text) {
  auto n = numbersIn(text);
  if (n.size() != 4 || n[2] < 0 || n[3] < 0) return std::nullopt;
  return QRect(n[0], n[1], n[2], n[3]);
}

PanedPreferencesWindowController::PanedPreferencesWindowController(
    std::vector<PreferencePane*> viewControllers, const QString& title, QWidget* parent)
    : QMainWindow(parent), viewControllers_(std::move(viewControllers)), title_(title) {
  setObjectName("PanedPreferencesWindow");
  toolbar_ = new QToolBar(this);
  toolbar_->setObjectName("toolbar");
  toolbar_->setMovable(false);
  toolbar_->setFloatable(false);
  toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  toolbar_->toggleViewAction()->setEnabled(false);
  addToolBar(Qt::TopToolBarArea, toolbar_);
  group_ = new QActionGroup(this);
  group_->setExclusive(true);
  for (PreferencePane* pane : viewControllers_) {
    if (pane == nullptr) {
      auto* spacer = new QWidget(toolbar_);
      spacer->setObjectName(kFlexibleSpaceItemIdentifier);
      spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
      toolbar_->addWidget(spacer);
      continue;
    }
    pane->view()->setParent(this);
    pane->view()->hide();
    auto* item = new QAction(pane->toolbarItemImage(), pane->toolbarItemLabel(), group_);
    item->setObjectName(pane->identifier());
    item->setData(pane->identifier());
    item->setCheckable(true);
    toolbar_->addAction(item);
  }
  // Every pane shows at the largest one's size: a window that changed size
  // on every pane would grow away from where it was placed.
  for (PreferencePane* pane : viewControllers_) {
    if (pane != nullptr) commonPaneSize_ = commonPaneSize_.expandedTo(naturalSize(pane->view()));
  }
  connect(group_, &QActionGroup::triggered, this,
          &PanedPreferencesWindowController::toolbarItemDidClick);
  windowDidLoad();
}

// The panes' views are children of this window and go with it.
PanedPreferencesWindowController::~PanedPreferencesWindowController() = default;

void PanedPreferencesWindowController::windowDidLoad() {
  if (!title_.isEmpty()) setWindowTitle(title_);
  if (firstViewController() != nullptr) {
    PreferencePane* pane =
        viewControllerForIdentifier(storedString(kPanedPreferencesSelectedIdentifierKey));
    setSelectedViewController(pane != nullptr ? pane : firstViewController());
  }
  if (auto point = pointFromString(storedString(kPanedPreferencesFrameTopLeftKey))) move(*point);
}

PreferencePane* PanedPreferencesWindowController::viewControllerForIdentifier(
    const QString& identifier) const {
  for (PreferencePane* pane : viewControllers_) {
    if (pane != nullptr && pane->identifier() == identifier) return pane;
  }
  return nullptr;
}

PreferencePane* PanedPreferencesWindowController::firstViewController() const {
  for (PreferencePane* pane : viewControllers_) {
    if (pane != nullptr) return pane;
  }
  return nullptr;
}

QStringList PanedPreferencesWindowController::toolbarItemIdentifiers() const {
  QStringList identifiers;
  for (PreferencePane* pane : viewControllers_) {
    identifiers << (pane != nullptr ? pane->identifier() : QString(kFlexibleSpaceItemIdentifier));
  }
  return identifiers;
}

int PanedPreferencesWindowController::indexOfSelectedController() const {
  if (selected_ == nullptr) return -1;
  return static_cast<int>(toolbarItemIdentifiers().indexOf(selected_->identifier()));
}

QAction* PanedPreferencesWindowController::toolbarItem(const QString& identifier) const {
  for (QAction* item : group_->actions()) {
    if (item->data().toString() == identifier) return item;
  }
  return nullptr;
}

void PanedPreferencesWindowController::toolbarItemDidClick(QAction* item) {
  if (item == nullptr) return;
  PreferencePane* pane = viewControllerForIdentifier(item->data().toString());
  if (pane != nullptr) setSelectedViewController(pane);
}

void PanedPreferencesWindowController::selectToolbarItemOf(PreferencePane* pane) {
  for (QAction* item : group_->actions()) {
    item->setChecked(pane != nullptr && item->data().toString() == pane->identifier());
  }
}

int PanedPreferencesWindowController::chromeHeight() const {
  return toolbar_->isVisible() || !isVisible() ? toolbar_->sizeHint().height() : 0;
}

void PanedPreferencesWindowController::setSelectedViewController(PreferencePane* pane) {
  if (pane == selected_) return;
  if (selected_ != nullptr) {
    if (!selected_->commitEditing()) {
      selectToolbarItemOf(selected_);
      return;
    }
    changingPane_ = true;
    // The window keeps owning the panes' views while they are not shown.
    QWidget* old = takeCentralWidget();
    if (old != nullptr) {
      old->setParent(this);
      old->hide();
    }
    auto* empty = new QWidget;
    empty->setObjectName("emptyView");
    setCentralWidget(empty);
    selected_->viewDidDisappear();
    selected_ = nullptr;
    changingPane_ = false;
  }
  if (pane == nullptr) return;

  changingPane_ = true;
  if (title_.isEmpty()) setWindowTitle(pane->toolbarItemLabel());
  selectToolbarItemOf(pane);
  defaults()->setObject(platform::Value(pane->identifier().toStdString()),
                        kPanedPreferencesSelectedIdentifierKey);

  QWidget* view = pane->view();
  const QString identifier = pane->identifier();
  const QSize current = naturalSize(view).expandedTo(commonPaneSize_);
  QRect bounds(QPoint(0, 0), current);
  QRect saved = rectFromString(storedString(paneFrameKey(identifier))).value_or(bounds);
  auto found = minimumViewRects_.find(identifier);
  if (found == minimumViewRects_.end()) {
    found = minimumViewRects_.emplace(identifier, bounds).first;
  }
  const QRect minimum = found->second;

  bool resizableWidth = pane->hasResizableWidth().value_or(
      (view->sizePolicy().horizontalPolicy() & QSizePolicy::ExpandFlag) != 0);
  bool resizableHeight = pane->hasResizableHeight().value_or(
      (view->sizePolicy().verticalPolicy() & QSizePolicy::ExpandFlag) != 0);
  QSize size(resizableWidth ? std::max(minimum.width(), saved.width()) : minimum.width(),
             resizableHeight ? std::max(minimum.height(), saved.height()) : minimum.height());

  // Remove the old content (the empty view) and show the pane.
  if (QWidget* old = takeCentralWidget()) {
    if (old->objectName() == "emptyView") {
      old->deleteLater();
    } else {
      old->setParent(this);
      old->hide();
    }
  }
  view->setMinimumSize(minimum.size());
  view->setMaximumSize(resizableWidth ? QWIDGETSIZE_MAX : size.width(),
                       resizableHeight ? QWIDGETSIZE_MAX : size.height());
  view->resize(size);
  selected_ = pane;
  pane->viewWillAppear();
  setCentralWidget(view);
  view->show();
  // The window keeps its top-left corner; only its size follows the pane.
  const int chrome = chromeHeight();
  setMinimumSize(minimum.width(), minimum.height() + chrome);
  setMaximumSize(resizableWidth ? QWIDGETSIZE_MAX : size.width(),
                 resizableHeight ? QWIDGETSIZE_MAX : size.height() + chrome);
  resize(size.width(), size.height() + chrome);
  changingPane_ = false;

  if (QApplication::focusWidget() == nullptr || QApplication::focusWidget() == this ||
      !isAncestorOf(QApplication::focusWidget())) {
    if (QWidget* key = pane->initialKeyView()) {
      key->setFocus(Qt::OtherFocusReason);
    } else {
      view->setFocus(Qt::OtherFocusReason);
      if (QWidget* next = view->nextInFocusChain()) next->setFocus(Qt::TabFocusReason);
    }
  }
  platform::NotificationCenter::defaultCenter().post(kPanedPreferencesDidChangeViewNotification,
                                                     platform::Notification::identity(this));
}

void PanedPreferencesWindowController::selectControllerAtIndex(std::size_t index) {
  if (index >= viewControllers_.size()) return;
  setSelectedViewController(viewControllers_[index]);
}

void PanedPreferencesWindowController::goNextTab() {
  const int count = static_cast<int>(viewControllers_.size());
  int index = indexOfSelectedController();
  if (count == 0 || index < 0) return;
  for (int step = 0; step < count; ++step) {
    index = (index + 1) % count;
    if (viewControllers_[index] != nullptr) break;
  }
  selectControllerAtIndex(static_cast<std::size_t>(index));
}

void PanedPreferencesWindowController::goPreviousTab() {
  const int count = static_cast<int>(viewControllers_.size());
  int index = indexOfSelectedController();
  if (count == 0 || index < 0) return;
  for (int step = 0; step < count; ++step) {
    index = (index + count - 1) % count;
    if (viewControllers_[index] != nullptr) break;
  }
  selectControllerAtIndex(static_cast<std::size_t>(index));
}

void PanedPreferencesWindowController::closeEvent(QCloseEvent* event) {
  if (selected_ != nullptr && !selected_->commitEditing()) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void PanedPreferencesWindowController::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  if (!isVisible()) return;
  defaults()->setObject(platform::Value(stringFromPoint(pos()).toStdString()),
                        kPanedPreferencesFrameTopLeftKey);
}

void PanedPreferencesWindowController::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (selected_ == nullptr || changingPane_ || !isVisible()) return;
  QRect bounds(QPoint(0, 0), selected_->view()->size());
  defaults()->setObject(platform::Value(stringFromRect(bounds).toStdString()),
                        paneFrameKey(selected_->identifier()));
}

}  // namespace client::ui
