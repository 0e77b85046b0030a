"""Finding and loading the shared library, and the C prototypes of its 36 exports."""
import ctypes
import ctypes.util
import os
import sys
import threading
from typing import List, Optional

__all__ = ["library", "library_path", "LibraryNotFoundError", "PROTOTYPES", "ENV_LIBRARY"]

ENV_LIBRARY = "TARVIK_LIBRARY"

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


def _candidates() -> List[str]:
    """Places to load from, in order. TARVIK_LIBRARY, when set, is the only one."""
    env = os.environ.get(ENV_LIBRARY)
    if env:
        return [env]
    here = _package_dir()
    if sys.platform == "win32":
        names = ["TarvikDLL.dll"]
        return [os.path.join(here, n) for n in names] + names
    names = ["libtarvik.so.1", "libtarvik.so"]
    found = [os.path.join(here, n) for n in names]
    found.append("libtarvik.so.1")  # the dynamic loader's search: an installed package
    system = ctypes.util.find_library("tarvik")
    if system:
        found.append(system)
    return found


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _candidates():
        # A bare name goes to the loader's search; a path must exist.
        if os.sep in candidate and not os.path.exists(candidate):
            errors.append("%s: no such file" % candidate)
            continue
        try:
            lib = ctypes.CDLL(candidate)  # cdecl on 32-bit Windows, the C convention elsewhere
        except OSError as e:
            errors.append("%s: %s" % (candidate, e))
            continue
        missing = [name for name in PROTOTYPES if not hasattr(lib, name)]
        if missing:
            errors.append("%s: lacks the exports %s" % (candidate, ", ".join(missing)))
            continue
        for name, spec in PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.restype = ctypes.c_int32
            fn.argtypes = [_CTYPES[t] for t in spec.split()]
        global _path
        _path = candidate
        return lib
    raise LibraryNotFoundError(
        "tarvik: cannot load the Tarvik library (set %s to its path). Tried:\n  %s"
        % (ENV_LIBRARY, "\n  ".join(errors)))


def library() -> ctypes.CDLL:
    """The loaded library, with every export's prototype set. Loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = _load()
        return _library


def library_path() -> str:
    """Where the library was loaded from (loads it if needed)."""
    library()
    assert _path is not None
    return _path
