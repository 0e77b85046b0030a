"""The 23 exports for digital (HART) gas-flow and pressure devices."""
import ctypes
import datetime
import re
from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

from ._library import library
from .arguments import check_integer, check_number, packed_text
from .facts import facts
from .results import (Result, Status, TarvikError, check_int32, check_port, check_raw, float_from_raw,
                      raw_from_float, signed32)

__all__ = [
    "Address", "Reading", "Quantity", "SetPoint", "DeviceId", "TagInfo", "AdditionalStatus", "GasData",
    "GasType", "Settings", "State", "Written", "HartDevice", "read_device_id", "read_tag", "BAUD_RATES",
    "SETPOINT_PERCENT", "SETPOINT_IN_UNITS", "TAG_LENGTH",
]

BAUD_RATES = (1200, 2400, 3600, 4800, 7200, 9600, 19200, 38400)
SETPOINT_PERCENT = 57     # WriteSetPoint: the value is in percent of full scale
SETPOINT_IN_UNITS = 250   # WriteSetPoint: the value is in the device's flow unit
TAG_LENGTH = 8            # tags and protect texts: 8 characters, shorter ones padded with spaces

_TAG_RECORD = 27
_DESCRIPTOR_LENGTH = 16
_GAS_TYPE_TEXT = 12
_FLAGS = 8
_LOOKUP_BROADCAST, _LOOKUP_BY_TAG = 0, 1
_ADDRESS_TEXT = re.compile(r"([0-9a-fA-F]{2}):([0-9a-fA-F]{6})")


class Address(tuple):
    """A device's long address: device type and the three identifier bytes, most significant first.

    Written as the tools write it: "64:010203" (device type, colon, identifier, hexadecimal).
    """
    __slots__ = ()

    def __new__(cls, device_type: int, id_high: int, id_mid: int, id_low: int):
        for name, v in (("device_type", device_type), ("id_high", id_high), ("id_mid", id_mid),
                        ("id_low", id_low)):
            if isinstance(v, bool) or not isinstance(v, int) or not 0 <= v <= 0xFF:
                raise ValueError("%s must be a byte 0..255, not %r" % (name, v))
        return super().__new__(cls, (device_type, id_high, id_mid, id_low))

    device_type = property(lambda self: self[0])
    id_high = property(lambda self: self[1])
    id_mid = property(lambda self: self[2])
    id_low = property(lambda self: self[3])

    @classmethod
    def parse(cls, text: str) -> "Address":
        if not isinstance(text, str):
            raise TypeError("a device address must be text like \"64:010203\", not %s" % type(text).__name__)
        m = _ADDRESS_TEXT.fullmatch(text.strip())
        if not m:
            raise ValueError("not a device address (like 64:010203): %r" % text)
        ident = int(m.group(2), 16)
        return cls(int(m.group(1), 16), ident >> 16, (ident >> 8) & 0xFF, ident & 0xFF)

    @classmethod
    def of(cls, address: Union["Address", str, Tuple[int, int, int, int]]) -> "Address":
        """An Address from an Address, its text ("64:010203") or four bytes (type, high, mid, low)."""
        if isinstance(address, Address):
            return address
        if isinstance(address, str):
            return cls.parse(address)
        if isinstance(address, (tuple, list)) and len(address) == 4:
            return cls(*address)
        raise TypeError("address must be an Address, text like \"64:010203\" or four bytes "
                        "(device type, id high, id mid, id low), not %r" % (address,))

    def __str__(self) -> str:
        return "%02X:%02X%02X%02X" % (self[0], self[1], self[2], self[3])

    def __repr__(self) -> str:
        return "Address(%s)" % self


class Quantity(tuple):
    """A value with its unit code: `value` (float), `raw` (its bit pattern) and `unit`."""
    __slots__ = ()

    def __new__(cls, raw: int, unit: int):
        raw &= 0xFFFFFFFF
        return super().__new__(cls, (float_from_raw(raw), raw, unit))

    value = property(lambda self: self[0])
    raw = property(lambda self: self[1])
    unit = property(lambda self: self[2])
    unit_name = property(lambda self: facts().unit_name(self[2]))
    unit_symbol = property(lambda self: facts().unit_symbol(self[2]))

    def __str__(self) -> str:
        return "%.6g %s" % (self.value, self.unit_symbol)

    def __repr__(self) -> str:
        return "Quantity(value=%r, raw=0x%08X, unit=%d)" % self


