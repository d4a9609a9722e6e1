// The installer attacked by the helper's own authorized user, through the
// real pkexec and polkitd on a private system bus in private mount and pid
// namespaces (our policy and a rule over the system's polkit folders,
// private copies of /etc/passwd and /etc/group for the test users). The
// rule lets the user "varnel-a-att" do both actions without a password (the
// most a site could grant); "varnel-a-demo" gets what the demo run grants,
// the helper installation only. The attacker has a folder of their own
// named like the client's, with their own installer and helper in it, and
// programs named like the client; the installation in the applications
// folder must stay the genuine one and no program of theirs may run as root.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

#include "platform/system/file_util.h"
#include "support/shell.h"

namespace {

using varnel::testing::contains;
using varnel::testing::runShell;

constexpr const char* kPolicy = VARNEL_SOURCE_ROOT "/packaging/polkit/com.varnelvpn.policy";

// Runs as root inside the namespaces: $1 the work folder, $2 the uid of the
// attacker, $3 the uid of the demo user, $4 their group.
constexpr const char* kScenario = R"SH(
set -u
D="$1"; ATT="$2"; DEMO="$3"; G="$4"
R="$D/root"; INST="$R/opt/VarnelVPN Client"; EVIL="$D/home-att/evil/VarnelVPN Client"
mount --make-rprivate / || exit 10
mount -t tmpfs tmpfs /run/dbus || exit 11
mount --bind "$D/etc/passwd" /etc/passwd && mount --bind "$D/etc/group" /etc/group || exit 12
mount --bind "$D/actions" /usr/share/polkit-1/actions || exit 13
mkdir -p /etc/polkit-1/rules.d 2>/dev/null
mount --bind "$D/rules" /etc/polkit-1/rules.d || exit 14
mkfifo "$D/address"
dbus-daemon --config-file="$D/bus.conf" --nofork --print-address=3 3>"$D/address" \
  2>"$D/bus.log" &
read -r address < "$D/address" || exit 15
/usr/lib/polkit-1/polkitd --no-debug >"$D/polkitd.log" 2>&1 &
gdbus wait --system --timeout 20 org.freedesktop.PolicyKit1 || exit 16
as() {
  local uid=$1; shift
  setsid --wait setpriv --reuid="$uid" --regid="$G" --clear-groups \
    env -i HOME="$D/home-att" PATH=/usr/bin:/bin "$@" </dev/null 2>&1
}
PK="pkexec '$INST/varnel-install-helper'"

echo "=== move-from-client"
# A program of the user named like the client, in the user's folder named
# like the client's: the move would replace the installation itself.
as $ATT "$EVIL/VarnelVPN Client" -c \
  "$PK move '$EVIL' '$INST' --root '$R'; echo rc=\$?"
echo "=== move-from-shell"
# Any other program asking for a move of that folder.
as $ATT /bin/sh -c "$PK move '$EVIL' '$INST' --root '$R'; echo rc=\$?"
echo "=== move-other-folder"
# The client's folder given, but asked for by the user's copy of the client.
as $ATT "$EVIL/VarnelVPN Client" -c \
  "$PK move '$INST' '$INST' --root '$R'; echo rc=\$?"
echo "=== install-evil-installer"
# The user's own installer: no action of ours names it.
as $ATT /bin/sh -c "pkexec '$EVIL/varnel-install-helper' install-helper VarnelHelper \
  --client 'VarnelVPN Client' --root '$R'; echo rc=\$?"
echo "=== install-user-root"
# The genuine installer, pointed at a system root of the user's.
as $ATT /bin/sh -c "$PK install-helper VarnelHelper --client 'VarnelVPN Client' \
  --root '$D/home-att/fakeroot'; echo rc=\$?"
echo "=== install-genuine"
# What the rule is for: the genuine helper from the genuine installation.
as $ATT /bin/sh -c "$PK install-helper VarnelHelper --client 'VarnelVPN Client' \
  --root '$R'; echo rc=\$?"
echo "helper: $(cat "$R/usr/local/libexec/varnel/VarnelHelper" 2>/dev/null | tail -1)"
echo "=== demo-move"
# The demo's rule: the helper installation only; a move wants a password
# that no agent can ask for here.
as $DEMO "$EVIL/VarnelVPN Client" -c "$PK move '$EVIL' '$R/opt/VarnelVPN Client' \
  --root '$R'; echo rc=\$?"
echo "=== demo-install"
as $DEMO /bin/sh -c "$PK install-helper VarnelHelper --client 'VarnelVPN Client' \
  --root '$R'; echo rc=\$?"
echo "=== end"
echo "installer: $(cmp -s "$INST/varnel-install-helper" "$D/genuine-installer" && echo genuine)"
echo "client: $(tail -1 "$INST/VarnelVPN Client")"
echo "opt: $(ls -A "$R/opt" | tr '\n' ' ')"
[ -e "$D/pwned" ] && echo "ATTACKER-RAN-AS $(cat "$D/pwned")"
exit 0
)SH";

