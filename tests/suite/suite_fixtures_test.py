#!/usr/bin/env python3
"""The suite's clean-up checks (tests/support/suite_fixtures.py) on planted
leftovers: a folder a test left in the temporary folder, host files that
appeared, changed or went, and a process that outlived the tests."""
import io
import os
import subprocess
import sys
import tempfile
import time
import unittest
from contextlib import redirect_stdout

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")
sys.path.insert(0, SUPPORT)
import suite_fixtures  # noqa: E402


def tagged_processes(prefix):
    """(pid, command) of the processes whose VARNEL_TEST_SUITE starts with prefix."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                env = f.read().split(b"\0")
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        if any(e.startswith(prefix) for e in env):
            found.append((int(entry), cmd))
    return found


def run(fn, *args):
    out = io.StringIO()
    with redirect_stdout(out):
        rc = fn(*args)
    return rc, out.getvalue()


class TmpdirCheckTest(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp()
        self.folder = os.path.join(self.base, "vtest")
        suite_fixtures.tmpdir_setup(self.folder)

    def tearDown(self):
        suite_fixtures.remove(self.base)

    def test_empty_folder_passes_and_goes(self):
        with open(os.path.join(self.folder, suite_fixtures.OWNERS), "w") as f:
            f.write("varnel-test-root-abc prog Suite.Case pid 1\n")
        rc, _ = run(suite_fixtures.tmpdir_check, self.folder)
        self.assertEqual(rc, 0)
        self.assertFalse(os.path.exists(self.folder))
        # Run again (ctest --repeat): checked already.
        rc, _ = run(suite_fixtures.tmpdir_check, self.folder)
        self.assertEqual(rc, 0)

    def test_leftover_names_its_maker_and_what_is_inside(self):
        left = os.path.join(self.folder, "varnel-test-root-Xy12Ab")
        os.makedirs(os.path.join(left, "home", ".config"))
        os.chmod(os.path.join(left, "home"), 0o500)  # removed all the same
        with open(os.path.join(self.folder, suite_fixtures.OWNERS), "w") as f:
            f.write("varnel-test-logs-111111 prog A.B pid 7\n")
            f.write("varnel-test-root-Xy12Ab sdk_crash_ctr_signal_test SignalCaptureTest.Abort pid 9\n")
        open(os.path.join(self.folder, "stray.sock"), "w").close()
        rc, out = run(suite_fixtures.tmpdir_check, self.folder)
        self.assertEqual(rc, 1)
        self.assertIn("varnel-test-root-Xy12Ab  (made by sdk_crash_ctr_signal_test "
                      "SignalCaptureTest.Abort pid 9)", out)
        self.assertIn("varnel-test-root-Xy12Ab/home/.config", out)
        self.assertIn("stray.sock", out)
        self.assertNotIn("varnel-test-logs-111111", out)
        self.assertFalse(os.path.exists(self.folder))


class HostCheckTest(unittest.TestCase):
    def setUp(self):
        self.host = tempfile.mkdtemp()
        self.saved = (suite_fixtures.HOST_ROOTS, suite_fixtures.EXCLUDED, suite_fixtures.homes)
        etc, run_dir = os.path.join(self.host, "etc"), os.path.join(self.host, "run")
        os.makedirs(os.path.join(etc, "ipsec.d"))
        os.makedirs(os.path.join(run_dir, "user", "1000"))
        self.home = os.path.join(self.host, "home", "alice")
        os.makedirs(os.path.join(self.home, ".config"))
        os.makedirs(os.path.join(self.home, ".rustup", "toolchains"))
        with open(os.path.join(etc, "ipsec.secrets"), "w") as f:
            f.write("# none\n")
        with open(os.path.join(etc, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n")
        suite_fixtures.HOST_ROOTS = [etc, run_dir]
        suite_fixtures.EXCLUDED = [os.path.join(run_dir, "user")]
        suite_fixtures.homes = lambda: [self.home]
        self.snapshot = os.path.join(self.host, "before.json")
        suite_fixtures.host_snapshot(self.snapshot)
        self.etc, self.run = etc, run_dir

    def tearDown(self):
        suite_fixtures.HOST_ROOTS, suite_fixtures.EXCLUDED, suite_fixtures.homes = self.saved
        suite_fixtures.remove(self.host)

    def check(self):
        return run(suite_fixtures.host_check, self.snapshot, "VARNEL_TEST_SUITE=none-such")

    def test_untouched_host_passes(self):
        # Entries coming and going in excluded places, below a home's other
        # folders, and a folder's own time do not count.
        open(os.path.join(self.run, "user", "1000", "bus"), "w").close()
        open(os.path.join(self.home, ".rustup", "toolchains", "x"), "w").close()
        os.utime(self.etc, (1, 1))
        rc, out = self.check()
        self.assertEqual(rc, 0, out)
        self.assertFalse(os.path.exists(self.snapshot))

    def test_changes_are_named(self):
        with open(os.path.join(self.etc, "ipsec.secrets"), "a") as f:
            f.write(': PSK "leaked"\n')
        open(os.path.join(self.etc, "ipsec.d", "ipsec.nm-l2tp.secrets"), "w").close()
        os.unlink(os.path.join(self.etc, "hosts"))
        os.makedirs(os.path.join(self.home, ".config", "VarnelVPN"))
        os.chmod(os.path.join(self.etc, "ipsec.d"), 0o777)
        rc, out = self.check()
        self.assertEqual(rc, 1)
        self.assertIn(f"changed: {self.etc}/ipsec.secrets", out)
        self.assertIn(f"appeared: {self.etc}/ipsec.d/ipsec.nm-l2tp.secrets", out)
        self.assertIn(f"went: {self.etc}/hosts", out)
        self.assertIn(f"appeared: {self.home}/.config/VarnelVPN", out)
        self.assertIn(f"changed: {self.etc}/ipsec.d (was dir 755", out)

    def test_a_process_of_the_suite_that_outlives_it_fails_and_is_ended(self):
        marker = f"VARNEL_TEST_SUITE=planted-{os.getpid()}"
        env = dict(os.environ, VARNEL_TEST_SUITE=marker.split("=", 1)[1])
        child = subprocess.Popen(["sleep", "60"], env=env, start_new_session=True)
        try:
            rc, out = run(suite_fixtures.host_check, self.snapshot, marker)
            self.assertEqual(rc, 1)
            self.assertIn(f"{child.pid}: sleep 60", out)
            self.assertEqual(child.wait(timeout=10), -9)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()

    def test_processes_of_another_run_of_the_same_build_are_left_alone(self):
        # Two ctest runs of one build: this process plays the ctest of the
        # run being cleaned up, a shell the ctest of another run; each starts
        # its test through the run tagger, as every test is started.
        marker = f"VARNEL_TEST_SUITE=planted-{os.getpid()}"
        env = dict(os.environ, VARNEL_TEST_SUITE=marker.split("=", 1)[1])
        tagger = os.path.join(SUPPORT, "run_tagged.sh")
        ours = subprocess.Popen(["sh", tagger, "sleep", "60"], env=env, start_new_session=True)
        # (ctest itself does not hold the suite's tag: each test gets it.)
        plain = {k: v for k, v in os.environ.items() if k != "VARNEL_TEST_SUITE"}
        theirs = subprocess.Popen(["sh", "-c", 'VARNEL_TEST_SUITE="$1" sh "$0" sleep 61 & wait',
                                   tagger, env["VARNEL_TEST_SUITE"]],
                                  env=plain, start_new_session=True)
        try:
            prefix = (marker + ".").encode()
            deadline = time.monotonic() + 10
            found = []
            while time.monotonic() < deadline:
                found = [(pid, cmd) for pid, cmd in tagged_processes(prefix)]
                if sorted(cmd for _, cmd in found) == ["sleep 60", "sleep 61"]:
                    break
                time.sleep(0.05)
            self.assertEqual(sorted(cmd for _, cmd in found), ["sleep 60", "sleep 61"])
            theirs_pid = next(pid for pid, cmd in found if cmd == "sleep 61")
            rc, out = run(suite_fixtures.host_check, self.snapshot, marker, os.getpid())
            self.assertEqual(rc, 1)
            self.assertIn(f"{ours.pid}: sleep 60", out)
            self.assertNotIn("sleep 61", out)
            self.assertEqual(ours.wait(timeout=10), -9)
            os.kill(theirs_pid, 0)  # the other run's program still runs
        finally:
            for child in (ours, theirs):
                try:
                    os.killpg(child.pid, 9)
                except OSError:
                    pass
                child.wait()

    def test_snapshot_compared_already_passes(self):
        self.assertEqual(self.check()[0], 0)
        self.assertEqual(self.check()[0], 0)  # ctest --repeat


if __name__ == "__main__":
    unittest.main()