@dataclass(frozen=True)
class Reading:
    """A measured value (flow, pressure, totalizer, full scale) and the call's status."""
    quantity: Quantity
    status: Status

    value = property(lambda self: self.quantity.value)
    raw = property(lambda self: self.quantity.raw)
    unit = property(lambda self: self.quantity.unit)
    unit_name = property(lambda self: self.quantity.unit_name)
    unit_symbol = property(lambda self: self.quantity.unit_symbol)
    device_status = property(lambda self: self.status.device_status)


@dataclass(frozen=True)
class SetPoint:
    """ReadSetPoint: the set point in percent, and in the unit `in_units.unit`."""
    percent: float
    percent_raw: int
    in_units: Quantity
    status: Status
    device_status = property(lambda self: self.status.device_status)


@dataclass(frozen=True)
class DeviceId:
    address: Address
    status: Status


@dataclass(frozen=True)
class TagInfo:
    """ReadTAG: tag (up to 8 characters), descriptor (up to 16) and the date (day, month, year).

    `tag` and `descriptor` come without the spaces that pad them on the device; `raw_tag` and
    `raw_descriptor` are the padded bytes, `record` the 27 bytes as the library wrote them.
    """
    tag: str
    descriptor: str
    day: int
    month: int
    year: int  # full year: the date byte plus 1900
    record: bytes
    status: Status

    raw_tag = property(lambda self: self.record[0:TAG_LENGTH])
    raw_descriptor = property(lambda self: self.record[TAG_LENGTH:TAG_LENGTH + _DESCRIPTOR_LENGTH])

    @property
    def date(self) -> Optional[datetime.date]:
        """The date, or None when the bytes are no calendar date."""
        try:
            return datetime.date(self.year, self.month, self.day)
        except ValueError:
            return None


@dataclass(frozen=True)
class AdditionalStatus:
    """ReadAddStatus: the four additional status bytes, also as flags (flags[n][bit])."""
    bytes: Tuple[int, int, int, int]
    flags: Tuple[Tuple[bool, ...], ...]
    status: Status

    @property
    def set_bits(self):
        """The set bits as "byte N bit M" (the bytes are device-specific)."""
        return ["byte %d bit %d" % (n, bit) for n, f in enumerate(self.flags) for bit, on in enumerate(f) if on]


@dataclass(frozen=True)
class GasData:
    """ReadGasData: the four unit/value pairs of one gas entry."""
    gas: int
    values: Tuple[Quantity, Quantity, Quantity, Quantity]
    status: Status


@dataclass(frozen=True)
class GasType:
    """ReadProcessGasType: the name of a gas entry without its padding; `raw` holds the 12 bytes
    as the device sent them."""
    gas: int
    name: str
    status: Status
    raw: bytes = b""


@dataclass(frozen=True)
class Settings:
    """ReadOperationalSettings(Pressure): four device-specific setting bytes."""
    bytes: Tuple[int, int, int, int]
    status: Status


@dataclass(frozen=True)
class State:
    """ReadVORState / ReadTotalizerState: the device's state code and its name."""
    code: int
    name: str
    status: Status


@dataclass(frozen=True)
class Written:
    """A write the device took, and what it now holds (`now`), read back after the write: a SetPoint,
    State or Reading as the matching read returns it. `now` is None when reading back failed;
    `read_back_error` then holds the TarvikError (the write itself went through).

    `result`, `status1`, `status2` and `device_status` are the write's, as on Status."""
    status: Status
    now: Any = None
    read_back_error: Optional[TarvikError] = None

    result = property(lambda self: self.status.result)
    status1 = property(lambda self: self.status.status1)
    status2 = property(lambda self: self.status.status2)
    device_status = property(lambda self: self.status.device_status)


def _u8() -> ctypes.c_uint8:
    return ctypes.c_uint8(0)


def _unpadded(data: bytes) -> str:
    """Device text without the spaces (and NULs) that pad it to its field's length."""
    return data.decode("latin-1").rstrip(" \0")


def _finish(function: str, rc: int, s1: Optional[ctypes.c_uint8], s2: Optional[ctypes.c_uint8],
            status_on_success: bool = True) -> Status:
    """Status of a call that returned `rc`; raises TarvikError for everything but Ok/DeviceStatus."""
    if rc in (Result.Ok, Result.DeviceStatus):
        if status_on_success:
            return Status(Result(rc), s1.value, s2.value)
        return Status(Result(rc), None, None)
    if rc in (Result.ErrorReply, Result.EchoMismatch):
        raise TarvikError(function, rc, s1.value, s2.value)
    raise TarvikError(function, rc)


