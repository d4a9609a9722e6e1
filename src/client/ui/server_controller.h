// ServerController: the server switcher window: a table of the current
// account's servers (country, city, server, measured speed and ping), a
// button that tests the selected server and one that switches the account
// to it. It follows the account manager and the connection through
// notifications, for the life of the object.
//
// Guarantees:
//  1. The rows are the very list the account manager holds as
//     currentServers; sorting the table sorts that list.
//  2. Busy (table and switch button disabled, indicator and status line
//     shown) from creation until the first server list arrives, during each
//     reload and each switch; idle once the list or the switch's end arrives.
//  3. The window cannot be closed while a switch is outstanding.
//  4. A server's tests start at most once.
//  5. Test server always answers: with no row chosen the status line says
//     so; while a test runs the indicator and "Testing <server>..." show;
//     when it ends the status line gives the figures or why there are none,
//     and the row's cells show "N/A (<reason>)" for a figure not measured.
//  6. A switch that succeeded names the server now in use in the status
//     line, which stays visible for 10 s.
//
// Thread safety: main thread only.
#pragma once

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "client/core/server_model.h"

namespace client {
class VRAccountManager;
}

namespace client::ui {

inline constexpr const char* kServerSwitchedText = "Server Switched Successfully";
inline constexpr int kServerSwitchedTextMilliseconds = 10000;

class ServerController : public QWidget {
  Q_OBJECT
 public:
  using ServerList = std::vector<ServerModel::Ptr>;

  explicit ServerController(std::shared_ptr<VRAccountManager> accountManager,
                            QWidget* parent = nullptr);
  ~ServerController() override;

  QLabel* accountStringLabel() const { return accountStringLabel_; }
  QTableWidget* serverTable() const { return serverTable_; }
  QProgressBar* progressIndicator() const { return progressIndicator_; }
  QPushButton* switchButton() const { return switchButton_; }
  QPushButton* testButton() const { return testButton_; }
  QLabel* statusLabel() const { return statusLabel_; }
  const std::shared_ptr<ServerList>& servers() const { return servers_; }
  bool currentlySwitchingServer() const { return currentlySwitchingServer_; }
  // Servers whose test runs now.
  int testsRunning() const { return static_cast<int>(testing_.size()); }

  // Data source.
  int numberOfRows() const;
  // The cell text of `row` in the column with `identifier` ("Country",
  // "City", "Server", "Speed", "Ping"; anything else gives "").
  QString objectValue(const QString& identifier, int row) const;
  // Sorts the rows (and so the manager's list) by a column and redraws.
  void sortByColumn(const QString& identifier, Qt::SortOrder order);
  std::optional<int> indexSetForServer(const ServerModel::Ptr& server) const;

 public slots:
  void testSelectedServerAction();
  void switchSelectedServer();
  void connectEvent();
  void disconnectEvent();
  void reloadData();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void windowDidLoad();
  void updateUIForActionStart(const char* key);
  void updateUIForActionCompletion();
  void updateUIForServerReload(const std::shared_ptr<ServerList>& list);
  int selectedRow() const;
  QString formatted(long value) const;
  // A message in the status line that outlives busy states for `ms`.
  void showNote(const QString& text, int ms);
  void refreshIndicator();
  void testDidProgress(const ServerModel::Ptr& server);
  QString resultText(const ServerModel::Ptr& server) const;

  std::shared_ptr<VRAccountManager> accountManager_;
  std::shared_ptr<ServerList> servers_;
  bool currentlySwitchingServer_ = false;
  bool busy_ = false;
  // The dialer's controls table allows a switch now.
  bool stateAllowsSwitch_ = true;
  QString note_;
  QTimer* noteTimer_;
  std::set<ServerModel::Ptr> testing_;
  QLabel* accountStringLabel_;
  QTableWidget* serverTable_;
  QProgressBar* progressIndicator_;
  QPushButton* switchButton_;
  QPushButton* testButton_;
  QLabel* statusLabel_;
};

}  // namespace client::ui
