#!/usr/bin/env python3
"""Set-up and clean-up of the fixtures every test of the suite requires.

  suite_fixtures.py tmpdir-setup <dir>
      Makes <dir> (the TMPDIR of every test) afresh, mode 1777.
  suite_fixtures.py tmpdir-check <dir>
      Fails when the tests left anything in <dir>, naming each entry and,
      from the owner list the temporary folders of tests/support write
      there, the program and test that made it. Removes <dir>.
  suite_fixtures.py host-snapshot <file>
      Writes a listing of the host's /etc, /var/lib, /run and home folders
      (type, mode, size and modification time of each entry) to <file>.
  suite_fixtures.py host-check <file> <marker>
      Lists the host again and fails with every path that appeared, went or
      changed since the snapshot; also fails with every process still running
      that this test run started, and ends those processes. Removes <file>.
      <marker> is "VARNEL_TEST_SUITE=<the build's tag>"; every test is started
      through run_tagged.sh, which adds the tag of its run (".<pid>.<start
      time>" of the ctest that runs it) to the variable, so a process of this
      run holds <marker> with this run's tag in its environment. Processes of
      another ctest run of the same build (another tag) are left alone; one
      holding <marker> without a run's tag (started outside the tagging) is
      taken as this run's.

A clean-up run again (ctest --repeat) finds its folder or listing gone and
passes: the first run checked.

A folder's own modification time is left out of the listing: it changes
whenever an entry below it comes or goes, and that entry is reported itself.
"""
import json
import os
import shutil
import signal
import stat
import sys

OWNERS = ".varnel-test-owners"

# Roots listed in full.
HOST_ROOTS = ["/etc", "/var/lib", "/run"]
# Paths that change on their own while the suite runs, never by it:
#   /run/user           the runtime folders of logged-in users' sessions;
#   /var/lib/apt/lists  the package lists, rewritten by any "apt-get update";
#   /run/mount          libmount's record of user-space mount options: the
#                       first mount(8) in any mount namespace that shares
#                       /run makes the (empty) folder, and it holds nothing
#                       of a private namespace's mounts.
EXCLUDED = ["/run/user", "/var/lib/apt/lists", "/run/mount"]
# In a home folder the places programs write (the XDG folders, the keyrings
# and certificate stores of the desktop) are listed in full, the rest (tool
# chains and caches of other programs) only by its top-level entries.
HOME_PLACES = [".config", ".local", ".cache", ".pki", ".gnupg"]


def homes():
    found = ["/root"] if os.path.isdir("/root") else []
    if os.path.isdir("/home"):
        found += sorted(os.path.join("/home", h) for h in os.listdir("/home"))
    return [h for h in found if os.path.isdir(h) and not os.path.islink(h)]


def describe(path):
    try:
        st = os.lstat(path)
    except OSError:
        return None
    mode = stat.S_IMODE(st.st_mode)
    if stat.S_ISDIR(st.st_mode):
        return f"dir {mode:o} uid {st.st_uid}"
    if stat.S_ISLNK(st.st_mode):
        try:
            return f"link -> {os.readlink(path)}"
        except OSError:
            return "link"
    if stat.S_ISSOCK(st.st_mode) or stat.S_ISFIFO(st.st_mode):
        # Their times change with every use; their coming and going counts.
        return f"special {stat.S_IFMT(st.st_mode):o} {mode:o} uid {st.st_uid}"
    return f"file {mode:o} uid {st.st_uid} size {st.st_size} mtime {st.st_mtime_ns}"


def walk(root, listing, skip):
    desc = describe(root)
    if desc is None:
        return
    listing[root] = desc
    if not desc.startswith("dir"):
        return
    try:
        names = sorted(os.listdir(root))
    except OSError:
        return
    for name in names:
        path = os.path.join(root, name)
        if any(path == s or path.startswith(s + "/") for s in skip):
            continue
        walk(path, listing, skip)


def host_listing(skip):
    listing = {}
    for root in HOST_ROOTS:
        walk(root, listing, skip)
    for home in homes():
        listing[home] = describe(home)
        try:
            names = sorted(os.listdir(home))
        except OSError:
            continue
        for name in names:
            path = os.path.join(home, name)
            if any(path == s or path.startswith(s + "/") for s in skip):
                continue
            if name in HOME_PLACES:
                walk(path, listing, skip)
            else:
                listing[path] = describe(path)
    return listing


def build_folders():
    # The build and the sources may live in a home folder; what the tests
    # write there is theirs to write.
    return [os.path.realpath(p) for p in (os.environ.get("VARNEL_BUILD_DIR", ""),
                                          os.environ.get("VARNEL_SOURCE_DIR", "")) if p]