def read_device_id(port: int, baud: int, tag: Union[str, bytes, None] = None) -> DeviceId:
    """ReadDeviceID: the address of the device that answers on `port` at `baud`.

    Without `tag`, the broadcast identity command (one device on the line); with `tag`, the device
    carrying that tag. The tag takes packed characters only (space, digits, upper-case letters and
    punctuation; lower case raises, it is not upper-cased); a tag shorter than 8 characters is
    padded with spaces, as the device stores it (so a tag from read_tag() finds its device).
    """
    mode = _LOOKUP_BROADCAST if tag is None else _LOOKUP_BY_TAG
    port, baud = check_port(port), check_int32("baud", baud)
    text = b"\0" * TAG_LENGTH if tag is None else packed_text("tag", tag)
    out = [_u8() for _ in range(6)]
    rc = library().ReadDeviceID(mode, port, baud, text, len(text),
                                *[ctypes.byref(o) for o in out])
    status = _finish("ReadDeviceID", rc, out[4], out[5])
    id_high, id_mid, id_low, device_type = (o.value for o in out[:4])
    return DeviceId(Address(device_type, id_high, id_mid, id_low), status)


def read_tag(port: int, baud: int) -> TagInfo:
    """ReadTAG: tag, descriptor and date of the device that answers the broadcast address."""
    record = (ctypes.c_uint8 * _TAG_RECORD)()
    s1, s2 = _u8(), _u8()
    port, baud = check_port(port), check_int32("baud", baud)
    rc = library().ReadTAG(port, baud, record, ctypes.byref(s1), ctypes.byref(s2))
    status = _finish("ReadTAG", rc, s1, s2, status_on_success=False)
    raw = bytes(record)
    descriptor_end = TAG_LENGTH + _DESCRIPTOR_LENGTH
    return TagInfo(_unpadded(raw[0:TAG_LENGTH]), _unpadded(raw[TAG_LENGTH:descriptor_end]), raw[descriptor_end],
                   raw[descriptor_end + 1], 1900 + raw[descriptor_end + 2], raw, status)


