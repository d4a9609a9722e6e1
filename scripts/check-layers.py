#!/usr/bin/env python3
"""Fails when a source includes a header from a folder above it.

The folders of src/ stand in this order, each depending only on folders
beneath it (folders on one rung do not include each other):

    0 platform
    1 ipc, codecs, logging
    2 net          (net/sockets and net/http beside each other)
    3 sdk          (sdk/platform < sdk/analytics < sdk/crash)
    4 client, helper   (client/Singletons < client/core < client/ui)
    5 apps         (apps/client, apps/helper, apps/installer beside each other)

Inside platform the folders have an order of their own (PLATFORM below).
A file belongs to the longest folder of the order its path starts with
(src/client/ui/x.cpp to client/ui, not client).

An include, quoted or in angle brackets, is resolved beside the including
file, then against src/ (and for tests and tools against tests/ and tools/);
one that names no file of the tree (a system or generated header) is not
checked. A file under tests/<folder>/ is held to the rule of <folder>: it may
include its subject, what its subject may include, and tests/support.
tests/support, tests/fuzz, tests/suite (the tests of the suite's own
fixtures) and tools/ stand above the whole of src/ (below apps): they may include any folder but apps. tools/ may include of
tests/support only the loopback-service fixtures (SERVICE_SUPPORT), the
library it links; a source file never includes tests/ or tools/.

Usage: check-layers.py [source root]   (default: the parent of scripts/)
Exit status 0 when every include goes down the layers, 1 otherwise.
"""
import os
import re
import sys

# folder -> (rung, group, rank inside the group). A folder may include a
# lower rung, or a lower rank of its own group.
PLATFORM = {
    "foundation": 0,
    "dispatch": 1,
    "system": 2, "runloop": 2, "pty": 2,
    "keychain": 3, "security": 3, "xpc": 3,
    "sysconfig": 4, "urlloading": 4,
    "servicemanagement": 5,
}
ORDER = {"platform": (0, "platform", 99)}
ORDER.update({f"platform/{k}": (0, "platform", v) for k, v in PLATFORM.items()})
ORDER.update({
    "ipc": (1, "ipc", 0), "codecs": (1, "codecs", 0), "logging": (1, "logging", 0),
    "net": (2, "net", 99), "net/sockets": (2, "net/sockets", 0), "net/http": (2, "net/http", 0),
    "sdk": (3, "sdk", 99), "sdk/platform": (3, "sdk", 0), "sdk/analytics": (3, "sdk", 1),
    "sdk/crash": (3, "sdk", 2),
    "client": (4, "client", 99), "client/Singletons": (4, "client", 0),
    "client/core": (4, "client", 1), "client/ui": (4, "client", 2),
    "helper": (4, "helper", 0),
    "apps": (5, "apps", 99), "apps/client": (5, "apps", 0),
    "apps/helper": (5, "apps", 0), "apps/installer": (5, "apps", 0),
})
# The fixtures of tests/support that tools/ may use (they link them).
SERVICE_SUPPORT = {"http_test_server.h", "test_certificates.h", "multipart_form.h",
                   "service_program.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")


def folder_of(path_under_src):
    """The longest folder of ORDER that path_under_src lies in, or None."""
    parts = path_under_src.split("/")
    for n in range(len(parts) - 1, 0, -1):
        key = "/".join(parts[:n])
        if key in ORDER:
            return key
    return None


def allowed(src_folder, dst_folder):
    d = ORDER[dst_folder]
    if src_folder is None:  # tests/support, tests/fuzz, tools: above src/, below apps
        return d[0] < 5
    if src_folder == dst_folder:
        return True
    s = ORDER[src_folder]
    if d[0] != s[0]:
        return d[0] < s[0]
    if d[1] != s[1]:
        return False
    if s[2] == 99:  # a whole group (tests/client/control): any of its folders
        return True
    return d[2] < s[2]


def resolve(root, dirpath, inc, quoted, bases):
    """The absolute path of the project file `inc` names, or None."""
    if quoted:
        beside = os.path.normpath(os.path.join(dirpath, inc))
        if os.path.isfile(beside):
            return beside
    for base in bases:
        candidate = os.path.normpath(os.path.join(root, base, inc))
        if os.path.isfile(candidate):
            return candidate
    return None


def walk(base):
    for dirpath, dirnames, files in os.walk(base):
        dirnames.sort()
        for name in sorted(files):
            if name.endswith(SUFFIXES):
                yield dirpath, os.path.join(dirpath, name)


def check(root):
    root = os.path.abspath(root)
    src, tests, tools = (os.path.join(root, d) for d in ("src", "tests", "tools"))
    support = os.path.join(tests, "support")
    violations = []

    def under(path, folder):
        return path.startswith(folder + os.sep)

    files = []  # (path, subject folder or None for the fixtures above src, kind)
    for dirpath, path in walk(src):
        subject = folder_of(os.path.relpath(path, src))
        if subject is None:
            violations.append(f"{os.path.relpath(path, root)}: not in any folder of the layer order")
            continue
        files.append((dirpath, path, subject, "src"))
    for dirpath, path in walk(tests):
        rel = os.path.relpath(path, tests)
        if under(path, support) or rel.startswith(("fuzz/", "suite/")):
            files.append((dirpath, path, None, "fixture"))
            continue
        subject = folder_of(rel)
        if subject is None:
            violations.append(f"{os.path.relpath(path, root)}: tests no folder of the layer order")
            continue
        files.append((dirpath, path, subject, "test"))
    for dirpath, path in walk(tools):
        files.append((dirpath, path, None, "tool"))

    bases = {"src": ["src"], "test": ["src", "tests"], "fixture": ["src", "tests"],
             "tool": ["src", "tests", "tools"]}
    for dirpath, path, subject, kind in files:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = list(f)
        for lineno, line in enumerate(lines, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            quoted, inc = m.group(1) == '"', m.group(2)
            target = resolve(root, dirpath, inc, quoted, bases[kind])
            if target is None:
                continue  # a system or generated header
            where = f"{os.path.relpath(path, root)}:{lineno}:"
            who = subject or os.path.relpath(os.path.dirname(path), root)
            if under(target, src):
                dst = folder_of(os.path.relpath(target, src))
                if dst is not None and not allowed(subject, dst):
                    violations.append(f"{where} {who} includes {dst} header \"{inc}\"")
            elif kind == "src":
                violations.append(f"{where} {who} includes a file outside src/ \"{inc}\"")
            elif under(target, support):
                if kind == "tool" and os.path.relpath(target, support) not in SERVICE_SUPPORT:
                    violations.append(f"{where} a tool includes the test fixture \"{inc}\"")
    return violations


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(
        os.path.dirname(os.path.abspath(__file__)))
    violations = check(root)
    for v in violations:
        print(v)
    if violations:
        print(f"{len(violations)} include(s) run up the layers "
              "(platform < ipc/codecs/logging < net < sdk < client/helper < apps)")
        return 1
    print("includes follow the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
