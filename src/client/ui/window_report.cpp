#include "client/ui/window_report.h"

#include <QAbstractAnimation>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSaveFile>
#include <QTableWidget>
#include <QToolButton>
#include <QWindow>
#include <cmath>

#include "client/ui/text_fit.h"

namespace client::ui {

namespace {

QString field(QString text) {
  text.replace('\t', ' ');
  text.replace('\r', QString());
  text.replace('\n', QStringLiteral("\\n"));
  return text;
}

QString name(const QWidget* widget) {
  if (!widget->objectName().isEmpty()) return widget->objectName();
  if (auto* tool = qobject_cast<const QToolButton*>(widget)) {
    if (tool->defaultAction() != nullptr && !tool->defaultAction()->objectName().isEmpty())
      return tool->defaultAction()->objectName();
  }
  return widget->metaObject()->className();
}

// A rectangle in the window's logical coordinates on the screen, in device
// pixels.
QString deviceRect(const QRect& logical, double ratio) {
  return QString("%1\t%2\t%3\t%4")
      .arg(std::lround(logical.x() * ratio))
      .arg(std::lround(logical.y() * ratio))
      .arg(std::lround(logical.width() * ratio))
      .arg(std::lround(logical.height() * ratio));
}

QRect onScreen(const QWidget* widget) {
  return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

bool reportable(const QWidget* window) {
  if (!window->isWindow() || !window->isVisible() || window->windowHandle() == nullptr)
    return false;
  const Qt::WindowType type = window->windowType();
  return type != Qt::Popup && type != Qt::ToolTip && type != Qt::Desktop;
}

QString textOf(const QWidget* widget) {
  if (auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  if (auto* combo = qobject_cast<const QComboBox*>(widget)) return combo->currentText();
  return QString();  // line edits may hold a password; tables report cells
}

// A menu bar's menus, named by the menu (else the action).
void reportMenuBar(const QString& id, QMenuBar* bar, double ratio, QStringList& lines) {
  for (QAction* action : bar->actions()) {
    if (!action->isVisible() || action->isSeparator()) continue;
    QRect rect = bar->actionGeometry(action);
    if (!rect.isValid()) continue;
    rect.moveTopLeft(bar->mapToGlobal(rect.topLeft()));
    const QString menu = action->menu() != nullptr ? action->menu()->objectName() : QString();
    lines << QString("item\t%1\t%2\t%3\t%4\t%5")
                 .arg(id, field(menu.isEmpty() ? action->objectName() : menu),
                      deviceRect(rect, ratio))
                 .arg(action->isEnabled() ? 1 : 0)
                 .arg(field(action->text()));
  }
}

void reportWindow(QWidget* window, QStringList& lines) {
  const double ratio = window->devicePixelRatioF();
  const QString id = QString::number(window->windowHandle()->winId());
  lines << QString("window\t%1\t%2\t%3\t%4\t%5\t%6")
               .arg(id)
               .arg(ratio)
               .arg(std::lround(titleRoom(window) * ratio))
               .arg(deviceRect(window->frameGeometry(), ratio))
               .arg(field(name(window)))
               .arg(field(window->windowTitle()));
  for (const QString& cut : cutTexts(window)) lines << QString("cut\t%1\t%2").arg(id, field(cut));
  int animating = 0;
  for (QAbstractAnimation* animation : window->findChildren<QAbstractAnimation*>()) {
    if (animation->state() == QAbstractAnimation::Running) ++animating;
  }
  if (animating > 0) lines << QString("animating\t%1\t%2").arg(id).arg(animating);
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(window) || widget->window() != window) continue;
    const bool control = qobject_cast<QLabel*>(widget) || qobject_cast<QAbstractButton*>(widget) ||
                         qobject_cast<QComboBox*>(widget) || qobject_cast<QLineEdit*>(widget) ||
                         qobject_cast<QTableWidget*>(widget);
    if (auto* bar = qobject_cast<QMenuBar*>(widget)) {
      reportMenuBar(id, bar, ratio, lines);
      continue;
    }
    if (!control) continue;
    // Buttons inside combo boxes and tables' corners are parts of those.
    if (qobject_cast<QLineEdit*>(widget) && qobject_cast<QComboBox*>(widget->parentWidget()))
      continue;
    lines << QString("item\t%1\t%2\t%3\t%4\t%5")
                 .arg(id, field(name(widget)), deviceRect(onScreen(widget), ratio))
                 .arg(widget->isEnabled() ? 1 : 0)
                 .arg(field(textOf(widget)));
    auto* table = qobject_cast<QTableWidget*>(widget);
    if (table == nullptr) continue;
    QWidget* viewport = table->viewport();
    for (int row = 0; row < table->rowCount(); ++row) {
      for (int column = 0; column < table->columnCount(); ++column) {
        QTableWidgetItem* item = table->item(row, column);
        if (item == nullptr) continue;
        QRect cell = table->visualItemRect(item);
        if (!cell.isValid()) continue;
        cell.moveTopLeft(viewport->mapToGlobal(cell.topLeft()));
        lines << QString("cell\t%1\t%2\t%3\t%4\t%5\t%6")
                     .arg(id, field(name(table)))
                     .arg(row)
                     .arg(column)
                     .arg(deviceRect(cell, ratio))
                     .arg(field(item->text()));
      }
    }
  }
}

class ReportWatcher : public QObject {
 public:
  ReportWatcher(const QString& folder, QObject* parent) : QObject(parent), folder_(folder) {
    watcher_.addPath(folder_);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { answer(); });
  }

  void answer() {
    QFile request(folder_ + "/request");
    if (!request.open(QIODevice::ReadOnly)) return;
    const QString tag = field(QString::fromUtf8(request.readLine()).trimmed());
    request.close();
    QSaveFile report(folder_ + "/report");
    if (report.open(QIODevice::WriteOnly)) {
      report.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
      report.write(windowReport(tag).toUtf8());
      report.commit();
    }
    QFile::remove(request.fileName());
  }

 private:
  QString folder_;
  QFileSystemWatcher watcher_;
};

}  // namespace

QString windowReport(const QString& tag) {
  QStringList lines{"request\t" + field(tag)};
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (reportable(window)) reportWindow(window, lines);
  }
  lines << "end";
  return lines.join('\n') + '\n';
}

bool installWindowReport(const QString& folder) {
  if (qApp == nullptr || folder.isEmpty() || !QDir(folder).exists()) return false;
  auto* watcher = new ReportWatcher(QDir(folder).absolutePath(), qApp);
  // A request written before the client started is answered too.
  watcher->answer();
  return true;
}

}  // namespace client::ui
