"""The 13 exports for the model 0731 read-out and control unit."""
import ctypes
import enum
from typing import Union

from ._library import library
from .arguments import check_integer, check_number, unit_set_point
from .results import Result, TarvikError, check_port

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
    value (-1 or -999.0) on an unusable reply; this class raises instead of returning it. A write
    that has a read (set point, source, decimal places) reads the value back and returns what the
    unit now holds; None when that read fails (the write went through).
    """

    def __init__(self, port: Union[int, str]):
        self.port = check_port(port)

    def __repr__(self) -> str:
        return "ReadoutUnit(port=%d)" % self.port

    def _check(self, function: str, rc: int) -> None:
        if rc != Result.Ok:
            raise TarvikError(function, rc)

    def _read(self, function: str, channel: int, ctype):
        channel = check_integer("channel", channel)  # before the library is loaded: bad values never reach it
        out = ctype()
        rc = getattr(library(), function)(self.port, channel, ctypes.byref(out))
        self._check(function, rc)
        return out.value

    def _write(self, function: str, *args) -> None:
        self._check(function, getattr(library(), function)(self.port, *args))

    @staticmethod
    def _read_back(read, channel: int):
        try:
            return read(channel)
        except TarvikError:
            return None

    def test_coms(self) -> None:
        """TestComs_0731: raises unless the unit identifies itself as a 0731."""
        self._write("TestComs_0731")

    def read_set_point_source(self, channel: int) -> SetPointSource:
        """ReadSetPointSource_0731: serial or manual."""
        return SetPointSource(self._read("ReadSetPointSource_0731", channel, ctypes.c_uint8))

    def write_serial_set_point_source(self, channel: int) -> SetPointSource:
        """WriteSerialSetPointSource_0731: the channel takes its set point from the serial line;
        returns the source the unit now reports."""
        self._write("WriteSerialSetPointSource_0731", check_integer("channel", channel))
        return self._read_back(self.read_set_point_source, channel)

    def write_manual_set_point_source(self, channel: int) -> SetPointSource:
        """WriteManualSetPointSource_0731: the channel takes its set point from the front panel;
        returns the source the unit now reports."""
        self._write("WriteManualSetPointSource_0731", check_integer("channel", channel))
        return self._read_back(self.read_set_point_source, channel)

    def write_vor_state(self, channel: int, state: Union[int, str]) -> None:
        """WriteVORState_0731: valve override state 0..2, or its name ("normal", "closed", "open").
        (The unit has no command that reads it back.)"""
        self._write("WriteVORState_0731", check_integer("channel", channel), check_integer("state", state))

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

    def write_decimal_place(self, channel: int, places: int) -> int:
        """WriteDecimalPlace_0731: places 0..3; returns the places the unit now reports."""
        self._write("WriteDecimalPlace_0731", check_integer("channel", channel), check_integer("places", places))
        return self._read_back(self.read_decimal_place, channel)

    def read_process_variable(self, channel: int) -> float:
        """ReadProcessVariable_0731: the measured value."""
        return self._read("ReadProcessVariable_0731", channel, ctypes.c_float)

    def read_set_point(self, channel: int) -> float:
        """ReadSetPoint_0731: the set point (600 ms)."""
        return self._read("ReadSetPoint_0731", channel, ctypes.c_float)

    def write_set_point(self, channel: int, value: float, digits: int = 2) -> float:
        """WriteSetPoint_0731: send `value` with `digits` decimals (0..3), 600 ms; then read the set
        point back (600 ms) and return what the unit now holds.

        Raises ValueError for NaN and the infinities, for a value beyond the single-precision range
        (OutOfRangeError) and for a nonzero value that would be sent as 0 with `digits` decimals;
        TypeError for what is no number."""
        channel, digits = check_integer("channel", channel), check_integer("digits", digits)
        value = unit_set_point(check_number("setpoint", value), digits)
        self._write("WriteSetPoint_0731", channel, digits, value)
        return self._read_back(self.read_set_point, channel)
