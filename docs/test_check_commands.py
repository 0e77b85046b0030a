"""The docs test's own rules, on small documents in a scratch source tree with a stand-in simulator:
markers are checked, a failure names its file and line, sessions carry state, long runs are
bounded, background servers are stopped, and written files never reach the source tree."""
import contextlib
import io
import os
import shutil
import sys
import tempfile
import textwrap
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_commands as cc  # noqa: E402

# Links COM3 into its port directory, records its pid, and removes the link on SIGINT, as the
# simulator does.
FAKE_SIM = """#!/usr/bin/env bash
dir=${TARVIK_PORT_DIR:-$XDG_RUNTIME_DIR/tarvik-ports}
while [ $# -gt 0 ]; do case $1 in --dir|-d) dir=$2; shift;; esac; shift; done
mkdir -p "$dir"
echo $$ >> "$(dirname "$0")/sim.pids"
trap 'rm -f "$dir/COM3"; exit 0' INT TERM
sleep 0.3
ln -s /dev/null "$dir/COM3"
while :; do sleep 0.1; done
"""


class Tree:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="docs-selftest-")
        self.source = os.path.join(self.root, "src")
        self.build = os.path.join(self.root, "build")
        os.makedirs(os.path.join(self.source, "docs"))
        os.makedirs(os.path.join(self.build, "bin"))
        with open(os.path.join(self.source, "CMakeLists.txt"), "w") as f:
            f.write("# the project's own\n")
        sim = os.path.join(self.build, "bin", "tarvik-sim")
        with open(sim, "w") as f:
            f.write(FAKE_SIM)
        os.chmod(sim, 0o755)

    def doc(self, name: str, text: str) -> str:
        path = os.path.join(self.source, name)
        with open(path, "w") as f:
            f.write(textwrap.dedent(text))
        return path

    def run(self, path: str):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            ok = cc.run_file(path, os.path.relpath(path, self.source), self.source, self.build, None)
        return ok, out.getvalue()

    def sim_pids(self):
        try:
            with open(os.path.join(self.build, "bin", "sim.pids")) as f:
                return [int(x) for x in f.read().split()]
        except OSError:
            return []

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Parsing(unittest.TestCase):
    def setUp(self):
        self.tree = Tree()

    def tearDown(self):
        self.tree.close()

    def test_markers_and_files(self):
        path = self.tree.doc("docs/a.md", """\
            Intro.

            <!-- docs-test: skip: needs root; and a reason with a semicolon -->
            ```sh
            sudo true
            ```

            <!-- docs-test: background; timeout 30 -->
            ```sh
            tarvik-sim
            ```
            - In a list:

              ```sh
              echo indented
              ```

            Save this as `hello.c`:

            ```c
            int main(void) { return 0; }
            ```
            ```python
            print("not run, not a file")
            ```
            """)
        blocks = cc.blocks_of(path, "docs/a.md")
        self.assertEqual([(b.index, b.skip, b.background, b.timeout, b.file_name) for b in blocks], [
            (1, "needs root; and a reason with a semicolon", False, cc.DEFAULT_TIMEOUT, None),
            (2, None, True, 30.0, None),
            (3, None, False, cc.DEFAULT_TIMEOUT, None),
            (0, None, False, 0, "hello.c"),
        ])
        self.assertEqual(blocks[2].text, "echo indented\n")
        self.assertEqual(blocks[0].line, 4)

    def test_bad_markers_are_errors(self):
        cases = [
            ("<!-- docs-test: skipp: typo -->\n```sh\ntrue\n```\n", "unknown"),
            ("<!-- docs-test: skip -->\n```sh\ntrue\n```\n", "needs a reason"),
            ("<!-- docs-test: timeout soon -->\n```sh\ntrue\n```\n", "unknown"),
            ("<!-- docs-test: skip: x -->\n```python\npass\n```\n", "shell blocks only"),
            ("<!-- docs-test: stdin: python3 - -->\n```sh\ntrue\n```\n", "other languages"),
            ("<!-- docs-test: stdin: -->\n```python\npass\n```\n", "needs a command"),
        ]
        for text, words in cases:
            with self.subTest(text=text):
                path = self.tree.doc("docs/bad.md", text)
                with self.assertRaises(cc.MarkerError) as ctx:
                    cc.blocks_of(path, "docs/bad.md")
                self.assertIn(words, str(ctx.exception))
                self.assertIn("docs/bad.md:2", str(ctx.exception))


