// PreferencePane: what every pane of the preferences window provides. A pane
// is a widget (its view) with a unique identifier, a toolbar image and label,
// and optional answers to whether it may be resized, where the keyboard focus
// starts, and hooks around its showing.
//
// Thread safety: main thread only.
#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

namespace client::ui {

class PreferencePane {
 public:
  virtual ~PreferencePane() = default;
  virtual QWidget* view() = 0;
  virtual QString identifier() const = 0;
  virtual QIcon toolbarItemImage() const = 0;
  virtual QString toolbarItemLabel() const = 0;
  // nullopt: the view's size policy decides (expanding = resizable).
  virtual std::optional<bool> hasResizableWidth() const { return std::nullopt; }
  virtual std::optional<bool> hasResizableHeight() const { return std::nullopt; }
  virtual QWidget* initialKeyView() { return nullptr; }
  virtual void viewWillAppear() {}
  virtual void viewDidDisappear() {}
  // Whether the pane may be left now.
  virtual bool commitEditing() { return true; }
};

// Registers `observer` with the default notification center so that `busy`
// runs when a connection or a server switch starts and `idle` when the
// connection ends or the switch stops: panes lock what must not change
// meanwhile. removeObserver(observer) undoes it with the observer's other
// registrations.
void observeConnectionActivity(const void* observer, std::function<void()> busy,
                               std::function<void()> idle);

}  // namespace client::ui
