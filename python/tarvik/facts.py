"""Decoding of unit codes, status bytes, result codes and device state codes.

The table is the one the command-line tool embeds (tools/common/facts.json in the source tree; a
copy is put into the package when it is built, and an installation keeps one in share/tarvik/).
The texts match the tool's: "liters per minute", "reserved unit 160", "no conditions".
"""
import json
import os
import re
from typing import Dict, List, NamedTuple, Optional

__all__ = [
    "Facts", "UnitInfo", "ResultInfo", "facts", "unit_name", "unit_symbol", "unit_code",
    "status1_meanings", "status2_meanings",
]

_ENV_FACTS = "TARVIK_FACTS"


class UnitInfo(NamedTuple):
    code: int
    name: str    # empty for code 0
    symbol: str  # short form ("l/min"); may be empty


class ResultInfo(NamedTuple):
    code: int
    name: str    # "ResultNoReply"
    reason: str  # one line: what happened
    hint: str    # one line: what to try; may be empty


def _candidate_paths() -> List[str]:
    here = os.path.dirname(os.path.abspath(__file__))
    paths = []
    env = os.environ.get(_ENV_FACTS)
    if env:
        paths.append(env)
    paths.append(os.path.join(here, "facts.json"))  # built package
    paths.append(os.path.join(here, os.pardir, os.pardir, "tools", "common", "facts.json"))  # source tree
    for prefix in ("/usr/local", "/usr"):  # an installed library package
        paths.append(os.path.join(prefix, "share", "tarvik", "facts.json"))
    return paths


_DECIMAL = re.compile(r"-?[0-9]+")
_HEX = re.compile(r"-?[0-9a-fA-F]+")


def _byte(name: str, value: int) -> int:
    """A unit code or status byte: an int 0..255 (not bool)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int 0..255, not %s" % (name, type(value).__name__))
    if not 0 <= value <= 0xFF:
        raise ValueError("%s %d is not a byte 0..255" % (name, value))
    return value


def _whole_number(text: str) -> Optional[int]:
    """A decimal number, or hexadecimal after 0x, as the tool accepts it."""
    if len(text) > 2 and text[0] == "0" and text[1] in "xX":
        return int(text[2:], 16) if _HEX.fullmatch(text[2:]) else None
    return int(text) if _DECIMAL.fullmatch(text) else None


class Facts:
    """One decoding table. `Facts.load()` finds the table; `Facts(data)` takes parsed JSON."""

    def __init__(self, data: dict, path: str = ""):
        try:
            self.path = path
            self._units: Dict[int, UnitInfo] = {}
            for u in data["units"]:
                self._units[int(u["code"])] = UnitInfo(int(u["code"]), u["name"], u.get("symbol", ""))
            self.unit_ranges = [(int(r["first"]), int(r["last"]), r["meaning"]) for r in data["unit_ranges"]]
            self._status2 = [(int(b["mask"]), b["meaning"]) for b in data["status2_bits"]]
            self._comm_flag = int(data["status1_comm_flag"])
            self._comm_bits = [(int(b["mask"]), b["meaning"]) for b in data["status1_comm_bits"]]
            self._responses = {int(r["code"]): r["meaning"] for r in data["response_codes"]}
            self.results: List[ResultInfo] = [
                ResultInfo(int(r["code"]), r["name"], r["reason"], r["hint"]) for r in data["results"]
            ]
            self._device_codes: Dict[str, Dict[int, str]] = {
                key: {int(c["code"]): c["name"] for c in value}
                for key, value in data["device_codes"].items() if isinstance(value, list)
            }
            # What each writable argument may be: read by tarvik.arguments.
            self.arguments: dict = data["arguments"]
            if not {"number", "text", "list"} <= set(self.arguments):
                raise KeyError("arguments")
        except (KeyError, TypeError, ValueError) as e:
            raise ValueError("bad decoding table %s: %r" % (path or "(given)", e)) from None

    @classmethod
    def load(cls) -> "Facts":
        tried = []
        for path in _candidate_paths():
            path = os.path.normpath(path)
            if os.path.isfile(path):
                with open(path, encoding="utf-8") as f:
                    return cls(json.load(f), path)
            tried.append(path)
        raise FileNotFoundError("tarvik: decoding table facts.json not found; tried: " + ", ".join(tried))

    # ---- units -------------------------------------------------------------------------------------
    def unit(self, code: int) -> Optional[UnitInfo]:
        return self._units.get(code)

    def unit_name(self, code: int) -> str:
        u = self._units.get(_byte("unit code", code))
        if u is not None:
            return u.name or "no unit"
        for first, last, meaning in self.unit_ranges:
            if first <= code <= last:
                return "%s unit %d" % (meaning, code)
        return "reserved unit %d" % code

    def unit_symbol(self, code: int) -> str:
        u = self._units.get(_byte("unit code", code))
        if u is not None:
            if u.symbol:
                return u.symbol
            if u.name:
                return u.name
        return "unit %d" % code

    def unit_code(self, text: str) -> Optional[int]:
        """Unit code by symbol or name, case-insensitive ("l/min", "liters per minute"), or a number."""
        if not isinstance(text, str):
            raise TypeError("a unit must be given as text (\"l/min\", \"17\"), not %s" % type(text).__name__)
        n = _whole_number(text.strip())
        if n is not None:
            return n
        return self.unit_code_by_name(text)

    def unit_code_by_name(self, text: str) -> Optional[int]:
        """Unit code by symbol or name only, case-insensitive; None when no unit has it."""
        want = text.strip().lower()
        for u in self._units.values():
            if (u.symbol and u.symbol.lower() == want) or (u.name and u.name.lower() == want):
                return u.code
        return None

    # ---- status bytes ------------------------------------------------------------------------------
    def status2_meanings(self, byte: int) -> List[str]:
        """Field-device status: one text per set bit that the table names."""
        byte = _byte("status2", byte)
        return [meaning for mask, meaning in self._status2 if byte & mask]

    def status1_meanings(self, byte: int) -> List[str]:
        """Response code, or the communication error summary when its flag bit is set."""
        byte = _byte("status1", byte)
        if byte & self._comm_flag:
            return ["communication error"] + [m for mask, m in self._comm_bits if byte & mask]
        if byte == 0:
            return []
        meaning = self._responses.get(byte)
        if meaning is not None:
            return ["%s (%d)" % (meaning, byte)]
        return ["command-specific response code %d" % byte]

    # ---- results and device codes ------------------------------------------------------------------
    def result(self, code: int) -> Optional[ResultInfo]:
        for r in self.results:
            if r.code == code:
                return r
        return None

    def codes(self, table: str) -> Dict[int, str]:
        """State codes: "vor_states", "totalizer_states", "setpoint_sources", "protect_modes"."""
        return dict(self._device_codes.get(table, {}))

    def code_name(self, table: str, code: int) -> str:
        return self._device_codes.get(table, {}).get(code, "code %d" % code)


_facts: Optional[Facts] = None


def facts() -> Facts:
    """The table, loaded once."""
    global _facts
    if _facts is None:
        _facts = Facts.load()
    return _facts


def unit_name(code: int) -> str:
    return facts().unit_name(code)


def unit_symbol(code: int) -> str:
    return facts().unit_symbol(code)


def unit_code(text: str) -> Optional[int]:
    return facts().unit_code(text)


def status1_meanings(byte: int) -> List[str]:
    return facts().status1_meanings(byte)


def status2_meanings(byte: int) -> List[str]:
    return facts().status2_meanings(byte)