class Running(unittest.TestCase):
    def setUp(self):
        self.tree = Tree()

    def tearDown(self):
        for pid in self.tree.sim_pids():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, 9)
        self.tree.close()

    def test_failure_names_file_line_and_output_and_ends_the_session(self):
        path = self.tree.doc("docs/fail.md", """\
            ```sh
            export GREETING=hello
            mkdir -p sub && cd sub
            ```

            ```sh
            test "$GREETING" = hello && test "$(basename "$PWD")" = sub
            echo "about to fail"
            false
            echo "not reached"
            ```

            ```sh
            touch "$HOME/third-block-ran"
            ```
            """)
        ok, out = self.tree.run(path)
        self.assertFalse(ok)
        self.assertIn("ok   docs/fail.md:1 (block 1)", out)
        self.assertIn("FAIL docs/fail.md:6 (block 2): exit 1", out)
        self.assertIn("about to fail", out)
        self.assertNotIn("not reached\n    |", out.split("output:")[1])
        self.assertNotIn("block 3", out)

    def test_ctrl_c_commands_get_a_bounded_run(self):
        path = self.tree.doc("docs/watch.md", """\
            ```sh
            sleep 600   # runs until Ctrl-C stops it
            echo after
            ```
            """)
        started = time.monotonic()
        ok, out = self.tree.run(path)
        self.assertTrue(ok, out)
        self.assertLess(time.monotonic() - started, 60)
        path = self.tree.doc("docs/watch-fails.md", "```sh\nfalse   # Ctrl-C stops\n```\n")
        ok, out = self.tree.run(path)
        self.assertFalse(ok, "an early failure is no bounded run")

    def test_simulators_are_waited_for_and_stopped(self):
        path = self.tree.doc("docs/sim.md", """\
            <!-- docs-test: background -->
            ```sh
            tarvik-sim --dir /tmp/ports
            ```

            ```sh
            test -L /tmp/ports/COM3          # the private directory, and the link is there at once
            build/bin/tarvik-sim --dir /tmp/ports2 &
            test -L /tmp/ports2/COM3
            ```
            """)
        ok, out = self.tree.run(path)
        self.assertTrue(ok, out)
        self.assertFalse(os.path.exists("/tmp/ports2/COM3"))
        pids = self.tree.sim_pids()
        self.assertEqual(len(pids), 2)
        for pid in pids:  # stopped with the session (and reaped by init soon after)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and os.path.exists("/proc/%d" % pid):
                time.sleep(0.05)
            self.assertFalse(os.path.exists("/proc/%d" % pid), "process %d still there" % pid)

    def test_blocks_of_other_languages_through_stdin(self):
        path = self.tree.doc("docs/py.md", """\
            <!-- docs-test: stdin: python3 - -->
            ```python
            import os
            print("$HOME is not expanded")
            open(os.path.expanduser("~/ran"), "w").close()
            ```

            ```sh
            test -f ~/ran
            ```

            <!-- docs-test: stdin: python3 - -->
            ```python
            raise SystemExit("the example broke")
            ```
            """)
        ok, out = self.tree.run(path)
        self.assertFalse(ok)
        self.assertIn("ok   docs/py.md:2 (block 1)", out)
        self.assertIn("ok   docs/py.md:8 (block 2)", out)
        self.assertIn("FAIL docs/py.md:13 (block 3)", out)
        self.assertIn("the example broke", out)

    def test_file_blocks_stay_in_the_scratch_area(self):
        path = self.tree.doc("docs/files.md", """\
            `CMakeLists.txt`:

            ```cmake
            project(host C)
            ```

            And `~/host/main.c`:

            ```c
            int main(void) { return 0; }
            ```

            ```sh
            grep -q 'project(host C)' CMakeLists.txt && test -f ~/host/main.c
            ```

            `../../escape.txt`:

            ```text
            no
            ```
            """)
        ok, out = self.tree.run(path)
        self.assertFalse(ok)
        self.assertIn("ok   docs/files.md:13 (block 1)", out)
        self.assertIn("outside the session's scratch directory", out)
        with open(os.path.join(self.tree.source, "CMakeLists.txt")) as f:
            self.assertEqual(f.read(), "# the project's own\n")


if __name__ == "__main__":
    unittest.main()
