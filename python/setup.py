"""Build step of the package: the decoding table is taken from the tools (tools/common/facts.json),
so that the command-line tool and this package read one table. The package holds no copy of its own;
the file is copied into the build only."""
import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
FACTS_SOURCES = [
    os.path.join(HERE, "tarvik", "facts.json"),  # an unpacked source distribution carries it here
    os.path.join(HERE, os.pardir, "tools", "common", "facts.json"),  # the source tree
]


class BuildWithFacts(build_py):
    def run(self):
        super().run()
        for source in FACTS_SOURCES:
            if os.path.isfile(source):
                target = os.path.join(self.build_lib, "tarvik", "facts.json")
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(source, target)
                return
        raise SystemExit("tarvik: decoding table not found; build from the source tree "
                         "(expected ../tools/common/facts.json)")


setup(cmdclass={"build_py": BuildWithFacts})
