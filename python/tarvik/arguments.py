"""What every writable argument may be, from the shared argument table (the "arguments" part of the
decoding table the command-line tool embeds and the gateway checks against too).

A value outside its entry raises before the library is called, so nothing reaches the device:
TypeError for a value of the wrong type, ValueError (OutOfRangeError for numbers beyond a 32-bit
float) for one outside the range. The messages name the argument and what it may be, as the
command-line tool's do.
"""
import math
from typing import NamedTuple, Optional, Union

from .facts import facts
from .results import OutOfRangeError, check_float

__all__ = ["ArgumentSpec", "argument", "allowed", "check_integer", "check_number", "packed_text", "unit_set_point"]

_BYTE_VALUES = 256


class ArgumentSpec(NamedTuple):
    name: str
    kind: str    # "range", "codes", "unit", "number" or "text"
    first: int   # range
    last: int
    codes: str   # codes: the device-code table
    length: int  # text
    help: str    # "gas entry"
    min: Optional[float] = None  # number: the values it takes, when bounded
    max: Optional[float] = None


def argument(name: str) -> ArgumentSpec:
    """The table's entry for `name`; KeyError for a name it does not have."""
    for e in facts().arguments["list"]:
        if e["name"] == name:
            return ArgumentSpec(e["name"], e["kind"], int(e.get("first", 0)), int(e.get("last", 0)),
                                e.get("codes", ""), int(e.get("length", 0)), e["help"], e.get("min"), e.get("max"))
    raise KeyError("no argument %r in the argument table" % name)


def _unit_known(code: int) -> bool:
    return facts().unit(code) is not None or any(first <= code <= last for first, last, _ in facts().unit_ranges)


def _runs(values) -> str:
    out, v = [], 0
    while v < _BYTE_VALUES:
        if v not in values:
            v += 1
            continue
        end = v
        while end + 1 in values:
            end += 1
        out.append(str(v) if end == v else "%d..%d" % (v, end))
        v = end + 1
    return ", ".join(out)


def allowed(name: str) -> str:
    """What `name` may be, for messages: "1..10", "normal (0), closed (1), open (2)"."""
    s = argument(name)
    table = facts().arguments
    if s.kind == "range":
        return "%d..%d" % (s.first, s.last)
    if s.kind == "codes":
        return ", ".join("%s (%d)" % (n, c) for c, n in facts().codes(s.codes).items())
    if s.kind == "unit":
        return _runs({c for c in range(_BYTE_VALUES) if _unit_known(c)}) + " (the others are reserved)"
    if s.kind == "number":
        if s.min is not None and s.max is not None:
            return "%g..%g" % (s.min, s.max)
        n = table["number"]
        return "a decimal number of at most %g in magnitude, 0 or at least %g" % (n["max"], n["min_nonzero"])
    t = table["text"]
    return "at most %d characters from '%s' to '%s' (no lower case)" % (s.length, chr(t["first"]), chr(t["last"]))


def _out_of_range(s: ArgumentSpec, value) -> ValueError:
    return ValueError("%s %s is out of range: the %s is %s%s"
                      % (s.name, value, s.help, "one of " if s.kind == "codes" else "", allowed(s.name)))


def check_integer(name: str, value: Union[int, str]) -> int:
    """A whole-number argument: an int in range; for codes also a code's name ("closed"), for units
    a unit's symbol or name ("l/min")."""
    s = argument(name)
    if isinstance(value, str) and s.kind in ("codes", "unit"):
        want = value.strip().lower()
        if s.kind == "codes":
            for code, code_name in facts().codes(s.codes).items():
                if code_name.lower() == want:
                    return code
        else:
            code = facts().unit_code_by_name(want)
            if code is not None:
                return check_integer(name, code)
        raise ValueError("%s %r is not %s: the %s is %s%s"
                         % (s.name, value, "a name" if s.kind == "codes" else "a unit symbol or name", s.help,
                            "one of " if s.kind == "codes" else "", allowed(name)))
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int%s, not %s"
                        % (s.name, " or a name" if s.kind in ("codes", "unit") else "", type(value).__name__))
    if s.kind == "range":
        ok = s.first <= value <= s.last
    elif s.kind == "codes":
        ok = value in facts().codes(s.codes)
    else:
        ok = 0 <= value < _BYTE_VALUES and _unit_known(value)
    if not ok:
        raise _out_of_range(s, value)
    return value


def check_number(name: str, value: float) -> float:
    """A number argument sent as a 32-bit float: finite, within its range, and zero or not below the
    smallest normal float (nothing silently becomes 0 on the way)."""
    s = argument(name)
    number = check_float(s.name, value)  # TypeError; OutOfRangeError beyond the float's range
    limits = facts().arguments["number"]
    if not math.isfinite(number):
        raise ValueError("%s %r is not a finite number" % (s.name, number))
    if abs(number) > limits["max"]:
        raise _out_of_range_float(s.name, number, limits["max"])
    if number != 0 and abs(number) < limits["min_nonzero"]:
        raise ValueError("%s %g would not reach the device as given: nonzero values are at least %g in magnitude "
                         "(a 32-bit float)" % (s.name, number, limits["min_nonzero"]))
    if (s.min is not None and number < s.min) or (s.max is not None and number > s.max):
        raise ValueError("%s %g is out of range: the %s is %s" % (s.name, number, s.help, allowed(name)))
    return number


def _out_of_range_float(name: str, number: float, limit: float) -> ValueError:
    return OutOfRangeError("%s %g is beyond the single-precision range: at most %g in magnitude"
                           % (name, number, limit))


def packed_text(name: str, value: Union[str, bytes]) -> bytes:
    """A text argument for the library: every character in the packed alphabet (no lower case, no
    letters beyond ASCII: refused, not converted), at most the argument's length, padded at its end
    to that length with the table's pad character."""
    s = argument(name)
    t = facts().arguments["text"]
    if isinstance(value, (bytes, bytearray)):
        text = bytes(value).decode("latin-1")
    elif isinstance(value, str):
        text = value
    else:
        raise TypeError("%s must be str or bytes, not %s" % (s.name, type(value).__name__))
    for position, ch in enumerate(text, 1):
        if not t["first"] <= ord(ch) <= t["last"]:
            shown = ch if ch.isprintable() else "\\x%02X" % ord(ch)
            advice = " (lower case is not upper-cased for you: write %r)" % ch.upper() \
                if ch.islower() and ch.isascii() else ""
            raise ValueError("%s %r: character %d %r is not in the packed alphabet: the %s takes %s%s"
                             % (s.name, text, position, shown, s.help, allowed(name), advice))
    if len(text) > s.length:
        raise ValueError("%s %r has %d characters: the %s takes %s" % (s.name, text, len(text), s.help, allowed(name)))
    return text.ljust(s.length, t["pad"]).encode("ascii")


def unit_set_point(value: float, digits: int) -> float:
    """A 0731 set point sent with `digits` decimals: a nonzero value that would be sent as 0 raises."""
    if value != 0 and abs(value) < 0.5 * 10.0 ** -digits:
        raise ValueError("setpoint %g would be sent as 0 with %d decimals: give more digits (0..3) or a larger "
                         "value" % (value, digits))
    return value

