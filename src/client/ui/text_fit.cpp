#include "client/ui/text_fit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QStyle>
#include <QTableWidget>
#include <QTextDocument>
#include <algorithm>

namespace client::ui {

namespace {
// The window icon, the three window buttons and the title bar's padding.
constexpr int kTitleBarControlsRoom = 120;
// Room a table cell keeps around its text (margins and focus frame).
constexpr int kCellPadding = 8;

QString where(const QWidget* widget) {
  return widget->objectName().isEmpty() ? QString(widget->metaObject()->className())
                                        : widget->objectName();
}

QString shownTitle(const QWidget* window) {
  QString title = window->windowTitle();
  title.remove(QStringLiteral("[*]"));
  if (title.isEmpty()) title = QGuiApplication::applicationDisplayName();
  return title;
}

int widestLine(const QFontMetrics& metrics, const QString& text) {
  int widest = 0;
  for (const QString& line : text.split('\n'))
    widest = std::max(widest, metrics.horizontalAdvance(line));
  return widest;
}

bool shownIn(const QWidget* widget, const QWidget* window) {
  return widget->isVisibleTo(window) && widget->width() > 0 && widget->height() > 0;
}

void checkLabel(QLabel* label, QStringList& cut) {
  if (label->text().isEmpty() || !label->pixmap().isNull()) return;
  const QRect room = label->contentsRect();
  const int indent = std::max(label->margin() * 2, 0);
  if (label->wordWrap()) {
    int widestWord = 0;
    static const QRegularExpression breaks(QStringLiteral("[\\s\\x{200B}]+"));
    for (const QString& word : label->text().split(breaks, Qt::SkipEmptyParts))
      widestWord = std::max(widestWord, label->fontMetrics().horizontalAdvance(word));
    if (label->heightForWidth(label->width()) > label->height() ||
        widestWord + indent > room.width())
      cut << where(label) + ": " + label->text();
    return;
  }
  int needed = 0;
  if (Qt::mightBeRichText(label->text()) && label->textFormat() != Qt::PlainText) {
    QTextDocument document;
    document.setDefaultFont(label->font());
    document.setHtml(label->text());
    document.setDocumentMargin(0);
    needed = static_cast<int>(document.idealWidth());
  } else {
    needed = widestLine(label->fontMetrics(), label->text());
  }
  if (needed + indent > room.width()) cut << where(label) + ": " + label->text();
}

void checkButton(QAbstractButton* button, QStringList& cut) {
  if (button->text().isEmpty()) return;
  // The button's own size hint holds its text, icon and frame whole.
  if (button->sizeHint().width() > button->width()) cut << where(button) + ": " + button->text();
}

void checkTable(QTableWidget* table, QStringList& cut) {
  for (int row = 0; row < table->rowCount(); ++row) {
    if (table->isRowHidden(row)) continue;
    for (int column = 0; column < table->columnCount(); ++column) {
      if (table->isColumnHidden(column)) continue;
      QTableWidgetItem* item = table->item(row, column);
      if (item == nullptr || item->text().isEmpty()) continue;
      const QFontMetrics metrics(item->font());
      int needed = widestLine(metrics, item->text()) + kCellPadding;
      if (!item->icon().isNull()) needed += table->iconSize().width() + 4;
      if (needed > table->columnWidth(column))
        cut << QString("%1 row %2 column %3: %4")
                   .arg(where(table))
                   .arg(row)
                   .arg(column)
                   .arg(item->text());
    }
  }
}

// Widens an alert: its own layout sets its size each time it is shown.
void widenMessageBox(QMessageBox* box, int width) {
  auto* grid = qobject_cast<QGridLayout*>(box->layout());
  if (grid == nullptr) return;
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                grid->rowCount(), 0, 1, grid->columnCount());
}

class TitleKeeper : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() != QEvent::Show || !object->isWidgetType()) return false;
    auto* window = static_cast<QWidget*>(object);
    if (!window->isWindow() || (window->windowFlags() & Qt::Popup) == Qt::Popup ||
        (window->windowFlags() & Qt::ToolTip) == Qt::ToolTip)
      return false;
    const int room = titleRoom(window);
    if (window->width() >= room) return false;
    if (auto* box = qobject_cast<QMessageBox*>(window)) {
      if (!box->property("varnelTitleKept").toBool()) {
        box->setProperty("varnelTitleKept", true);
        // The spacer's width is the box's contents; its margins add the rest.
        const QMargins margins = box->contentsMargins() + box->layout()->contentsMargins();
        widenMessageBox(box, room - margins.left() - margins.right());
      }
      return false;
    }
    if (window->maximumWidth() >= room) {
      window->setMinimumWidth(std::max(window->minimumWidth(), room));
      if (window->width() < room) window->resize(room, window->height());
    }
    return false;
  }
};
}  // namespace