unsigned freeId(unsigned from, bool group) {
  for (unsigned id = from;; ++id)
    if (group ? ::getgrgid(id) == nullptr : ::getpwuid(id) == nullptr) return id;
}

std::string read(const std::string& path) { return platform::files::readFile(path).value_or(""); }

void write(const std::string& path, const std::string& text, unsigned mode = 0644) {
  ASSERT_TRUE(platform::files::writeFileAtomically(path, text, mode)) << path;
}

std::string section(const std::string& output, const std::string& name) {
  const std::size_t begin = output.find("=== " + name + "\n");
  if (begin == std::string::npos) return {};
  const std::size_t end = output.find("=== ", begin + 4);
  return output.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

class InstallerPkexecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make the namespace and users";
    for (const char* program :
         {"/usr/bin/pkexec", "/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon",
          "/usr/bin/unshare", "/usr/bin/setpriv", "/usr/bin/gdbus", "/usr/bin/setsid"}) {
      if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is not installed";
    }
    char tmpl[] = "/tmp/varnel-pkexec-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755);
  }
  void TearDown() override {
    if (!dir_.empty()) runShell("rm -rf '" + dir_ + "'");
  }
  std::string dir_;
};

TEST_F(InstallerPkexecTest, TheAuthorizedUserGetsNoProgramOfTheirsRunAsRoot) {
  const std::string root = dir_ + "/root", inst = root + "/opt/VarnelVPN Client";
  const std::string home = dir_ + "/home-att", evil = home + "/evil/VarnelVPN Client";
  const std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>CFBundleIdentifier</key><string>VarnelHelper</string>"
      "<key>CFBundleVersion</key><string>300</string></dict></plist>\n";
  const std::string pwned = "#!/bin/sh\nid -u > '" + dir_ + "/pwned'\n";
  ASSERT_EQ(runShell("mkdir -p '" + inst + "' '" + evil + "' '" + home + "/fakeroot' '" + dir_ +
                     "/actions' '" + dir_ + "/rules' '" + dir_ + "/etc' && chmod 755 '" + root +
                     "' '" + root + "/opt' '" + inst + "' && cp '" VARNEL_INSTALLER_PATH "' '" +
                     inst + "/' && cp '" VARNEL_INSTALLER_PATH "' '" + dir_ +
                     "/genuine-installer' && cp /bin/dash '" + evil + "/VarnelVPN Client'")
                .status,
            0);
  // The genuine installation, and the attacker's look-alike.
  write(inst + "/VarnelVPN Client", "#!/bin/sh\n# genuine client\n", 0755);
  write(inst + "/VarnelHelper", "#!/bin/sh\n# genuine helper\n", 0755);
  write(inst + "/VarnelHelper.plist", plist);
  write(evil + "/varnel-install-helper", pwned, 0755);
  write(evil + "/VarnelHelper", pwned, 0755);
  write(evil + "/VarnelHelper.plist", plist);

  const unsigned gid = freeId(64100, true);
  const unsigned att = freeId(64100, false), demo = freeId(att + 1, false);
  write(dir_ + "/etc/passwd", read("/etc/passwd") + "varnel-a-att:x:" + std::to_string(att) + ":" +
                                  std::to_string(gid) + "::" + home +
                                  ":/bin/sh\nvarnel-a-demo:x:" + std::to_string(demo) + ":" +
                                  std::to_string(gid) + "::" + home + ":/bin/sh\n");
  write(dir_ + "/etc/group", read("/etc/group") + "varnel-a:x:" + std::to_string(gid) + ":\n");
  ASSERT_EQ(
      runShell("chown -R " + std::to_string(att) + ":" + std::to_string(gid) + " '" + home + "'")
          .status,
      0);

  ASSERT_EQ(
      runShell("cp /usr/share/polkit-1/actions/*.policy '" + dir_ + "/actions/' 2>/dev/null; true")
          .status,
      0);
  std::string policy = read(kPolicy);
  const std::string packaged = "/opt/VarnelVPN Client/varnel-install-helper";
  const std::string ours = inst + "/varnel-install-helper";
  for (std::size_t at = policy.find(packaged); at != std::string::npos;
       at = policy.find(packaged, at + ours.size()))
    policy.replace(at, packaged.size(), ours);
  write(dir_ + "/actions/com.varnelvpn.policy", policy);
  write(dir_ + "/rules/50-varnel-test.rules",
        "polkit.addRule(function(action, subject) {\n"
        "  var ours = action.id == \"com.varnelvpn.helper.install\" ||\n"
        "             action.id == \"com.varnelvpn.client.move\";\n"
        "  if (ours && subject.user == \"varnel-a-att\") return polkit.Result.YES;\n"
        "  if (action.id == \"com.varnelvpn.helper.install\" && subject.user == "
        "\"varnel-a-demo\")\n"
        "    return polkit.Result.YES;\n"
        "  return polkit.Result.NOT_HANDLED;\n"
        "});\n");
  if (const struct passwd* polkitd = ::getpwnam("polkitd")) {
    ASSERT_EQ(::chown((dir_ + "/rules").c_str(), polkitd->pw_uid, polkitd->pw_gid), 0);
    ASSERT_EQ(
        ::chown((dir_ + "/rules/50-varnel-test.rules").c_str(), polkitd->pw_uid, polkitd->pw_gid),
        0);
    ::chmod((dir_ + "/rules").c_str(), 0700);
  }
  // The demo's own bus policy does not matter here; this one lets polkitd in.
  write(dir_ + "/bus.conf",
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
        "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen>"
        "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
        "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
        "</policy></busconfig>\n");
  write(dir_ + "/ns.sh", kScenario, 0755);

  const varnel::testing::ShellOutcome r =
      runShell("timeout 100 unshare --mount --pid --fork --mount-proc /bin/sh '" + dir_ +
               "/ns.sh' '" + dir_ + "' " + std::to_string(att) + " " + std::to_string(demo) + " " +
               std::to_string(gid) + " 2>&1");
  ASSERT_EQ(r.status, 0) << r.output << read(dir_ + "/polkitd.log") << read(dir_ + "/bus.log");

  // Every move is refused: the installer's own installation is never the
  // destination, and no other program than the client may ask.
  std::string s = section(r.output, "move-from-client");
  EXPECT_TRUE(contains(s, "rc=7\n")) << s;
  EXPECT_TRUE(contains(s, "would replace the installation it runs from")) << s;
  s = section(r.output, "move-from-shell");
  EXPECT_TRUE(contains(s, "rc=7\n")) << s;
  EXPECT_TRUE(contains(s, "only VarnelVPN Client can be moved")) << s;
  s = section(r.output, "move-other-folder");
  EXPECT_TRUE(contains(s, "rc=7\n")) << s;
  EXPECT_TRUE(contains(s, "only the running client's own folder")) << s;
  // The user's installer is no action of ours: polkit wants a password.
  s = section(r.output, "install-evil-installer");
  EXPECT_TRUE(contains(s, "rc=127\n")) << s;
  s = section(r.output, "install-user-root");
  EXPECT_TRUE(contains(s, "rc=5\n")) << s;
  // The allowed installation installs the genuine helper.
  s = section(r.output, "install-genuine");
  EXPECT_TRUE(contains(s, "rc=0\n")) << s;
  EXPECT_TRUE(contains(s, "helper: # genuine helper\n")) << s;
  // The demo's rule allows the installation, not the move.
  s = section(r.output, "demo-move");
  EXPECT_TRUE(contains(s, "rc=127\n")) << s;
  s = section(r.output, "demo-install");
  EXPECT_TRUE(contains(s, "rc=0\n")) << s;
  // The installation is the genuine one; nothing of the attacker ran as root.
  s = section(r.output, "end");
  EXPECT_TRUE(contains(s, "installer: genuine\n")) << s;
  EXPECT_TRUE(contains(s, "client: # genuine client\n")) << s;
  EXPECT_TRUE(contains(s, "opt: VarnelVPN Client \n")) << s;
  EXPECT_FALSE(contains(r.output, "ATTACKER-RAN-AS")) << r.output;
}

}  // namespace
