# shellcheck shell=bash
# Sourced by scripts/run.sh and scripts/test.sh: the demo's own system user,
# "varnel-demo", that the client runs as when the demo is started as root
# directly. Made once and left in place (`userdel varnel-demo` removes it).
# The test command makes it before the suite takes its listing of the host,
# so that the GUI end-to-end tests, which start the demo, change nothing.
DEMO_USER=varnel-demo

demo_ensure_user() {
  if ! id -u "$DEMO_USER" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$DEMO_USER"
    echo "Created the system user $DEMO_USER to run the client."
  fi
}
