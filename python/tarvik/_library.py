"""Finding and loading the shared libraries: the library of the 36 exports (libtarvik.so.1 /
TarvikDLL.dll) with their C prototypes, and the fast link's (libtarvik_link.so.1 / TarvikHart.dll),
whose C surface of the HART master serves any HART device. Both are found the same way: an
environment variable naming the file, next to this package, or the system's loader."""
import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["library", "library_path", "link_library", "link_library_path", "LibraryNotFoundError", "PROTOTYPES",
           "ENV_LIBRARY", "ENV_LINK_LIBRARY"]

ENV_LIBRARY = "TARVIK_LIBRARY"
ENV_LINK_LIBRARY = "TARVIK_LINK_LIBRARY"

# Argument types of every export, in header order. i: int32_t, f: float, B: uint8_t, C: const char,
# c: char; a leading * makes a pointer. Every export returns int32_t. A test compares this table
# with include/TarvikDLL.h.
PROTOTYPES = {
    "ReadFlow": "i i i i i i *i *B *B *B",
    "ReadSetPoint": "i i i i i i *i *B *i *B *B",
    "WriteSetPoint": "i i i i i i i i *B *B",
    "ReadDeviceID": "i i i *C i *B *B *B *B *B *B",
    "ReadTAG": "i i *B *B *B",
    "ReadAddStatus": "i i i i i i *B *B *B *B *B *B",
    "ReadGasData": "i i i i i i i *B *i *B *i *B *i *B *i *B *B",
    "ReadProcessGasType": "i i i i i i i *c *B *B",
    "ReadOperationalSettings": "i i i i i i *B *B *B *B *B *B",
    "SelectFlowUnit": "i i i i i i i i *B *B",
    "SelectGasNumber": "i i i i i i i *B *B",
    "ReadVORState": "i i i i i i *B *B *B",
    "WriteVORState": "i i i i i i i *B *B",
    "ReadTotalizerState": "i i i i i i *B *B *B",
    "WriteTotalizerState": "i i i i i i i *B *B",
    "ReadTotalizer": "i i i i i i *i *B *B *B",
    "ReadPressure": "i i i i i i *i *B *B *B",
    "ReadFullScaleRangePressure": "i i i i i i i *B *i *B *B",
    "SelectPressureUnit": "i i i i i i i *B *B",
    "SelectPressureApplication": "i i i i i i i *B *B",
    "ReadOperationalSettingsPressure": "i i i i i i *B *B *B *B *B *B",
    "WriteProtectS": "i i *C i i i i i i *B *B",
    "BackupDatabaseS": "i i i i i i *B *B",
    "TestComs_0731": "i",
    "ReadSetPointSource_0731": "i i *B",
    "WriteSerialSetPointSource_0731": "i i",
    "WriteManualSetPointSource_0731": "i i",
    "WriteVORState_0731": "i i i",
    "ReadMeasureUnit_0731": "i i *i",
    "ReadTimeUnit_0731": "i i *i",
    "ReadFullScale_0731": "i i *f",
    "ReadDecimalPlace_0731": "i i *i",
    "WriteDecimalPlace_0731": "i i i",
    "ReadProcessVariable_0731": "i i *f",
    "ReadSetPoint_0731": "i i *f",
    "WriteSetPoint_0731": "i i i f",
}

_CTYPES = {
    "i": ctypes.c_int32,
    "f": ctypes.c_float,
    "*i": ctypes.POINTER(ctypes.c_int32),
    "*f": ctypes.POINTER(ctypes.c_float),
    "*B": ctypes.POINTER(ctypes.c_uint8),
    "*C": ctypes.c_char_p,
    "*c": ctypes.POINTER(ctypes.c_char),
}


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded from any of the places tried."""


def _package_dir() -> str:
    return os.path.dirname(os.path.abspath(__file__))


class _Kind:
    """One library: where to look for it and what it must export."""

    def __init__(self, variable: str, windows: List[str], posix: List[str], system: str, what: str):
        self.variable, self.windows, self.posix, self.system, self.what = variable, windows, posix, system, what
        self.handle: Optional[ctypes.CDLL] = None
        self.path: Optional[str] = None
        self.prototypes: Dict[str, Tuple[Any, List[Any]]] = {}

    def candidates(self) -> List[str]:
        """Places to load from, in order. The environment variable, when set, is the only one."""
        env = os.environ.get(self.variable)
        if env:
            return [env]
        here = _package_dir()
        if sys.platform == "win32":
            return [os.path.join(here, n) for n in self.windows] + self.windows
        found = [os.path.join(here, n) for n in self.posix]
        found.append(self.posix[0])  # the dynamic loader's search: an installed package
        system = ctypes.util.find_library(self.system)
        if system:
            found.append(system)
        return found


_lock = threading.Lock()
_MAIN = _Kind(ENV_LIBRARY, ["TarvikDLL.dll"], ["libtarvik.so.1", "libtarvik.so"], "tarvik", "the Tarvik library")
_MAIN.prototypes = {name: (ctypes.c_int32, [_CTYPES[t] for t in spec.split()]) for name, spec in PROTOTYPES.items()}
_LINK = _Kind(ENV_LINK_LIBRARY, ["TarvikHart.dll"], ["libtarvik_link.so.1", "libtarvik_link.so"], "tarvik_link",
              "the Tarvik link library")


def _load(kind: _Kind = _MAIN) -> ctypes.CDLL:
    errors = []
    for candidate in kind.candidates():
        # A bare name goes to the loader's search; a path must exist.
        if os.sep in candidate and not os.path.exists(candidate):
            errors.append("%s: no such file" % candidate)
            continue
        try:
            lib = ctypes.CDLL(candidate)  # cdecl on 32-bit Windows, the C convention elsewhere
        except OSError as e:
            errors.append("%s: %s" % (candidate, e))
            continue
        missing = [name for name in kind.prototypes if not hasattr(lib, name)]
        if missing:
            errors.append("%s: lacks the exports %s" % (candidate, ", ".join(missing)))
            continue
        for name, (restype, argtypes) in kind.prototypes.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        kind.path = candidate
        return lib
    raise LibraryNotFoundError(
        "tarvik: cannot load %s (set %s to its path). Tried:\n  %s"
        % (kind.what, kind.variable, "\n  ".join(errors)))


def _get(kind: _Kind) -> ctypes.CDLL:
    with _lock:
        if kind.handle is None:
            kind.handle = _load(kind)
        return kind.handle


def library() -> ctypes.CDLL:
    """The loaded library, with every export's prototype set. Loaded on first use."""
    return _get(_MAIN)


def library_path() -> str:
    """Where the library was loaded from (loads it if needed)."""
    library()
    assert _MAIN.path is not None
    return _MAIN.path


def link_library() -> ctypes.CDLL:
    """The loaded link library, with the prototypes of its C surface (set by `tarvik.transmitter`,
    which declares them). Loaded on first use."""
    return _get(_LINK)


def link_library_path() -> str:
    link_library()
    assert _LINK.path is not None
    return _LINK.path


def set_link_prototypes(prototypes: Dict[str, Tuple[Any, List[Any]]]) -> None:
    """The C surface the link library must export, and its prototypes (before it is loaded)."""
    _LINK.prototypes = prototypes
