// OpenPreferencesViewController: the "OpenVPN" pane, a one-column table of
// the ports an OpenVPN connection may use, in the order they are tried. The
// list lives in the user default "OpenPorts" (decimal strings).
//
// Guarantees:
//  1. An edited port is accepted only when its integer value V is
//     21 <= V <= 65500; it is stored as "%d" of V, with the whole list, at
//     once. Anything else leaves the row and "OpenPorts" unchanged.
//  2. Adding a row puts "500" first and starts editing it; nothing is stored
//     until the next accepted edit, deletion or drag.
//  3. A drag moves one row (the first dragged) to the drop position counted
//     after its removal and stores the list; drags from any other table are
//     refused.
//  4. The table is disabled from a connect or server-switch start until the
//     next disconnect or switch end, while the pane is shown.
//
// Thread safety: main thread only.
#pragma once

#include <QMimeData>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>

#include "client/ui/preference_pane.h"

namespace client::ui {

inline constexpr const char* kOpenPortsKey = "OpenPorts";
inline constexpr const char* kPortDragType = "PortDragNDrop";

// Removes the element at `from` and inserts it at `to` when `to` is below the
// new count, else appends it; nothing when the two are equal or `from` is
// out of range.
void moveObjectFromIndex(QStringList& list, int from, int to);
// The platform's integer value of a text: leading blanks, an optional sign,
// then decimal digits up to the first other character; 0 when there are none.
long long integerValueOfText(const QString& text);

class OpenPreferencesViewController;

// The ports table: a drag source and drop target for its own rows only.
class PortTableView : public QTableWidget {
  Q_OBJECT
 public:
  PortTableView(OpenPreferencesViewController* pane, QWidget* parent);

 protected:
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  OpenPreferencesViewController* pane_;
};

class OpenPreferencesViewController : public QWidget, public PreferencePane {
  Q_OBJECT
 public:
  explicit OpenPreferencesViewController(QWidget* parent = nullptr);
  ~OpenPreferencesViewController() override;

  // PreferencePane
  QWidget* view() override { return this; }
  QString identifier() const override { return "OpenPreferences"; }
  QIcon toolbarItemImage() const override;
  QString toolbarItemLabel() const override;
  void viewWillAppear() override;
  void viewDidDisappear() override;

  QTableWidget* tableView() const { return tableView_; }
  const QStringList& portArray() const { return portArray_; }

  // Data source.
  int numberOfRows() const { return static_cast<int>(portArray_.size()); }
  // Applies an edit of `row` (guarantee 1); true when accepted.
  bool setObjectValue(const QString& value, int row);
  // Drag and drop.
  QMimeData* writeRowsWithIndexes(const QList<int>& rows) const;
  // The operation offered and the row the drop goes above (a drop onto a
  // row becomes a drop above it); Qt::IgnoreAction for foreign drags.
  Qt::DropAction validateDrop(const QObject* source, int proposedRow, bool onRow,
                              int* dropRow) const;
  bool acceptDrop(const QMimeData* mime, int row);

 public slots:
  void addNewRow();
  void deleteSelectedRow();
  void connectEvent();
  void disconnectEvent();

 private:
  void reloadData();
  void store();
  void itemEdited(QTableWidgetItem* item);

  QTableWidget* tableView_;
  QPushButton* addButton_;
  QPushButton* deleteButton_;
  QStringList portArray_;
  bool reloading_ = false;
};

}  // namespace client::ui