class HartDevice:
    """A digital device at `address` on `port`, spoken to at `baud` (one of BAUD_RATES).

    `port` is a COM number or name: 3, "COM3" or "\\\\.\\COM3". `address` is an Address, its text
    ("64:010203") or four bytes (device type, id high, id mid, id low).

    Every method is one call of the library: it blocks for the response delay (115 ms at 38400 bit/s
    up to 586 ms at 1200) and raises TarvikError unless the result is ResultOk or ResultDeviceStatus.
    """

    def __init__(self, port: int, baud: int, address: Union[Address, str, Tuple[int, int, int, int]]):
        self.port = check_port(port)
        self.baud = check_int32("baud", baud)
        self.address = Address.of(address)

    @classmethod
    def find(cls, port: int, baud: int, tag: Union[str, bytes, None] = None) -> "HartDevice":
        """The device that answers ReadDeviceID on `port` at `baud` (by broadcast, or by `tag`)."""
        return cls(port, baud, read_device_id(port, baud, tag).address)

    def __repr__(self) -> str:
        return "HartDevice(port=%d, baud=%d, address=%s)" % (self.port, self.baud, self.address)

    def _head(self):
        a = self.address
        return (self.port, self.baud, a.id_high, a.id_mid, a.id_low, a.device_type)

    def _call(self, function: str, *args) -> int:
        return getattr(library(), function)(*self._head(), *args)

    def _reading(self, function: str) -> Reading:
        value, unit, s1, s2 = ctypes.c_int32(0), _u8(), _u8(), _u8()
        rc = self._call(function, ctypes.byref(value), ctypes.byref(unit), ctypes.byref(s1), ctypes.byref(s2))
        status = _finish(function, rc, s1, s2)
        return Reading(Quantity(value.value, unit.value), status)

    def _write(self, function: str, *args) -> Status:
        s1, s2 = _u8(), _u8()
        rc = self._call(function, *args, ctypes.byref(s1), ctypes.byref(s2))
        return _finish(function, rc, s1, s2)

    @staticmethod
    def _read_back(status: Status, read) -> Written:
        try:
            return Written(status, read())
        except TarvikError as e:
            return Written(status, None, e)

    def _settings(self, function: str) -> Settings:
        out = [_u8() for _ in range(6)]
        rc = self._call(function, *[ctypes.byref(o) for o in out])
        status = _finish(function, rc, out[4], out[5])
        return Settings(tuple(o.value for o in out[:4]), status)

    def _state(self, function: str, table: str) -> State:
        state, s1, s2 = _u8(), _u8(), _u8()
        rc = self._call(function, ctypes.byref(state), ctypes.byref(s1), ctypes.byref(s2))
        status = _finish(function, rc, s1, s2)
        return State(state.value, facts().code_name(table, state.value), status)

    # ---- flow and set point ------------------------------------------------------------------------
    def read_flow(self) -> Reading:
        """ReadFlow: the flow (primary variable) and its unit."""
        return self._reading("ReadFlow")

    def read_set_point(self) -> SetPoint:
        """ReadSetPoint: the set point in percent and in the unit the device reports."""
        percent, unit, in_units, s1, s2 = ctypes.c_int32(0), _u8(), ctypes.c_int32(0), _u8(), _u8()
        rc = self._call("ReadSetPoint", ctypes.byref(percent), ctypes.byref(unit), ctypes.byref(in_units),
                        ctypes.byref(s1), ctypes.byref(s2))
        status = _finish("ReadSetPoint", rc, s1, s2)
        raw = percent.value & 0xFFFFFFFF
        return SetPoint(float_from_raw(raw), raw, Quantity(in_units.value, unit.value), status)

    def write_set_point(self, value: float, unit: Union[int, str] = SETPOINT_PERCENT, *,
                        raw: Optional[int] = None) -> Written:
        """WriteSetPoint: `value` in percent (unit 57, "percent") or in the flow unit (250, "flow unit");
        then ReadSetPoint: `now` is the SetPoint the device holds. `value` must be finite, within a
        32-bit float, and zero or at least its smallest normal magnitude. `raw` sends a bit pattern
        unchanged instead of `value`."""
        pattern = raw_from_float(check_number("setpoint", value)) if raw is None else check_raw("raw", raw)
        status = self._write("WriteSetPoint", check_integer("setpoint_unit", unit), signed32(pattern))
        return self._read_back(status, self.read_set_point)

    # ---- identity and status -----------------------------------------------------------------------
    def read_tag(self) -> TagInfo:
        """ReadTAG on this device's port (the command goes to the broadcast address)."""
        return read_tag(self.port, self.baud)

    def read_add_status(self) -> AdditionalStatus:
        """ReadAddStatus: the four additional status bytes."""
        flags = [(ctypes.c_uint8 * _FLAGS)() for _ in range(4)]
        s1, s2 = _u8(), _u8()
        rc = self._call("ReadAddStatus", *flags, ctypes.byref(s1), ctypes.byref(s2))
        status = _finish("ReadAddStatus", rc, s1, s2)
        as_bools = tuple(tuple(bool(b) for b in f) for f in flags)
        as_bytes = tuple(sum(1 << i for i, on in enumerate(f) if on) for f in as_bools)
        return AdditionalStatus(as_bytes, as_bools, status)

    # ---- gas and unit configuration ----------------------------------------------------------------
    def read_gas_data(self, gas: int) -> GasData:
        """ReadGasData: the four unit/value pairs of gas entry `gas` (1..10)."""
        units = [_u8() for _ in range(4)]
        values = [ctypes.c_int32(0) for _ in range(4)]
        s1, s2 = _u8(), _u8()
        pairs = [ctypes.byref(x) for u, v in zip(units, values) for x in (u, v)]
        rc = self._call("ReadGasData", check_integer("gas", gas), *pairs, ctypes.byref(s1), ctypes.byref(s2))
        status = _finish("ReadGasData", rc, s1, s2)
        return GasData(gas, tuple(Quantity(v.value, u.value) for u, v in zip(units, values)), status)

    def read_process_gas_type(self, gas: int) -> GasType:
        """ReadProcessGasType: the 12-character name of gas entry `gas` (1..10)."""
        text = ctypes.create_string_buffer(_GAS_TYPE_TEXT)
        s1, s2 = _u8(), _u8()
        rc = self._call("ReadProcessGasType", check_integer("gas", gas), text, ctypes.byref(s1), ctypes.byref(s2))
        status = _finish("ReadProcessGasType", rc, s1, s2)
        return GasType(gas, _unpadded(text.raw), status, text.raw)

    def read_operational_settings(self) -> Settings:
        """ReadOperationalSettings: four setting bytes of a flow device."""
        return self._settings("ReadOperationalSettings")

    def select_flow_unit(self, unit_data1: Union[int, str], unit_data2: int = 0) -> Written:
        """SelectFlowUnit: the flow unit's code (or symbol or name, "m3/h") and a second,
        device-specific byte; then ReadFlow: `now` is the Reading, in the unit the device now uses."""
        status = self._write("SelectFlowUnit", check_integer("flow_unit", unit_data1),
                             check_integer("unit_data2", unit_data2))
        return self._read_back(status, self.read_flow)

    def select_gas_number(self, gas: int) -> Status:
        """SelectGasNumber: make gas entry `gas` (1..10) the active one. (No command reads the
        active entry back.)"""
        return self._write("SelectGasNumber", check_integer("gas", gas))

    # ---- valve override and totalizer -------------------------------------------------------------
    def read_vor_state(self) -> State:
        """ReadVORState: the valve-override state (0 normal, 1 closed, 2 open on the simulator)."""
        return self._state("ReadVORState", "vor_states")

    def write_vor_state(self, state: Union[int, str]) -> Written:
        """WriteVORState: state 0..2, or its name ("normal", "closed", "open"); then ReadVORState:
        `now` is the State the device holds."""
        status = self._write("WriteVORState", check_integer("state", state))
        return self._read_back(status, self.read_vor_state)

    def read_totalizer_state(self) -> State:
        """ReadTotalizerState: the totalizer state."""
        return self._state("ReadTotalizerState", "totalizer_states")

    def write_totalizer_state(self, state: Union[int, str]) -> Written:
        """WriteTotalizerState: state 0..2, or its name ("stop", "run", "reset"); then
        ReadTotalizerState: `now` is the State the device holds."""
        status = self._write("WriteTotalizerState", check_integer("totalizer_state", state))
        return self._read_back(status, self.read_totalizer_state)

    def read_totalizer(self) -> Reading:
        """ReadTotalizer: the totalized amount and its unit."""
        return self._reading("ReadTotalizer")

    # ---- pressure devices --------------------------------------------------------------------------
    def read_pressure(self) -> Reading:
        """ReadPressure: the pressure and its unit."""
        return self._reading("ReadPressure")

    def read_full_scale_range_pressure(self, application: int) -> Reading:
        """ReadFullScaleRangePressure: full-scale value and unit of application 1..6."""
        unit, value, s1, s2 = _u8(), ctypes.c_int32(0), _u8(), _u8()
        rc = self._call("ReadFullScaleRangePressure", check_integer("application", application),
                        ctypes.byref(unit),
                        ctypes.byref(value), ctypes.byref(s1), ctypes.byref(s2))
        status = _finish("ReadFullScaleRangePressure", rc, s1, s2)
        return Reading(Quantity(value.value, unit.value), status)

    def select_pressure_unit(self, unit: Union[int, str]) -> Written:
        """SelectPressureUnit: a unit code the table knows, or a unit's symbol or name ("bar", "psi");
        then ReadPressure: `now` is the Reading, in the unit the device now uses."""
        status = self._write("SelectPressureUnit", check_integer("pressure_unit", unit))
        return self._read_back(status, self.read_pressure)

    def select_pressure_application(self, application: int) -> Status:
        """SelectPressureApplication: make application 1..6 the active one. (No command reads the
        active application back.)"""
        return self._write("SelectPressureApplication", check_integer("application", application))

    def read_operational_settings_pressure(self) -> Settings:
        """ReadOperationalSettingsPressure: four setting bytes of a pressure device."""
        return self._settings("ReadOperationalSettingsPressure")

    # ---- write protection and backup ---------------------------------------------------------------
    def write_protect(self, text: Union[str, bytes], mode: Union[int, str]) -> Status:
        """WriteProtectS: the protect text (packed characters only, padded with spaces to 8) and the
        mode (0 "off", 1 "on"). The device repeats the mode it now holds; the library checks it."""
        data, mode = packed_text("protect_text", text), check_integer("mode", mode)
        a = self.address
        s1, s2 = _u8(), _u8()
        rc = library().WriteProtectS(self.port, self.baud, data, len(data), a.id_high, a.id_mid, a.id_low,
                                     a.device_type, mode, ctypes.byref(s1), ctypes.byref(s2))
        return _finish("WriteProtectS", rc, s1, s2)

    def backup_database(self) -> Status:
        """BackupDatabaseS: save the working data to the device's non-volatile memory."""
        return self._write("BackupDatabaseS")
