"""Result codes, the one exception class, status bytes and raw float patterns."""
import enum
import struct
from typing import List, NamedTuple, Optional

from .facts import facts

__all__ = ["Result", "TarvikError", "Status", "float_from_raw", "raw_from_float", "check_int32"]

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


def float_from_raw(raw: int) -> float:
    """The float whose IEEE-754 single-precision bit pattern is `raw` (0x42480000 -> 50.0)."""
    return struct.unpack(">f", struct.pack(">I", raw & 0xFFFFFFFF))[0]


def raw_from_float(value: float) -> int:
    """The single-precision bit pattern of `value`, 0 to 0xFFFFFFFF (50.0 -> 0x42480000).

    Rounds to the nearest single-precision number; NaN and infinities keep their patterns.
    Raises OverflowError for a finite value beyond the single-precision range.
    """
    return struct.unpack(">I", struct.pack(">f", value))[0]


_INT32_MIN, _INT32_MAX = -(1 << 31), (1 << 31) - 1


def check_int32(name: str, value: int) -> int:
    """`value` as an argument for a 32-bit slot; refuses what the slot would silently cut."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError("%s %d does not fit a 32-bit argument" % (name, value))
    return value


def signed32(raw: int) -> int:
    """A 0..0xFFFFFFFF pattern as the signed value of a 32-bit slot."""
    raw &= 0xFFFFFFFF
    return raw - (1 << 32) if raw & 0x80000000 else raw
