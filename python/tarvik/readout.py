"""The 13 exports for the model 0731 read-out and control unit."""
import ctypes
import enum
from typing import Union

from ._library import library
from .results import Result, TarvikError, check_float, check_int32, check_port

__all__ = ["ReadoutUnit", "SetPointSource", "CHANNELS"]

CHANNELS = (1, 2, 3, 4)


class SetPointSource(enum.IntEnum):
    """ReadSetPointSource_0731: where a channel takes its set point from."""
    SERIAL = 1
    MANUAL = 2


class ReadoutUnit:
    """A model 0731 unit on `port` (9600 bit/s, fixed): 3, "COM3" or "\\\\.\\COM3". Channels are 1..4.

    Every method is one call of the library: it blocks for 500 ms (600 ms for the two set-point
    calls) and raises TarvikError unless the result is ResultOk. The library writes a failure
    value (-1 or -999.0) on an unusable reply; this class raises instead of returning it.
    """

    def __init__(self, port: Union[int, str]):
        self.port = check_port(port)

    def __repr__(self) -> str:
        return "ReadoutUnit(port=%d)" % self.port

    def _check(self, function: str, rc: int) -> None:
        if rc != Result.Ok:
            raise TarvikError(function, rc)

    def _read(self, function: str, channel: int, ctype):
        channel = check_int32("channel", channel)  # before the library is loaded: bad values never reach it
        out = ctype()
        rc = getattr(library(), function)(self.port, channel, ctypes.byref(out))
        self._check(function, rc)
        return out.value

    def _write(self, function: str, *args) -> None:
        self._check(function, getattr(library(), function)(self.port, *args))

    def test_coms(self) -> None:
        """TestComs_0731: raises unless the unit identifies itself as a 0731."""
        self._write("TestComs_0731")

    def read_set_point_source(self, channel: int) -> SetPointSource:
        """ReadSetPointSource_0731: serial or manual."""
        return SetPointSource(self._read("ReadSetPointSource_0731", channel, ctypes.c_uint8))

    def write_serial_set_point_source(self, channel: int) -> None:
        """WriteSerialSetPointSource_0731: the channel takes its set point from the serial line."""
        self._write("WriteSerialSetPointSource_0731", check_int32("channel", channel))

    def write_manual_set_point_source(self, channel: int) -> None:
        """WriteManualSetPointSource_0731: the channel takes its set point from the front panel."""
        self._write("WriteManualSetPointSource_0731", check_int32("channel", channel))

    def write_vor_state(self, channel: int, state: int) -> None:
        """WriteVORState_0731: valve override state 0..2."""
        self._write("WriteVORState_0731", check_int32("channel", channel), check_int32("state", state))

    def read_measure_unit(self, channel: int) -> int:
        """ReadMeasureUnit_0731: the unit's own code of the measured quantity."""
        return self._read("ReadMeasureUnit_0731", channel, ctypes.c_int32)

    def read_time_unit(self, channel: int) -> int:
        """ReadTimeUnit_0731: the unit's own code of the time base."""
        return self._read("ReadTimeUnit_0731", channel, ctypes.c_int32)

    def read_full_scale(self, channel: int) -> float:
        """ReadFullScale_0731: the channel's full-scale value."""
        return self._read("ReadFullScale_0731", channel, ctypes.c_float)

    def read_decimal_place(self, channel: int) -> int:
        """ReadDecimalPlace_0731: the number of decimal places the unit shows."""
        return self._read("ReadDecimalPlace_0731", channel, ctypes.c_int32)

    def write_decimal_place(self, channel: int, places: int) -> None:
        """WriteDecimalPlace_0731: places 0..3."""
        self._write("WriteDecimalPlace_0731", check_int32("channel", channel), check_int32("places", places))

    def read_process_variable(self, channel: int) -> float:
        """ReadProcessVariable_0731: the measured value."""
        return self._read("ReadProcessVariable_0731", channel, ctypes.c_float)

    def read_set_point(self, channel: int) -> float:
        """ReadSetPoint_0731: the set point (600 ms)."""
        return self._read("ReadSetPoint_0731", channel, ctypes.c_float)

    def write_set_point(self, channel: int, value: float, digits: int = 2) -> None:
        """WriteSetPoint_0731: send `value` with `digits` decimals (0..3), 600 ms.

        Raises OutOfRangeError (a ValueError) for a finite value beyond the single-precision range,
        instead of letting it become INF on the way; TypeError for what is no number."""
        value = check_float("value", value)
        self._write("WriteSetPoint_0731", check_int32("channel", channel), check_int32("digits", digits), value)
