"""Typed configuration of any HART transmitter, as `tarvik hart vars | range | burst | set-...` does it:
every argument judged by the shared argument table before anything is sent, a write-protected device
refused before sending, each write read back (`Written(now=...)`), refusals raised as typed errors.
HartTransmitter takes these methods from ConfigurationMethods."""
import contextlib
import struct
from typing import Dict, Iterator, List, NamedTuple, Optional, Sequence, Union

from .arguments import check_integer, check_number
from .digital import Written
from .results import Result, Status, TarvikError

__all__ = ["ConfigurationRefused", "WriteProtectedError", "MultidropError", "DeviceVariable", "Assignments",
           "RangeSettings", "BurstSetup", "ConfigurationMethods"]

_READ_VARS_STATUS, _READ_VARS, _ASSIGNMENTS, _DEVICE_INFO, _TRANSDUCER, _BURST = 9, 33, 50, 15, 14, 105
_DAMPING, _RANGE, _UPPER_FROM_PROCESS, _LOWER_FROM_PROCESS = 34, 35, 36, 37
_LOOP_TEST, _SELF_TEST, _RESET, _SET_ZERO, _UNIT, _TRIM_ZERO, _TRIM_GAIN, _TRANSFER = 40, 41, 42, 43, 44, 45, 46, 47
_WRITE_ASSIGNMENTS, _VARIABLE_UNIT, _PREAMBLES, _RESET_CHANGED = 51, 53, 59, 38
_BURST_PERIOD, _BURST_TRIGGER, _BURST_VARS, _BURST_COMMAND, _BURST_MODE = 103, 104, 107, 108, 109
_IDENTITY, _LOOP_CURRENT = 0, 2
_NOT_IMPLEMENTED, _WRITE_PROTECTED, _MULTIDROP = 64, 7, 11
_WARNINGS = (8, 14)  # the device did what was asked, and says something about it
_PROTECTED = 1
_NOT_USED = 250
_BURST_UNITS_PER_SECOND = 32000  # 1/32 ms
_TRIGGERS = ("continuous", "window", "rising", "falling", "on-change")


class ConfigurationRefused(TarvikError):
    """The device refused a configuration command: `response_code` (its first status byte) and
    `response_text` say why. Nothing was changed."""

    def __init__(self, function: str, response_code: int, device_status: int, text: str):
        self.response_code = response_code
        self.response_text = text
        super().__init__(function, Result.ErrorReply, response_code, device_status)

    def __str__(self) -> str:
        return "%s: refused with response %d (%s)" % (self.function, self.status1, self.response_text)

    def __reduce__(self):
        return (type(self), (self.function, self.status1, self.status2, self.response_text))


class WriteProtectedError(ConfigurationRefused):
    """The device is in write-protect mode: said by command 15 before anything was sent, or by
    response code 7."""


class MultidropError(ConfigurationRefused):
    """The device is in multidrop mode and refuses to drive its loop current (response code 11 to
    commands 40, 45 and 46)."""


class DeviceVariable(NamedTuple):
    code: int
    unit: int
    value: float
    classification: Optional[int] = None  # command 9 only
    status: Optional[int] = None          # command 9 only


class Assignments(NamedTuple):
    pv: int
    sv: Optional[int] = None
    tv: Optional[int] = None
    qv: Optional[int] = None


class RangeSettings(NamedTuple):
    unit: int
    upper: float
    lower: float
    damping_s: float
    transfer_function: str  # "linear", "sqrt" or the code as text
    write_protected: bool


class BurstSetup(NamedTuple):
    on: bool
    command: int
    variables: List[int]
    period_s: Optional[float]
    max_period_s: Optional[float]
    trigger: Optional[str]
    trigger_level: Optional[float]
    trigger_unit: Optional[int]


def _f32(data: bytes, at: int) -> float:
    return struct.unpack(">f", data[at:at + 4])[0]


