// A private desktop session for keychain tests: a folder standing in for the
// user's home and runtime folders, a private session bus (no service
// activation, so nothing starts by itself) and, on request, the real
// gnome-keyring-daemon serving the Secret Service on it. Everything is
// stopped and removed when the session ends. The environment variables
// (HOME, XDG_*, DBUS_SESSION_BUS_ADDRESS) point into the session while it
// lives.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

extern char** environ;

namespace varnel::testing {

class DesktopSession {
 public:
  DesktopSession() {
    for (const char* sub : {"/home", "/run", "/home/.local", "/home/.local/share"})
      ::mkdir((dir_ + sub).c_str(), 0700);
    ::setenv("HOME", (dir_ + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir_ + "/home/.local/share").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::unsetenv("VARNEL_ROOT");
  }
  ~DesktopSession() {
    stop(&keyring_);
    stop(&bus_);
  }
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  const std::string& dir() const { return dir_; }
  static bool haveProgram(const char* path) { return ::access(path, X_OK) == 0; }

  // Starts the private session bus; true when its address is known.
  bool startBus() {
    const std::string config = dir_ + "/bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\" "
                             "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type><listen>unix:path="
                          << dir_
                          << "/run/bus</listen><auth>EXTERNAL</auth>"
                             "<policy context=\"default\"><allow send_destination=\"*\" "
                             "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    bus_ =
        spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"},
              -1, out[1]);
    ::close(out[1]);
    std::string address;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') address += c;
    ::close(out[0]);
    if (bus_ <= 0 || address.empty()) return false;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return true;
  }

  // Starts gnome-keyring's Secret Service on the bus, unlocked with a
  // password given on its standard input when `unlocked`; true once it owns
  // its bus name.
  bool startKeyring(bool unlocked) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args = {"/usr/bin/gnome-keyring-daemon", "--components=secrets",
                                     "--foreground"};
    if (unlocked) args.push_back("--unlock");
    keyring_ = spawn(args, in[0], -1);
    ::close(in[0]);
    if (unlocked) (void)!::write(in[1], "session-password", 16);
    ::close(in[1]);
    if (keyring_ <= 0) return false;
    pid_t waiter =
        spawn({"/usr/bin/gdbus", "wait", "--session", "--timeout", "20", "org.freedesktop.secrets"},
              -1, -1);
    int status = 0;
    return waiter > 0 && ::waitpid(waiter, &status, 0) == waiter && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

  // Runs a command (argv) with `input` on its standard input; its output.
  static std::string run(const std::vector<std::string>& args, const std::string& input,
                         int* exitStatus) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return {};
    pid_t pid = spawn(args, in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
  }

 private:
  static pid_t spawn(const std::vector<std::string>& args, int stdinFd, int stdoutFd) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }
  static void stop(pid_t* pid) {
    if (*pid <= 0) return;
    ::kill(*pid, SIGTERM);
    int status = 0;
    ::waitpid(*pid, &status, 0);
    *pid = -1;
  }

  TempDir tmp_{"desktop"};
  const std::string dir_ = tmp_.path();
  pid_t bus_ = -1;
  pid_t keyring_ = -1;
};

}  // namespace varnel::testing
