"""Build step of the package: the decoding table is taken from the tools (tools/common/facts.json),
so that the command-line tool and this package read one table. The package holds no copy of its own;
the file is copied into the build only.

The project's build makes a wheel that also carries the library (python/CMakeLists.txt puts
libtarvik.so.1 into a staged copy of the package): such a wheel is tagged for the platform, since
it holds machine code, but for any Python 3 (the library is loaded through ctypes)."""
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


LIBRARY_FILES = ("libtarvik.so.1", "TarvikDLL.dll", "libtarvik_link.so.1", "TarvikHart.dll")


def carries_library() -> bool:
    return any(os.path.isfile(os.path.join(HERE, "tarvik", name)) for name in LIBRARY_FILES)


commands = {"build_py": BuildWithFacts}
if carries_library():
    try:
        from setuptools.command.bdist_wheel import bdist_wheel  # setuptools 70.1 and later
    except ImportError:
        from wheel.bdist_wheel import bdist_wheel  # Debian: python3-wheel

    class PlatformWheel(bdist_wheel):
        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands)
