// PanedPreferencesWindowController: the preferences window. A toolbar holds
// one item per pane; one pane is shown at a time; the window resizes itself
// to the pane and remembers in the user defaults the pane shown last, its
// top-left point and the size of each resizable pane.
//
// Guarantees:
//  1. A pane whose commitEditing answers false is never left: the selection
//     and its toolbar item stay as they were.
//  2. A pane's minimum size is its size when first shown, and every pane is
//     first shown at the size of the largest one, so the window keeps one
//     size (and its place) as the panes change; a direction that is not
//     resizable always gets the minimum, whatever size was saved.
//  3. "PanedPreferencesWindowControllerDidChangeViewNotification" (object:
//     the controller) is posted after every pane change.
//  4. Closing the window is refused while the shown pane refuses to be left.
//
// The controller owns the panes' views. Null entries in the pane list stand
// for flexible spaces in the toolbar.
//
// Thread safety: main thread only.
#pragma once

#include <QAction>
#include <QActionGroup>
#include <QMainWindow>
#include <QRect>
#include <QToolBar>
#include <map>
#include <vector>

#include "client/ui/preference_pane.h"

namespace client::ui {

inline constexpr const char* kPanedPreferencesSelectedIdentifierKey =
    "PanedPreferences Selected Identifier View";
inline constexpr const char* kPanedPreferencesFrameTopLeftKey = "PanedPreferences Frame Top Left";
inline constexpr const char* kPanedPreferencesPaneFrameFormat = "PanedPreferences %@ Frame";
inline constexpr const char* kPanedPreferencesDidChangeViewNotification =
    "PanedPreferencesWindowControllerDidChangeViewNotification";
inline constexpr const char* kFlexibleSpaceItemIdentifier = "NSToolbarFlexibleSpaceItem";

// The platform's text forms of a point "{x, y}" and a rectangle "{{x, y}, {w, h}}".
QString stringFromPoint(const QPoint& point);
QString stringFromRect(const QRect& rect);
// Unreadable text gives nullopt.
std::optional<QPoint> pointFromString(const QString& text);
std::optional<QRect> rectFromString(const QString& text);

class PanedPreferencesWindowController : public QMainWindow {
  Q_OBJECT
 public:
  PanedPreferencesWindowController(std::vector<PreferencePane*> viewControllers,
                                   const QString& title, QWidget* parent = nullptr);
  explicit PanedPreferencesWindowController(std::vector<PreferencePane*> viewControllers,
                                            QWidget* parent = nullptr)
      : PanedPreferencesWindowController(std::move(viewControllers), QString(), parent) {}
  ~PanedPreferencesWindowController() override;

  const std::vector<PreferencePane*>& viewControllers() const { return viewControllers_; }
  PreferencePane* selectedViewController() const { return selected_; }
  const QString& title() const { return title_; }

  void setSelectedViewController(PreferencePane* pane);
  void selectControllerAtIndex(std::size_t index);
  void goNextTab();
  void goPreviousTab();
  PreferencePane* viewControllerForIdentifier(const QString& identifier) const;
  PreferencePane* firstViewController() const;
  // -1 when nothing is selected.
  int indexOfSelectedController() const;
  QStringList toolbarItemIdentifiers() const;
  QToolBar* toolbar() const { return toolbar_; }
  // The toolbar item of a pane's identifier (nullptr for none).
  QAction* toolbarItem(const QString& identifier) const;
  // The minimum rectangles fixed so far, by pane identifier.
  const std::map<QString, QRect>& minimumViewRects() const { return minimumViewRects_; }

 public slots:
  void toolbarItemDidClick(QAction* item);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void windowDidLoad();
  int chromeHeight() const;
  void selectToolbarItemOf(PreferencePane* pane);

  std::vector<PreferencePane*> viewControllers_;
  PreferencePane* selected_ = nullptr;
  QString title_;
  std::map<QString, QRect> minimumViewRects_;
  // The largest pane's natural size, taken when the window is made.
  QSize commonPaneSize_;
  QToolBar* toolbar_;
  QActionGroup* group_;
  bool changingPane_ = false;
};

}  // namespace client::ui
