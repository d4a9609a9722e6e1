// A stand-in of the PPP daemon for the dialer's tests. It reads the options
// file named by "file PATH", prints the lines a daemon prints, and behaves by
// the user name in the options:
//   "fail"    prints an authentication failure and exits 1
//   "vanish"  exits 0 without any end message
//   anything else: comes up and stays until SIGTERM, then prints the end.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  std::string options, args;
  for (int i = 1; i < argc; ++i) {
    args += std::string(" ") + argv[i];
    if (std::strcmp(argv[i], "file") == 0 && i + 1 < argc) options = argv[i + 1];
  }
  std::ifstream in(options);
  std::stringstream text;
  text << in.rdbuf();
  const std::string opts = text.str();
  std::printf("args:%s\n", args.c_str());
  std::printf("tty: %s\n", ::isatty(0) && ::isatty(1) ? "yes" : "no");
  std::printf("Using interface ppp0\n");
  std::fflush(stdout);
  if (opts.find("user \"fail\"") != std::string::npos) {
    std::printf("CHAP authentication failed\n");
    return 1;
  }
  if (opts.find("user \"vanish\"") != std::string::npos) return 0;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  std::printf("local  IP address 10.8.0.2\nremote IP address 10.8.0.1\n");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  std::printf("Terminating on signal %d\nConnection terminated.\n", sig);
  std::fflush(stdout);
  return 0;
}
