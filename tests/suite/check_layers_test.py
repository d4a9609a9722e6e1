#!/usr/bin/env python3
"""The include-layer check (scripts/check-layers.py) on a small tree of its
own: each rule with an include that keeps it and one that breaks it."""
import importlib.util
import os
import shutil
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT_SOURCE = importlib.util.spec_from_file_location(
    "check_layers", os.path.join(HERE, "..", "..", "scripts", "check-layers.py"))
check_layers = importlib.util.module_from_spec(SCRIPT_SOURCE)
SCRIPT_SOURCE.loader.exec_module(check_layers)

FILES = [
    "src/platform/foundation/value.h", "src/platform/dispatch/queue.h",
    "src/platform/system/thread_state.h", "src/codecs/json.h", "src/net/http/client.h",
    "src/net/sockets/socket.h", "src/sdk/analytics/tally.h", "src/sdk/crash/crash.h",
    "src/client/core/account_manager.h", "src/client/ui/window.h", "src/helper/service.h",
    "src/apps/client/triggers.h", "tests/support/temp_root.h", "tests/support/http_test_server.h",
    "tools/account-service/account_service.h",
]


class CheckLayersTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        for f in FILES:
            self.write(f, "#pragma once\n")

    def tearDown(self):
        shutil.rmtree(self.root)

    def write(self, rel, text):
        path = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def violations(self, rel, include):
        """The check's findings with `include` planted in `rel` (taken out again)."""
        self.write(rel, include + "\n")
        try:
            return check_layers.check(self.root)
        finally:
            if rel in FILES:
                self.write(rel, "#pragma once\n")
            else:
                os.unlink(os.path.join(self.root, rel))

    def assertAllowed(self, rel, include):
        self.assertEqual(self.violations(rel, include), [], include)

    def assertRefused(self, rel, include, words):
        found = self.violations(rel, include)
        self.assertEqual(len(found), 1, found)
        self.assertIn(words, found[0])

    def test_the_tree_as_it_stands_passes(self):
        self.assertEqual(check_layers.check(self.root), [])

    def test_longest_folder_decides(self):
        self.assertAllowed("src/client/ui/window.cpp", '#include "client/core/account_manager.h"')
        self.assertRefused("src/client/core/account.cpp", '#include "client/ui/window.h"',
                           "client/core includes client/ui")
        self.assertRefused("src/sdk/analytics/tally.cpp", '#include "sdk/crash/crash.h"',
                           "sdk/analytics includes sdk/crash")
        self.assertRefused("src/net/http/client.cpp", '#include "net/sockets/socket.h"',
                           "net/http includes net/sockets")
        self.assertRefused("src/helper/service.cpp", '#include "client/core/account_manager.h"',
                           "helper includes client/core")

    def test_platform_has_an_order(self):
        self.assertAllowed("src/platform/system/thread_state.cpp",
                           '#include "platform/dispatch/queue.h"')
        self.assertRefused("src/platform/dispatch/worker_pool.cpp",
                           '#include "platform/system/thread_state.h"',
                           "platform/dispatch includes platform/system")

    def test_angle_brackets_naming_a_project_file_count(self):
        self.assertRefused("src/platform/foundation/value.cpp",
                           "#include <client/core/account_manager.h>",
                           "platform/foundation includes client/core")
        self.assertAllowed("src/platform/foundation/value.cpp", "#include <sys/types.h>")

    def test_relative_includes_resolve_from_a_relative_root(self):
        self.write("src/platform/foundation/value.cpp",
                   '#include "../../client/core/account_manager.h"\n')
        cwd = os.getcwd()
        os.chdir(self.root)
        try:
            found = check_layers.check(".")
        finally:
            os.chdir(cwd)
        self.assertEqual(len(found), 1, found)
        self.assertIn("includes client/core", found[0])

    def test_sources_never_include_tests_or_tools(self):
        self.assertRefused("src/codecs/json.cpp", '#include "../../tests/support/temp_root.h"',
                           "outside src/")

    def test_tests_follow_their_subject(self):
        self.assertAllowed("tests/codecs/json_test.cpp", '#include "support/temp_root.h"')
        self.assertRefused("tests/codecs/json_test.cpp", '#include "net/http/client.h"',
                           "codecs includes net/http")

    def test_fuzz_and_tools_stand_below_apps(self):
        self.assertAllowed("tests/fuzz/json_fuzz.cpp", '#include "helper/service.h"')
        self.assertRefused("tests/fuzz/json_fuzz.cpp", '#include "apps/client/triggers.h"',
                           "tests/fuzz includes apps/client")
        self.assertAllowed("tools/sdk-service/main.cpp", '#include "support/http_test_server.h"')
        self.assertRefused("tools/sdk-service/main.cpp", '#include "support/temp_root.h"',
                           "a tool includes the test fixture")

    def test_a_file_outside_the_order_is_named(self):
        self.assertRefused("src/extras/x.cpp", "", "not in any folder of the layer order")


if __name__ == "__main__":
    unittest.main()
