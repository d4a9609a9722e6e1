#include "client/ui/open_preferences_view_controller.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>

#include "client/core/account_manager.h"
#include "client/core/connection_state.h"
#include "client/ui/images.h"
#include "client/ui/localizable.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"

namespace client::ui {

void moveObjectFromIndex(QStringList& list, int from, int to) {
  if (from == to || from < 0 || from >= list.size() || to < 0) return;
  QString element = list.takeAt(from);
  if (to < list.size()) {
    list.insert(to, element);
  } else {
    list.append(element);
  }
}

long long integerValueOfText(const QString& text) {
  int i = 0;
  while (i < text.size() && text[i].isSpace()) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = std::min<long long>(value * 10 + (text[i].unicode() - '0'), 1LL << 40);
    ++i;
  }
  return negative ? -value : value;
}

PortTableView::PortTableView(OpenPreferencesViewController* pane, QWidget* parent)
    : QTableWidget(parent), pane_(pane) {
  setDragEnabled(true);
  setAcceptDrops(true);
  setDropIndicatorShown(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDefaultDropAction(Qt::MoveAction);
}

void PortTableView::startDrag(Qt::DropActions) {
  QList<int> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows << index.row();
  if (rows.isEmpty()) return;
  auto* drag = new QDrag(this);
  drag->setMimeData(pane_->writeRowsWithIndexes(rows));
  drag->exec(Qt::MoveAction);
}

void PortTableView::dragEnterEvent(QDragEnterEvent* event) {
  int row = 0;
  if (event->mimeData()->hasFormat(kPortDragType) &&
      pane_->validateDrop(event->source(), 0, false, &row) != Qt::IgnoreAction) {
    event->setDropAction(Qt::MoveAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void PortTableView::dragMoveEvent(QDragMoveEvent* event) {
  int row = 0;
  QModelIndex index = indexAt(event->position().toPoint());
  int proposed = index.isValid() ? index.row() : rowCount();
  if (pane_->validateDrop(event->source(), proposed, index.isValid(), &row) == Qt::IgnoreAction) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::MoveAction);
  event->accept();
}

void PortTableView::dropEvent(QDropEvent* event) {
  int row = 0;
  QModelIndex index = indexAt(event->position().toPoint());
  int proposed = index.isValid() ? index.row() : rowCount();
  if (pane_->validateDrop(event->source(), proposed, index.isValid(), &row) == Qt::IgnoreAction ||
      !pane_->acceptDrop(event->mimeData(), row)) {
    event->ignore();
    return;
  }
  // The pane moved the row itself; tell the view not to remove anything.
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

OpenPreferencesViewController::OpenPreferencesViewController(QWidget* parent) : QWidget(parent) {
  setObjectName("OpenPreferences");
  tableView_ = new PortTableView(this, this);
  tableView_->setObjectName("tableView");
  tableView_->setColumnCount(1);
  tableView_->setHorizontalHeaderLabels({"Port"});
  tableView_->horizontalHeader()->setStretchLastSection(true);
  tableView_->verticalHeader()->hide();
  tableView_->setSelectionMode(QAbstractItemView::SingleSelection);
  tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
  addButton_ = new QPushButton("+", this);
  addButton_->setObjectName("addButton");
  deleteButton_ = new QPushButton("-", this);
  deleteButton_->setObjectName("deleteButton");
  connect(addButton_, &QPushButton::clicked, this, &OpenPreferencesViewController::addNewRow);
  connect(deleteButton_, &QPushButton::clicked, this,
          &OpenPreferencesViewController::deleteSelectedRow);
  connect(tableView_, &QTableWidget::itemChanged, this, &OpenPreferencesViewController::itemEdited);

  auto* hint = new QLabel("Ports are tried from the top. Drag a row to change the order.", this);
  hint->setWordWrap(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(addButton_);
  buttons->addWidget(deleteButton_);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(hint);
  layout->addWidget(tableView_, 1);
  layout->addLayout(buttons);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
  resize(360, 300);

  // loadView
  platform::Value stored =
      platform::UserDefaults::standardUserDefaults()->arrayForKey(kOpenPortsKey);
  for (const platform::Value& port : stored.elements()) {
    if (port.isString()) {
      portArray_ << QString::fromStdString(port.asString());
    } else if (port.isNumber()) {
      portArray_ << QString::number(port.asInt64());
    }
  }
  reloadData();
}

OpenPreferencesViewController::~OpenPreferencesViewController() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

QIcon OpenPreferencesViewController::toolbarItemImage() const { return iconNamed("NSNetwork"); }
QString OpenPreferencesViewController::toolbarItemLabel() const { return localized("OpenVPN"); }

void OpenPreferencesViewController::viewWillAppear() {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(this);
  observeConnectionActivity(
      this, [this] { connectEvent(); }, [this] { disconnectEvent(); });
}

void OpenPreferencesViewController::viewDidDisappear() {
  platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void OpenPreferencesViewController::connectEvent() { tableView_->setEnabled(false); }
void OpenPreferencesViewController::disconnectEvent() { tableView_->setEnabled(true); }

void OpenPreferencesViewController::reloadData() {
  reloading_ = true;
  tableView_->setRowCount(numberOfRows());
  for (int row = 0; row < numberOfRows(); ++row) {
    auto* item = new QTableWidgetItem(portArray_[row]);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable |
                   Qt::ItemIsDragEnabled);
    tableView_->setItem(row, 0, item);
  }
  reloading_ = false;
}

void OpenPreferencesViewController::store() {
  platform::Value list = platform::Value::mutableArray();
  for (const QString& port : portArray_) list.append(platform::Value(port.toStdString()));
  auto defaults = platform::UserDefaults::standardUserDefaults();
  defaults->setObject(list, kOpenPortsKey);
  defaults->synchronize();
}

bool OpenPreferencesViewController::setObjectValue(const QString& value, int row) {
  if (row < 0 || row >= numberOfRows()) return false;
  long long port = integerValueOfText(value);
  if (port <= 20 || port > 65500) return false;
  portArray_[row] = QString::asprintf("%d", static_cast<int>(port));
  store();
  return true;
}

void OpenPreferencesViewController::itemEdited(QTableWidgetItem* item) {
  if (reloading_ || item == nullptr) return;
  const int row = item->row();
  setObjectValue(item->text(), row);
  // Show what the list holds: the accepted form, or the old text.
  reloading_ = true;
  if (row >= 0 && row < numberOfRows()) item->setText(portArray_[row]);
  reloading_ = false;
}

void OpenPreferencesViewController::addNewRow() {
  portArray_.append("500");
  moveObjectFromIndex(portArray_, static_cast<int>(portArray_.size()) - 1, 0);
  reloadData();
  tableView_->setCurrentCell(0, 0);
  tableView_->editItem(tableView_->item(0, 0));
}

void OpenPreferencesViewController::deleteSelectedRow() {
  auto rows = tableView_->selectionModel()->selectedRows();
  if (rows.isEmpty()) return;
  int row = rows.first().row();
  if (row < 0 || row >= numberOfRows()) return;
  portArray_.removeAt(row);
  store();
  reloadData();
}

QMimeData* OpenPreferencesViewController::writeRowsWithIndexes(const QList<int>& rows) const {
  QList<int> sorted = rows;
  std::sort(sorted.begin(), sorted.end());
  QStringList parts;
  for (int row : sorted) parts << QString::number(row);
  auto* mime = new QMimeData;
  mime->setData(kPortDragType, parts.join(',').toUtf8());
  return mime;
}

Qt::DropAction OpenPreferencesViewController::validateDrop(const QObject* source, int proposedRow,
                                                           bool onRow, int* dropRow) const {
  (void)onRow;  // a drop onto a row becomes a drop above it
  if (source != tableView_) return Qt::IgnoreAction;
  if (dropRow != nullptr) *dropRow = proposedRow;
  return Qt::MoveAction;
}

bool OpenPreferencesViewController::acceptDrop(const QMimeData* mime, int row) {
  if (mime == nullptr || !mime->hasFormat(kPortDragType)) return false;
  QStringList parts = QString::fromUtf8(mime->data(kPortDragType)).split(',', Qt::SkipEmptyParts);
  if (parts.isEmpty()) return false;
  bool ok = false;
  int first = parts.first().toInt(&ok);
  if (!ok || first < 0 || first >= numberOfRows()) return false;
  moveObjectFromIndex(portArray_, first, row);
  store();
  reloadData();
  return true;
}

}  // namespace client::ui
