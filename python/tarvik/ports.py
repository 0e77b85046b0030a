"""The serial ports the library can open, listed by the library's own rules."""
import os
import re
import sys
from typing import List, NamedTuple, Optional

__all__ = ["PortInfo", "ports", "PORT_DIR_VARIABLE", "MAX_PORT"]

PORT_DIR_VARIABLE = "TARVIK_PORT_DIR"
MAX_PORT = 40  # the exports take COM1..COM40
_COM_NAME = re.compile(r"COM([0-9]{1,9})")
_SYS_TTY = "/sys/class/tty"


class PortInfo(NamedTuple):
    """One port: its number (the exports' `Port`), "COM<n>", the path the library opens and, for a
    link, where it leads (None when it is no link or leads nowhere)."""
    number: int
    name: str
    path: str
    target: Optional[str]


def _port_dir_entries(directory: str) -> List[PortInfo]:
    found = []
    try:
        names = os.listdir(directory)
    except OSError:
        return found  # as the library: an unreadable or missing directory lists nothing
    for name in names:
        m = _COM_NAME.fullmatch(name)
        if not m or not 1 <= int(m.group(1)) <= MAX_PORT:
            continue
        path = os.path.join(directory, name)
        target = os.path.realpath(path) if os.path.islink(path) and os.path.exists(path) else None
        found.append(PortInfo(int(m.group(1)), name, path, target))
    return found


def _system_serial_ports() -> List[PortInfo]:
    """/dev/ttyS<n-1> whose driver reports a real port type (0 means no hardware behind it)."""
    found = []
    for n in range(MAX_PORT):
        try:
            with open(os.path.join(_SYS_TTY, "ttyS%d" % n, "type"), encoding="ascii") as f:
                kind = int(f.read().strip() or "0")
        except (OSError, ValueError):
            continue
        if kind != 0:
            found.append(PortInfo(n + 1, "COM%d" % (n + 1), "/dev/ttyS%d" % n, None))
    return found


def _windows_ports() -> List[PortInfo]:
    import winreg  # pylint: disable=import-outside-toplevel
    found = []
    try:
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM")
    except OSError:
        return found
    with key:
        i = 0
        while True:
            try:
                _, value, _ = winreg.EnumValue(key, i)
            except OSError:
                break
            i += 1
            m = _COM_NAME.fullmatch(str(value).upper())
            if m and 1 <= int(m.group(1)) <= MAX_PORT:
                found.append(PortInfo(int(m.group(1)), "COM" + m.group(1), "\\\\.\\COM" + m.group(1), None))
    return found


def ports() -> List[PortInfo]:
    """The ports the exports can use (COM1..COM40), sorted by number.

    On Linux: the entries COM<n> of $TARVIK_PORT_DIR when it is set (usually links to terminals),
    else COM<n> for each /dev/ttyS<n-1> with hardware behind it. On Windows: the system's COM ports.
    A listed port may still be held by another program; an unlisted one gives ResultPortAbsent.
    """
    if sys.platform == "win32":
        found = _windows_ports()
    else:
        directory = os.environ.get(PORT_DIR_VARIABLE)
        found = _port_dir_entries(directory) if directory else _system_serial_ports()
    return sorted(found)
