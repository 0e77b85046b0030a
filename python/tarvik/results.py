"""Result codes, the one exception class, status bytes and raw float patterns."""
import enum
import math
import re
import struct
from typing import List, NamedTuple, Optional

from .facts import facts

__all__ = ["Result", "TarvikError", "Status", "OutOfRangeError", "float_from_raw", "raw_from_float", "check_int32",
           "check_port", "check_float"]

# Result codes by their C names without the prefix: Result.Ok, Result.NoReply, Result.BadChannel.
# Codes, names and meanings come from the decoding table; a test compares them with the header.
Result = enum.IntEnum("Result", [(r.name[len("Result"):], r.code) for r in facts().results],
                      module=__name__)
Result.__doc__ = "Result codes of the library's exports (1 ResultOk, -11 ResultNoReply, ...)."


class TarvikError(Exception):
    """A call ended with a result other than ResultOk / ResultDeviceStatus.

    code      the result code (int), `result` the Result member when the code is known
    name      the C name, "ResultNoReply"
    meaning   one line: what happened; `hint` one line: what to try (may be empty)
    function  the export that returned it, "ReadFlow"
    status1, status2  the device's status bytes when the library wrote them (ResultErrorReply,
              ResultEchoMismatch), else None
    """

    def __init__(self, function: str, code: int, status1: Optional[int] = None,
                 status2: Optional[int] = None):
        info = facts().result(code)
        self.function = function
        self.code = code
        self.name = info.name if info else "result code %d" % code
        self.meaning = info.reason if info else "a result code the decoding table does not know"
        self.hint = info.hint if info else ""
        self.status1 = status1
        self.status2 = status2
        super().__init__(str(self))

    @property
    def result(self) -> Optional[Result]:
        try:
            return Result(self.code)
        except ValueError:
            return None

    def __str__(self) -> str:
        text = "%s: %s (%d): %s" % (self.function, self.name, self.code, self.meaning)
        if self.status1 is not None and self.status2 is not None:
            text += " [status1 0x%02X: %s; status2 0x%02X: %s]" % (
                self.status1, "; ".join(facts().status1_meanings(self.status1)) or "success",
                self.status2, "; ".join(facts().status2_meanings(self.status2)) or "no conditions")
        return text

    def __reduce__(self):
        return (TarvikError, (self.function, self.code, self.status1, self.status2))


class Status(NamedTuple):
    """The outcome of a digital call that succeeded: the result and the reply's two status bytes.

    `device_status` is the warning flag: the reply was decoded and the values are valid, but the
    device reports a condition in Status2 (ResultDeviceStatus). Status bytes the call does not
    write (ReadTAG on success) are None.
    """
    result: Result
    status1: Optional[int]
    status2: Optional[int]

    @property
    def device_status(self) -> bool:
        return self.result == Result.DeviceStatus

    @property
    def response(self) -> List[str]:
        """Status1 as text: the response code or the communication error summary."""
        return facts().status1_meanings(self.status1) if self.status1 is not None else []

    @property
    def conditions(self) -> List[str]:
        """Status2 as text: the field-device conditions."""
        return facts().status2_meanings(self.status2) if self.status2 is not None else []


class OutOfRangeError(ValueError, OverflowError):
    """A number outside what its slot can carry (a ValueError, and an OverflowError as before)."""


_FLOAT_MAX = struct.unpack(">f", bytes.fromhex("7F7FFFFF"))[0]


def check_float(name: str, value: float) -> float:
    """`value` as a single-precision argument: a real number (int or float, not bool) whose
    magnitude the float range holds; NaN and the infinities pass unchanged."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("%s must be a number, not %s" % (name, type(value).__name__))
    try:
        number = float(value)
    except OverflowError:
        raise OutOfRangeError("%s (an integer of %d bits) is beyond the single-precision range"
                              % (name, value.bit_length())) from None
    if math.isfinite(number) and abs(number) > _FLOAT_MAX:
        # Rounding to single precision could still land on the largest float; refuse only what
        # would become infinity on the way.
        try:
            struct.pack(">f", number)
        except OverflowError:
            raise OutOfRangeError("%s %r is beyond the single-precision range (about 3.4e38)"
                                  % (name, number)) from None
    return number


def check_raw(name: str, raw: int) -> int:
    """A 32-bit pattern given as 0..0xFFFFFFFF or as the signed value of the slot."""
    if isinstance(raw, bool) or not isinstance(raw, int):
        raise TypeError("%s must be an int (a 32-bit pattern), not %s" % (name, type(raw).__name__))
    if not _INT32_MIN <= raw <= 0xFFFFFFFF:
        raise OutOfRangeError("%s 0x%X is not a 32-bit pattern" % (name, raw))
    return raw & 0xFFFFFFFF


def float_from_raw(raw: int) -> float:
    """The float whose IEEE-754 single-precision bit pattern is `raw` (0x42480000 -> 50.0).

    `raw` may be 0..0xFFFFFFFF or the signed value the library hands out."""
    return struct.unpack(">f", struct.pack(">I", check_raw("raw", raw)))[0]


def raw_from_float(value: float) -> int:
    """The single-precision bit pattern of `value`, 0 to 0xFFFFFFFF (50.0 -> 0x42480000).

    Rounds to the nearest single-precision number; NaN and infinities keep their patterns.
    Raises OutOfRangeError (a ValueError and an OverflowError) for a finite value beyond the
    single-precision range, TypeError for what is no number.
    """
    return struct.unpack(">I", struct.pack(">f", check_float("value", value)))[0]


_INT32_MIN, _INT32_MAX = -(1 << 31), (1 << 31) - 1


def check_int32(name: str, value: int) -> int:
    """`value` as an argument for a 32-bit slot; refuses what the slot would silently cut."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise OutOfRangeError("%s %d does not fit a 32-bit argument" % (name, value))
    return value


_PORT_NAME = re.compile(r"(?:\\\\\.\\)?COM([0-9]{1,9})", re.IGNORECASE)


def check_port(port) -> int:
    """A port as its COM number: 3, "COM3" or "\\\\.\\COM3" (any case) all give 3. The library
    judges the number (1..40, else ResultBadPort)."""
    if isinstance(port, str):
        m = _PORT_NAME.fullmatch(port.strip())
        if not m:
            raise ValueError('port must be a COM number, "COM<n>" or "\\\\.\\COM<n>", not %r' % port)
        return int(m.group(1))
    if isinstance(port, bool) or not isinstance(port, int):
        raise TypeError('port must be an int or a name like "COM3", not %s' % type(port).__name__)
    return check_int32("port", port)


def signed32(raw: int) -> int:
    """A 0..0xFFFFFFFF pattern as the signed value of a 32-bit slot."""
    raw = check_raw("raw", raw)
    return raw - (1 << 32) if raw & 0x80000000 else raw
