#!/usr/bin/env python3
"""The docs' command check finds stale commands: each one below, shown in a page of its own,
must be reported with its reason, and the true ones beside it must not."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "../.."))
sys.path.insert(0, HERE)
import docs_commands  # noqa: E402

STALE = [  # (how the page shows it, what the report must say)
    ("`scripts/test.sh --no-linux`", "does not list --no-linux"),
    ("`scripts/bench-install.sh [--bigger] [package]`", "does not list --bigger"),
    ("`scripts/gone.sh`", "scripts/gone.sh is not an executable file"),
    ("`scripts/lib/usage.sh`", "is not an executable file"),
    ("`cmake --preset win128`", "no configure preset win128"),
    ("`cmake --preset dev && cmake --build --preset fuzzy -j2`", "no build preset fuzzy"),
    ("`ctest --preset fuzz`", "no test preset fuzz"),
    ("`cmake --build --preset release --target qz4_bench_everything`", "no target qz4_bench_everything"),
    ("`cmake --preset release -DQZ4_UPDATE_PUBLIC_KEY=<key> -DQZ4_SIGNED=ON`", "no cache variable QZ4_SIGNED"),
    ("`cmake --preset win32 && cmake --build --preset win32`", "configuring win32 needs -DQZ4_UPDATE_PUBLIC_KEY"),
    ("`build/nightly/app/qz4launcher`", "no configure preset nightly"),
    ("`build/release/bench/qz4_bench_teleport <tree>`", "no target qz4_bench_teleport"),
    ("```sh\npython3 tests/support/http_test_server.py start --state-dir x --port 1\n```", "does not list --port"),
    ("`python3 tests/support/nowhere.py`", "does not exist"),
    ("`qz4launcher -selfrepair`", "the command line reads no -selfrepair"),
]
TRUE = [
    "`scripts/test.sh --no-windows`",
    "`scripts/fuzz.sh --time 60 --merge update_run`",
    "`cmake --preset win64 -DQZ4_UPDATE_PUBLIC_KEY=<key> && cmake --build --preset win64 -j2`",
    "`build/fuzz/fuzz/fuzz_update_run <input>` and the folder `build/dev/tests/http_server/`",
    "`qz4launcher -connections=8 -maxrate=512`",
    "`python3 tests/e2e/nginx_fixture.py start --state-dir build/dev/x --port 8080`",
]


def check_page(text, root=ROOT, folder=None, name="page.md"):
    """The check's report on a page of `text` in `folder` (a temporary one by default)."""
    with tempfile.TemporaryDirectory() as scratch:
        page = os.path.join(folder or scratch, name)
        with open(page, "w") as file:
            file.write(text)
        return docs_commands.stale_commands(root, [page])


class StaleCommands(unittest.TestCase):
    def test_each_stale_command_is_reported_with_its_reason(self):
        for shown, reason in STALE:
            with self.subTest(shown):
                report = check_page(shown + "\n")
                self.assertEqual(len(report), 1, report)
                self.assertIn(reason, report[0])

    def test_true_commands_pass(self):
        self.assertEqual(check_page("\n".join(TRUE) + "\n"), [])

    def test_the_command_line_lists_the_stale_commands_and_fails(self):
        with tempfile.TemporaryDirectory() as folder:
            page = os.path.join(folder, "page.md")
            with open(page, "w") as file:
                file.write("`scripts/test.sh --no-linux`\n\n`cmake --preset win128`\n")
            run = subprocess.run([sys.executable, os.path.join(HERE, "docs_commands.py"), page],
                                 capture_output=True, text=True)
        self.assertEqual(run.returncode, 1)
        self.assertIn("page.md:1: `scripts/test.sh --no-linux`", run.stdout)
        self.assertIn("page.md:3: `cmake --preset win128`", run.stdout)


class WhatCiRuns(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.root)
        for path in ("CMakePresets.json", ".ci/run", "scripts/test.sh"):
            os.makedirs(os.path.dirname(os.path.join(self.root, path)), exist_ok=True)
            shutil.copy(os.path.join(ROOT, path), os.path.join(self.root, path))

    def test_a_caller_that_no_longer_runs_a_command_is_reported(self):
        self.assertEqual(check_page("`scripts/test.sh`\n", self.root, self.root, "README.md"), [])
        with open(os.path.join(self.root, ".ci/run"), "w") as file:
            file.write("#!/bin/sh\n# scripts/demo.sh\nscripts/test.sh --no-windows\n")
        self.assertEqual(check_page("`scripts/test.sh`\n", self.root, self.root, "README.md"),
                         [".ci/run does not run scripts/test.sh", ".ci/run does not run scripts/demo.sh"])

    def test_readme_must_name_the_test_command(self):
        self.assertEqual(check_page("Run `scripts/tests.sh`.\n", self.root, self.root, "README.md")[0],
                         "README.md: does not name the test command scripts/test.sh")


if __name__ == "__main__":
    unittest.main()
