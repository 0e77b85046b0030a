"""Runs the package's tests with each TestCase class in its own process, several at a time.

Most of the tests' time is the library's fixed response waits, not CPU: classes that each use
their own port directory and simulator run side by side. Every discovered class runs exactly
once; the output of a failing class is printed in full.

Usage (from the directory that holds tests/): python tests/run_parallel.py [-j JOBS]
"""
import argparse
import os
import subprocess
import sys
import time
import unittest


def test_classes(start: str, top: str):
    """Dotted names of every TestCase class with at least one test, in discovery order."""
    names = []

    def walk(suite):
        for item in suite:
            if isinstance(item, unittest.TestSuite):
                walk(item)
            elif isinstance(item, unittest.loader._FailedTest):  # an import error: run it to report it
                names.append(item.id().rsplit(".", 1)[0] if "." in item.id() else item.id())
            else:
                cls = type(item)
                name = "%s.%s" % (cls.__module__, cls.__qualname__)
                if name not in names:
                    names.append(name)

    walk(unittest.TestLoader().discover(start, top_level_dir=top))
    return names


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("-j", "--jobs", type=int, default=6)
    parser.add_argument("-s", "--start", default="tests")
    parser.add_argument("-t", "--top", default=".")
    args = parser.parse_args()
    # Reversed: the modules that talk to devices (test_simulator, test_library) take longest and
    # start first; the quick offline classes fill the slots meanwhile.
    names = test_classes(args.start, args.top)[::-1]
    if not names:
        print("run_parallel: no tests found under %s" % args.start)
        return 1
    pending, running, failed, started = list(names), {}, [], time.monotonic()
    while pending or running:
        while pending and len(running) < args.jobs:
            name = pending.pop(0)
            process = subprocess.Popen([sys.executable, "-m", "unittest", name], cwd=args.top,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=os.environ.copy())
            running[name] = (process, time.monotonic())
        for name, (process, since) in list(running.items()):
            if process.poll() is None:
                continue
            output = process.stdout.read().decode("utf-8", "replace")
            process.stdout.close()
            del running[name]
            summary = [line for line in output.splitlines() if line.startswith("Ran ")]
            print("%s %s: %s, %.1f s" % ("ok  " if process.returncode == 0 else "FAIL", name,
                                         summary[-1][4:] if summary else "no summary",
                                         time.monotonic() - since), flush=True)
            if process.returncode != 0:
                failed.append(name)
                print(output, flush=True)
        time.sleep(0.02)
    print("run_parallel: %d classes in %.1f s, %d failed" % (len(names), time.monotonic() - started, len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
