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

#include "client/core/dialer_state.h"

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

// Calls `apply` at once with the dialer's controls table row now
// (DialerState::currentControls) and again after every change of it, on
// the main thread. removeObserver(observer) on the default notification
// center undoes it with the observer's other registrations.
void observeDialerControls(const void* observer,
                           std::function<void(const DialerControls& controls)> apply);

// observeDialerControls for panes whose settings lock while a connection
// runs or a server switch is under way: `busy` runs when the row's
// settings are locked, `idle` when they are free.
void observeConnectionActivity(const void* observer, std::function<void()> busy,
                               std::function<void()> idle);

}  // namespace client::ui