def _response_text(command: int, code: int) -> str:
    specific = {8: "set to the nearest possible value", 14: "span too small", 29: "invalid span", 7:
                "in write-protect mode", 3: "passed parameter too large", 4: "passed parameter too small",
                2: "invalid selection", 5: "too few data bytes received", 16: "access restricted", 32: "busy",
                64: "command not implemented"}
    if command == _RANGE:
        specific.update({9: "lower range value too high", 10: "lower range value too low",
                         11: "upper range value too high", 12: "invalid unit code",
                         13: "upper and lower range values out of limits"})
    if command in (_LOOP_TEST, _TRIM_ZERO, _TRIM_GAIN):
        specific.update({9: "incorrect loop current mode or value", 11: "in multidrop mode"})
    if command in (_UNIT, _VARIABLE_UNIT, _BURST_TRIGGER):
        specific[12] = "invalid unit code"
    return specific.get(code, "command-specific response code %d" % code)


def _burst_units(name: str, seconds: float) -> int:
    return round(check_number(name, seconds) * _BURST_UNITS_PER_SECOND)


class ConfigurationMethods:
    """Typed reads and writes of a transmitter's configuration (mixed into HartTransmitter)."""

    # ---- reads -------------------------------------------------------------------------------------
    def read_variables(self, codes: Optional[Sequence[int]] = None) -> Dict[int, DeviceVariable]:
        """Device variables by code (command 9; 33 for a device that does not know 9). Without
        `codes`, every variable up to the last the device names (command 0), else 0..3."""
        if codes is None:
            last = self._command(_IDENTITY).values.get("last_device_variable", 3)
            codes = list(range(min(last, 249) + 1))
        codes = [check_integer("device_variable", c) for c in codes]
        out: Dict[int, DeviceVariable] = {}
        command, at = _READ_VARS_STATUS, 0
        while at < len(codes):
            group = codes[at:at + (8 if command == _READ_VARS_STATUS else 4)]
            r = self._command(command, bytes(group), raise_refusal=False)
            if command == _READ_VARS_STATUS and r.response_code == _NOT_IMPLEMENTED:
                command = _READ_VARS
                continue
            self._refusal("read_variables", command, r)
            d = r.data
            if command == _READ_VARS_STATUS:
                for p in range(1, len(d) - 7, 8):
                    out[d[p]] = DeviceVariable(d[p], d[p + 2], _f32(d, p + 3), d[p + 1], d[p + 7])
            else:
                for p in range(0, len(d) - 5, 6):
                    out[d[p]] = DeviceVariable(d[p], d[p + 1], _f32(d, p + 2))
            at += len(group)
        return out

    def read_assignments(self) -> Assignments:
        """Command 50: the device variables behind PV, SV, TV, QV."""
        d = self._command(_ASSIGNMENTS).data
        return Assignments(*list(d[:4]))

    def read_range(self) -> RangeSettings:
        """Command 15: range values and their unit, damping, transfer function, write protection."""
        d = self._command(_DEVICE_INFO).data
        transfer = {0: "linear", 1: "sqrt"}.get(d[1], str(d[1]))
        return RangeSettings(d[2], _f32(d, 3), _f32(d, 7), _f32(d, 11), transfer,
                             len(d) > 15 and d[15] == _PROTECTED)

    def read_burst(self) -> BurstSetup:
        """Command 105: what the device bursts, how often, on which trigger (a revision 5 or 6 reply
        leaves the later fields None)."""
        d = self._command(_BURST).data
        rev7 = len(d) >= 29
        slots = d[2:10] if rev7 else d[2:6]
        if not rev7:
            return BurstSetup(d[0] == 1, d[1], [c for c in slots if c != _NOT_USED], None, None, None, None, None)
        period, most = struct.unpack(">II", d[14:22])
        trigger = _TRIGGERS[d[22]] if d[22] < len(_TRIGGERS) else str(d[22])
        return BurstSetup(d[0] == 1, int.from_bytes(d[12:14], "big") if d[1] == 31 else d[1],
                          [c for c in slots if c != _NOT_USED], period / _BURST_UNITS_PER_SECOND,
                          most / _BURST_UNITS_PER_SECOND, trigger, _f32(d, 25), d[24])

    # ---- the one way of writing --------------------------------------------------------------------
    def _refusal(self, function: str, command: int, reply) -> None:
        code = reply.response_code
        if code == 0 or code in _WARNINGS:
            return
        kind = WriteProtectedError if code == _WRITE_PROTECTED else \
            MultidropError if code == _MULTIDROP and command in (_LOOP_TEST, _TRIM_ZERO, _TRIM_GAIN) else \
            ConfigurationRefused
        raise kind(function, code, reply.device_status, _response_text(command, code))

    def _configure(self, function: str, command: int, data: bytes = b"", read_back=None,
                   protected: bool = True) -> Written:
        if protected and self.read_range().write_protected:
            raise WriteProtectedError(function, _WRITE_PROTECTED, 0, "in write-protect mode (nothing sent)")
        reply = self._command(command, data, raise_refusal=False)
        self._refusal(function, command, reply)
        status = Status(Result(reply.status.result) if reply.status.result != Result.ErrorReply else Result.Ok,
                        reply.response_code, reply.device_status)
        if read_back is None:
            return Written(status, reply)
        try:
            return Written(status, read_back())
        except TarvikError as e:
            return Written(status, None, e)

    # ---- writes ------------------------------------------------------------------------------------
    def set_damping(self, seconds: float) -> Written:
        """Command 34; `now` is read_range()."""
        data = struct.pack(">f", check_number("damping", seconds))
        return self._configure("set_damping", _DAMPING, data, self.read_range)

    def set_range(self, upper: float, lower: float, unit: Union[int, str, None] = None) -> Written:
        """Command 35: upper and lower range values in `unit` (default the device's range unit).
        A span the device finds too small is taken with a warning (`status1` 14)."""
        upper, lower = check_number("range_value", upper), check_number("range_value", lower)
        code = self.read_range().unit if unit is None else check_integer("pv_unit", unit)
        return self._configure("set_range", _RANGE, struct.pack(">Bff", code, upper, lower), self.read_range)

    def set_range_from_process(self, upper: bool) -> Written:
        """Command 36 (upper) or 37 (lower): the applied process value becomes the range value."""
        return self._configure("set_range_from_process", _UPPER_FROM_PROCESS if upper else _LOWER_FROM_PROCESS,
                               b"", self.read_range)

    def set_unit(self, unit: Union[int, str]) -> Written:
        """Command 44: the PV unit (symbol, name or code)."""
        return self._configure("set_unit", _UNIT, bytes([check_integer("pv_unit", unit)]), self.read_range)

    def set_transfer_function(self, function: Union[int, str]) -> Written:
        """Command 47: "linear" or "sqrt"."""
        code = check_integer("transfer_function", function)
        return self._configure("set_transfer_function", _TRANSFER, bytes([code]), self.read_range)

    def set_variable_unit(self, variable: int, unit: Union[int, str]) -> Written:
        """Command 53; `now` is the DeviceVariable read back."""
        code = check_integer("device_variable", variable)
        data = bytes([code, check_integer("variable_unit", unit)])
        return self._configure("set_variable_unit", _VARIABLE_UNIT, data, lambda: self.read_variables([code])[code])

    def set_assignments(self, pv: int, sv: int, tv: int, qv: int) -> Written:
        """Command 51: which device variables are PV, SV, TV, QV."""
        data = bytes(check_integer("device_variable", c) for c in (pv, sv, tv, qv))
        return self._configure("set_assignments", _WRITE_ASSIGNMENTS, data, self.read_assignments)

    def set_preambles(self, count: int) -> Written:
        """Command 59: the preambles the device sends before a reply."""
        data = bytes([check_integer("preambles", count)])
        return self._configure("set_preambles", _PREAMBLES, data, None)

    def reset_config_changed(self) -> Written:
        """Command 38: clears the configuration-changed flag."""
        return self._configure("reset_config_changed", _RESET_CHANGED, b"", None, protected=False)

    def loop_test(self, milliamperes: float) -> Written:
        """Command 40: hold a fixed loop current (MultidropError in multidrop mode); `now` is
        read_loop_current(). End it with loop_test_exit(), or use fixed_current()."""
        data = struct.pack(">f", check_number("loop_current", milliamperes))
        return self._configure("loop_test", _LOOP_TEST, data, self.read_loop_current, protected=False)

    def loop_test_exit(self) -> Written:
        """Command 40 with 0 mA: back to the current of the process."""
        return self._configure("loop_test_exit", _LOOP_TEST, bytes(4), self.read_loop_current, protected=False)

    @contextlib.contextmanager
    def fixed_current(self, milliamperes: float) -> Iterator[Written]:
        """A loop test for the `with` block: the current is released however the block ends."""
        written = self.loop_test(milliamperes)
        try:
            yield written
        finally:
            self.loop_test_exit()

    def trim_zero(self, measured_ma: float) -> Written:
        """Command 45 (the device holding 4 mA): the current measured on the loop."""
        data = struct.pack(">f", check_number("measured_current", measured_ma))
        return self._configure("trim_zero", _TRIM_ZERO, data, self.read_loop_current)

    def trim_gain(self, measured_ma: float) -> Written:
        """Command 46 (the device holding 20 mA): the current measured on the loop."""
        data = struct.pack(">f", check_number("measured_current", measured_ma))
        return self._configure("trim_gain", _TRIM_GAIN, data, self.read_loop_current)

    def self_test(self) -> Written:
        """Command 41."""
        return self._configure("self_test", _SELF_TEST, b"", None, protected=False)

    def reset(self) -> Written:
        """Command 42: the device restarts."""
        return self._configure("reset", _RESET, b"", None, protected=False)

    def set_zero(self) -> Written:
        """Command 43: the applied process value becomes PV zero."""
        return self._configure("set_zero", _SET_ZERO, b"", self.read_range)

    def burst_set(self, command: Union[int, str, None] = None, variables: Optional[Sequence[int]] = None,
                  period_s: Optional[float] = None, max_period_s: Optional[float] = None,
                  trigger: Union[int, str, None] = None, level: float = 0.0, trigger_unit: Union[int, str, None] = None,
                  message: int = 0, start: bool = True) -> Written:
        """Burst set-up of a revision 7 device (108, 107, 103, 104, then 109 on unless start=False);
        `now` is read_burst(). Every argument is checked before the first write."""
        message = check_integer("burst_message", message)
        writes = []
        if command is not None:
            writes.append((_BURST_COMMAND, bytes([check_integer("burst_command", command), message])))
        if variables is not None:
            codes = [check_integer("device_variable", c) for c in variables]
            if len(codes) > 8:
                raise ValueError("variables: at most 8 device variables")
            writes.append((_BURST_VARS, bytes(codes + [_NOT_USED] * (8 - len(codes)) + [message])))
        if period_s is not None:
            period = _burst_units("burst_period", period_s)
            most = _burst_units("burst_period", max(period_s, 60.0) if max_period_s is None else max_period_s)
            if most < period:
                raise ValueError("max_period_s is shorter than period_s")
            writes.append((_BURST_PERIOD, struct.pack(">BII", message, period, most)))
        if trigger is not None:
            mode = check_integer("trigger_mode", trigger)
            unit = _NOT_USED if trigger_unit is None else check_integer("variable_unit", trigger_unit)
            if mode != 0 and trigger_unit is None:
                raise ValueError("trigger_unit: a trigger other than continuous needs the level's unit")
            writes.append((_BURST_TRIGGER, struct.pack(">BBBBf", message, mode, 0, unit,
                                                       check_number("trigger_level", level))))
        if start:
            writes.append((_BURST_MODE, bytes([1, message])))
        return self._burst_writes("burst_set", writes)

    def burst_off(self, message: int = 0) -> Written:
        """Command 109: burst mode off."""
        return self._burst_writes("burst_off", [(_BURST_MODE, bytes([0, check_integer("burst_message", message)]))])

    def _burst_writes(self, function: str, writes) -> Written:
        if self.read_range().write_protected:
            raise WriteProtectedError(function, _WRITE_PROTECTED, 0, "in write-protect mode (nothing sent)")
        written = None
        for command, data in writes:
            written = self._configure(function, command, data, None, protected=False)
        try:
            return Written(written.status if written else Status(Result.Ok, 0, 0), self.read_burst())
        except TarvikError as e:
            return Written(written.status if written else Status(Result.Ok, 0, 0), None, e)