int titleRoom(const QWidget* window) {
  QFont bold = QApplication::font();
  bold.setBold(true);
  return QFontMetrics(bold).horizontalAdvance(shownTitle(window)) + kTitleBarControlsRoom;
}

QStringList cutTexts(QWidget* window) {
  QStringList cut;
  if (window == nullptr) return cut;
  // A frame is never narrower than its window. Qt can keep frame margins
  // it read while the window manager was still sizing a new frame (a frame
  // of no width); the window's own width is then the truer measure.
  const int titleBarWidth = std::max(window->frameGeometry().width(), window->width());
  const int room = titleRoom(window);
  if (titleBarWidth < room)
    cut << QString("title of %1 (%2 wide, needs %3): %4")
               .arg(where(window))
               .arg(titleBarWidth)
               .arg(room)
               .arg(shownTitle(window));
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (shownIn(label, window)) checkLabel(label, cut);
  }
  for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
    if (!shownIn(button, window)) continue;
    if (qobject_cast<QPushButton*>(button) || qobject_cast<QCheckBox*>(button) ||
        qobject_cast<QRadioButton*>(button))
      checkButton(button, cut);
  }
  for (QTableWidget* table : window->findChildren<QTableWidget*>()) {
    if (shownIn(table, window)) checkTable(table, cut);
  }
  return cut;
}

QString breakableText(const QString& text, const QFontMetrics& metrics, int width) {
  if (width <= 0) return text;
  static const QRegularExpression spaces(QStringLiteral("(\\s+)"));
  static const QString separators = QStringLiteral("/\\._-:=,;@?&");
  const QChar zeroWidthSpace(0x200B);
  QString out;
  int start = 0;
  auto piece = [&](const QString& word) {
    if (metrics.horizontalAdvance(word) <= width) return word;
    QString broken;
    for (QChar c : word) {
      broken += c;
      if (separators.contains(c)) broken += zeroWidthSpace;
    }
    // Still a part wider than the room: allow a break after every letter.
    for (const QString& part : broken.split(zeroWidthSpace)) {
      if (metrics.horizontalAdvance(part) > width) {
        QString anywhere;
        for (QChar c : word) anywhere += QString(c) + zeroWidthSpace;
        return anywhere;
      }
    }
    return broken;
  };
  auto it = spaces.globalMatch(text);
  while (it.hasNext()) {
    const auto match = it.next();
    out += piece(text.mid(start, match.capturedStart() - start));
    out += match.captured(0);
    start = match.capturedEnd();
  }
  out += piece(text.mid(start));
  return out;
}

void fitColumnsToText(QTableWidget* table) {
  if (table == nullptr) return;
  table->setWordWrap(false);
  table->setTextElideMode(Qt::ElideNone);
  QHeaderView* header = table->horizontalHeader();
  int total = 0;
  for (int column = 0; column < table->columnCount(); ++column) {
    int width = header->sectionSizeHint(column);
    for (int row = 0; row < table->rowCount(); ++row) {
      QTableWidgetItem* item = table->item(row, column);
      if (item == nullptr) continue;
      int needed = widestLine(QFontMetrics(item->font()), item->text()) + kCellPadding;
      if (!item->icon().isNull()) needed += table->iconSize().width() + 4;
      width = std::max(width, needed);
    }
    if (column + 1 < table->columnCount() || !header->stretchLastSection())
      table->setColumnWidth(column, width);
    total += width;
  }
  const int frame = table->frameWidth() * 2;
  const int scrollBar = table->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, table);
  const int vertical = table->verticalHeader()->isVisible() ? table->verticalHeader()->width() : 0;
  table->setMinimumWidth(total + frame + scrollBar + vertical);
  table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void installTitleKeeper() {
  static TitleKeeper* keeper = nullptr;
  if (keeper != nullptr || qApp == nullptr) return;
  keeper = new TitleKeeper(qApp);
  qApp->installEventFilter(keeper);
}

}  // namespace client::ui
