#!/usr/bin/env python3
"""Fails when a source includes a header from a folder above it.

The folders of src/ stand in this order, each depending only on folders
beneath it (folders on one rung do not include each other):

    0 platform
    1 ipc, codecs, logging
    2 net          (net/http and net/sockets are one folder)
    3 sdk          (sdk/platform, sdk/analytics, sdk/crash are one folder)
    4 client, helper
    5 apps

A quoted include is resolved first beside the including file, then against
src/ (and, for tests, against tests/). A file under tests/<folder>/ is held
to the rule of <folder> (it may include its subject, what its subject may
include, and tests/support); tests/support itself and tools/ are fixtures
that stand beside the tree and are not checked.

Usage: check-layers.py [source root]   (default: the parent of scripts/)
Exit status 0 when every include goes down the layers, 1 otherwise.
"""
import os
import re
import sys

RANKS = {
    "platform": 0,
    "ipc": 1, "codecs": 1, "logging": 1,
    "net": 2,
    "sdk": 3,
    "client": 4, "helper": 4,
    "apps": 5,
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")


def allowed(src_folder, dst_folder):
    if src_folder == dst_folder:
        return True
    return RANKS[dst_folder] < RANKS[src_folder]


def folder_of(path_under_src):
    top = path_under_src.split("/", 1)[0]
    return top if top in RANKS else None


def check(root):
    src = os.path.join(root, "src")
    tests = os.path.join(root, "tests")
    violations = []
    unknown = []
    for base, subject_of in ((src, lambda rel: folder_of(rel)),
                             (tests, lambda rel: folder_of(rel))):
        for dirpath, _, files in os.walk(base):
            for name in sorted(files):
                if not name.endswith(SUFFIXES):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, base)
                if base == tests and rel.startswith("support/"):
                    continue
                subject = subject_of(rel)
                if subject is None:
                    if base == src:
                        unknown.append(os.path.relpath(path, root))
                    continue  # tests/fuzz and the like: no single subject
                with open(path, encoding="utf-8", errors="replace") as f:
                    for lineno, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        inc = m.group(1)
                        beside = os.path.normpath(os.path.join(dirpath, inc))
                        if os.path.exists(beside) and beside.startswith(src + os.sep):
                            target = os.path.relpath(beside, src)
                        elif os.path.exists(beside) and beside.startswith(tests + os.sep):
                            continue  # a test's own fixtures
                        elif os.path.exists(os.path.join(src, inc)):
                            target = inc
                        else:
                            continue  # tests/support, generated or system header
                        dst = folder_of(target)
                        if dst is None or allowed(subject, dst):
                            continue
                        violations.append(
                            f"{os.path.relpath(path, root)}:{lineno}: {subject} includes "
                            f"{dst} header \"{inc}\"")
    for u in unknown:
        violations.append(f"{u}: not in any folder of the layer order")
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