def host_snapshot(out):
    with open(out, "w", encoding="utf-8") as f:
        json.dump(host_listing(EXCLUDED + build_folders()), f)
    return 0


def run_tag(ctest_pid):
    """The tag run_tagged.sh gives the programs that ctest process starts:
    ".<pid>.<start time>" (stat field 22, counted after the name, which may
    hold spaces); "" when the process is gone."""
    try:
        with open(f"/proc/{ctest_pid}/stat", encoding="utf-8", errors="replace") as f:
            fields = f.read().rsplit(") ", 1)[1].split()
        return f".{ctest_pid}.{fields[19]}"
    except (OSError, IndexError):
        return ""


def suite_processes(marker, tag=""):
    mine = {os.getpid(), os.getppid()}
    needles = {marker.encode()}
    if tag:
        needles.add((marker + tag).encode())
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) in mine:
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                env = f.read().split(b"\0")
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue  # gone meanwhile, or a kernel thread
        if needles.intersection(env):
            found.append((int(entry), cmd))
    return found


def host_check(snapshot, marker, ctest_pid=None):
    """ctest_pid: the ctest of this run (default: this process's parent)."""
    failures = []
    if not os.path.exists(snapshot):
        # Compared and removed already: ctest --repeat runs a clean-up again.
        print(f"{snapshot}: compared already")
        return 0
    try:
        with open(snapshot, encoding="utf-8") as f:
            before = json.load(f)
    except (OSError, ValueError) as e:
        print(f"no host listing from before the tests ({e})")
        return 1
    os.unlink(snapshot)
    after = host_listing(EXCLUDED + build_folders())
    for path in sorted(set(before) | set(after)):
        b, a = before.get(path), after.get(path)
        if b == a:
            continue
        if b is None:
            failures.append(f"appeared: {path} ({a})")
        elif a is None:
            failures.append(f"went: {path} (was {b})")
        else:
            failures.append(f"changed: {path} (was {b}, now {a})")
    if failures:
        print("the tests changed the host:")
        print("\n".join("  " + f for f in failures))
    left = suite_processes(marker, run_tag(os.getppid() if ctest_pid is None else ctest_pid))
    if left:
        print("processes started by the tests still run (now ended):")
        for pid, cmd in left:
            print(f"  {pid}: {cmd}")
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
    return 1 if failures or left else 0


def tmpdir_setup(folder):
    remove(folder)
    os.mkdir(folder)
    os.chmod(folder, 0o1777)
    return 0


def remove(path):
    """Removes path with everything below it, read-only folders included."""
    if not os.path.lexists(path):
        return
    if os.path.islink(path) or not os.path.isdir(path):
        os.unlink(path)
        return
    for dirpath, dirnames, _ in os.walk(path):
        for d in dirnames:
            p = os.path.join(dirpath, d)
            if not os.path.islink(p):
                try:
                    os.chmod(p, 0o700)
                except OSError:
                    pass
    shutil.rmtree(path, ignore_errors=True)


def tmpdir_check(folder):
    owners = {}
    try:
        with open(os.path.join(folder, OWNERS), encoding="utf-8", errors="replace") as f:
            for line in f:
                name, _, who = line.rstrip("\n").partition(" ")
                owners[name] = who
    except OSError:
        pass
    if not os.path.exists(folder):
        print(f"{folder}: checked already")  # ctest --repeat runs a clean-up again
        return 0
    try:
        left = sorted(n for n in os.listdir(folder) if n != OWNERS)
    except OSError as e:
        print(f"{folder}: {e}")
        return 1
    if left:
        print(f"left behind in {folder}:")
        for name in left:
            who = owners.get(name)
            print(f"  {name}" + (f"  (made by {who})" if who else ""))
            below = []
            for dirpath, dirnames, files in os.walk(os.path.join(folder, name)):
                below += [os.path.join(dirpath, n) for n in dirnames + files]
            for p in sorted(below)[:20]:
                print(f"    {os.path.relpath(p, folder)}")
    remove(folder)
    return 1 if left else 0


def main(argv):
    commands = {
        "tmpdir-setup": (tmpdir_setup, 1),
        "tmpdir-check": (tmpdir_check, 1),
        "host-snapshot": (host_snapshot, 1),
        "host-check": (host_check, 2),
    }
    if len(argv) < 2 or argv[1] not in commands or len(argv) != 2 + commands[argv[1]][1]:
        print(__doc__)
        return 2
    fn, _ = commands[argv[1]]
    return fn(*argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
