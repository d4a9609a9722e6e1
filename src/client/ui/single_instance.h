// SingleInstance: one client per user session. The first client of a
// session holds an exclusive lock on a file in the user's runtime folder
// and listens on a Unix-domain socket beside it; a second start finds the
// lock taken, asks the running client (through the socket) to bring its
// window forward, and ends.
//
// Guarantees:
//  1. The lock is the kernel's (flock): it goes with the process that holds
//     it, also when that process is killed, so a stale file never blocks a
//     later start.
//  2. The socket is owner-only (0600, in a folder of the user's own) and
//     a request is honoured only from a peer of the same user (SO_PEERCRED).
//  3. When the folder cannot be used (no runtime folder, a path too long
//     for a socket), `claim` answers true: the client runs rather than not
//     at all.
//
// Thread safety: main thread only (the socket is watched by Qt's loop).
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <string>

namespace client::ui {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // `folder` empty: $XDG_RUNTIME_DIR, else an owner-only folder of the user
  // under /tmp.
  explicit SingleInstance(std::string folder = {}, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is the session's client (it now holds the lock
  // and listens); false when another one runs, which has been asked to
  // come forward (waiting up to `waitSeconds` for it to listen, since it
  // may itself be starting).
  bool claim(double waitSeconds = 3.0);

  static std::string defaultFolder();
  const std::string& socketPath() const { return socketPath_; }

 signals:
  // A second start asked this client to bring its window forward.
  void activationRequested();

 private:
  bool listenOnSocket();
  bool askRunningInstance();
  void acceptPending();

  std::string folder_;
  std::string lockPath_;
  std::string socketPath_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace client::ui
