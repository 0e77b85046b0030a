"""Any HART field device (transmitter) through the link library's HART master (its C surface,
include/tarvik/HartC.h): universal commands decoded by the library's HART codec, raw commands,
scans of a multidrop line and burst frames."""
import contextlib
import ctypes
import math
import re
import signal
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from ._library import link_library, set_link_prototypes
from .arguments import check_integer, packed_text
from .configure import ConfigurationMethods
from .digital import Address, Written
from .results import Result, Status, TarvikError, check_int32, check_port

__all__ = ["HartTransmitter", "HartReply", "LongAddress", "FoundDevice", "BurstFrame", "MAX_DATA", "decode"]

MAX_DATA = 255
_LONG_ADDRESS = 5
_FIELD_TEXT = 36
_MAX_FIELDS = 32
_SEARCH_LAST = 15  # where a device given by type and ID ("64:010203") is looked for, as the command line does
_ADDRESS_MASK = 0x3F
_LONG_TEXT = re.compile(r"([0-9a-fA-F]{2}):([0-9a-fA-F]{2}):([0-9a-fA-F]{6})")
_INTEGER, _FLOAT, _TEXT, _BYTES = 1, 2, 3, 4
# Universal commands.
_IDENTITY, _PV, _LOOP_CURRENT, _DYNAMIC = 0, 1, 2, 3
_MESSAGE, _TAG, _TRANSDUCER, _DEVICE_INFO, _FINAL_ASSEMBLY, _LONG_TAG, _MORE_STATUS = 12, 13, 14, 15, 16, 20, 48


class _Address(ctypes.Structure):
    _fields_ = [("isLong", ctypes.c_uint8), ("polling", ctypes.c_uint8), ("unique", ctypes.c_uint8 * _LONG_ADDRESS)]


class _Options(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int32) for n in ("timeoutMs", "retries", "busyRetries", "busyBackoffMs", "secondary",
                                             "preambles")]


class _Reply(ctypes.Structure):
    _fields_ = [("result", ctypes.c_int32), ("judged", ctypes.c_int32), ("attempts", ctypes.c_int32),
                ("size", ctypes.c_uint32), ("responseCode", ctypes.c_uint8), ("deviceStatus", ctypes.c_uint8),
                ("data", ctypes.c_uint8 * MAX_DATA)]


class _Frame(ctypes.Structure):
    _fields_ = [("address", _Address), ("command", ctypes.c_uint8), ("responseCode", ctypes.c_uint8),
                ("deviceStatus", ctypes.c_uint8), ("size", ctypes.c_uint32), ("data", ctypes.c_uint8 * MAX_DATA)]


class _Field(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("kind", ctypes.c_int32), ("size", ctypes.c_uint32),
                ("number", ctypes.c_double), ("text", ctypes.c_char * _FIELD_TEXT)]


_SCAN_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32, ctypes.POINTER(_Field),
                                  ctypes.c_int32)
_FRAME_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.POINTER(_Frame))
_P = ctypes.POINTER
_i32, _vp = ctypes.c_int32, ctypes.c_void_p
set_link_prototypes({
    "TarvikHartCreate": (_vp, []),
    "TarvikHartDestroy": (None, [_vp]),
    "TarvikHartDefaultOptions": (_i32, [_P(_Options)]),
    "TarvikHartOpen": (_i32, [_vp, _i32, _i32, _P(_Options)]),
    "TarvikHartClose": (_i32, [_vp]),
    "TarvikHartCommand": (_i32, [_vp, _P(_Address), _i32, _P(ctypes.c_uint8), _i32, _P(_Reply)]),
    "TarvikHartDecode": (_i32, [_i32, _P(ctypes.c_uint8), _i32, _P(_Field), _i32, _P(_i32)]),
    "TarvikHartScanUntil": (_i32, [_vp, _i32, _i32, _i32, _SCAN_CALLBACK, _vp, _P(_i32)]),
    "TarvikHartListen": (_i32, [_vp, _i32, _FRAME_CALLBACK, _vp]),
    "TarvikHartWriteTag": (_i32, [_vp, _P(_Address), ctypes.c_char_p, ctypes.c_char_p, _P(_Reply)]),
    "TarvikHartWriteMessage": (_i32, [_vp, _P(_Address), ctypes.c_char_p, _P(_Reply)]),
    "TarvikHartWritePollingAddress": (_i32, [_vp, _P(_Address), _i32, _P(_Reply)]),
})


class LongAddress(tuple):
    """A HART device's unique long address: five bytes, written "1C:66:030401" (the first identity
    byte's six low bits, device type, device ID), as `tarvik hart scan` prints it."""
    __slots__ = ()

    def __new__(cls, data):
        data = bytes(data)
        if len(data) != _LONG_ADDRESS or data[0] > _ADDRESS_MASK:
            raise ValueError("a long address is five bytes, the first at most 0x3F, not %r" % (data,))
        return super().__new__(cls, data)

    @classmethod
    def parse(cls, text: str) -> "LongAddress":
        m = _LONG_TEXT.fullmatch(text.strip())
        if not m:
            raise ValueError("not a long address (like 1C:66:030401): %r" % text)
        return cls(bytes.fromhex("".join(m.groups())))

    device_type = property(lambda self: self[1])
    device_id = property(lambda self: (self[2] << 16) | (self[3] << 8) | self[4])

    def __str__(self) -> str:
        return "%02X:%02X:%02X%02X%02X" % tuple(self)

    def __repr__(self) -> str:
        return "LongAddress(%s)" % (str(self),)


def _fields(array, count: int) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    for f in array[:count]:
        name = f.name.decode("ascii")
        if f.kind == _INTEGER:
            out[name] = int(f.number)
        elif f.kind == _FLOAT:
            out[name] = f.number
        else:
            raw = ctypes.string_at(ctypes.addressof(f) + _Field.text.offset, f.size)  # NULs included
            out[name] = raw.decode("latin-1") if f.kind == _TEXT else raw
    if "long_address" in out:
        out["long_address"] = LongAddress(out["long_address"])
    return out


def decode(command: int, data: bytes) -> Dict[str, Any]:
    """The named values in the reply `data` of `command`, by the library's HART codec; empty for a
    command it does not decode."""
    buffer = (_Field * _MAX_FIELDS)()
    count = ctypes.c_int32(0)
    raw = (ctypes.c_uint8 * MAX_DATA).from_buffer_copy(bytes(data).ljust(MAX_DATA, b"\0"))
    rc = link_library().TarvikHartDecode(command, raw, len(data), buffer, _MAX_FIELDS, ctypes.byref(count))
    if rc != Result.Ok:
        raise TarvikError("TarvikHartDecode", rc)
    return _fields(buffer, count.value)


@dataclass(frozen=True)
class HartReply:
    """A device's reply: the command, its data bytes (always), `values` decoded where the command
    is a universal one (also readable as attributes: `reply.pv`), and the status: `status.result`
    is Ok, DeviceStatus (a condition flagged: the values are valid) or, for `command()` only,
    ErrorReply (the device refused: `response_code`)."""
    command: int
    data: bytes
    values: Dict[str, Any]
    status: Status
    attempts: int = 1

    response_code = property(lambda self: self.status.status1)
    device_status = property(lambda self: self.status.status2)

    def __getattr__(self, name: str) -> Any:
        values = self.__dict__.get("values", {})
        if name in values:
            return values[name]
        raise AttributeError("%s has no value %r (it has: %s)" % (type(self).__name__, name, ", ".join(values)))


@dataclass(frozen=True)
class FoundDevice:
    """A device a scan found: its polling address, long address and identity (command 0's values)."""
    polling: int
    address: LongAddress
    identity: Dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class BurstFrame:
    """A frame a device in burst mode sent: its sender (polling address or LongAddress), command,
    status bytes, data and the values decoded where the command is a universal one."""
    sender: Union[int, LongAddress]
    command: int
    response_code: int
    device_status: int
    data: bytes
    values: Dict[str, Any]


_AddressArgument = Union[int, str, LongAddress, Address]
_LISTEN_SLICE_S = 0.1  # listen in slices this long: Ctrl-C is seen between them when no frame comes


@contextlib.contextmanager
def _interruptible() -> Iterator[threading.Event]:
    """Ctrl-C during a call into the library whose callbacks run Python: the signal only sets the
    event (the callbacks and the slices of the call look at it and end the call), and once the call
    is over the previous handler has its turn (the default raises KeyboardInterrupt in the caller).
    Left as it is outside the main thread, or when SIGINT has no Python handler."""
    interrupted = threading.Event()
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.getsignal(signal.SIGINT)
        if callable(previous):
            signal.signal(signal.SIGINT, lambda _signum, _frame: interrupted.set())
        else:
            previous = None
    try:
        yield interrupted
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
            if interrupted.is_set():
                previous(signal.SIGINT, None)


class _Line:
    """One open port with its master, shared by the transmitters on it (a multidrop line): the port
    opens once and closes with the last of them. The master serialises their calls."""
    _lock = threading.RLock()  # a transmitter collected while a line is attached detaches in the same thread
    _open: Dict[int, "_Line"] = {}

    def __init__(self, settings: Tuple[int, int, int, int, bool]):
        self.settings, self.users, self.handle = settings, 0, None

    @classmethod
    def attach(cls, settings: Tuple[int, int, int, int, bool]) -> "_Line":
        port = settings[0]
        with cls._lock:
            line = cls._open.get(port)
            if line is None:
                line = cls(settings)
                line._open_port()
                cls._open[port] = line
            elif line.settings != settings:
                raise ValueError("COM%d is open with other settings (baud, timeout_ms, retries, secondary): "
                                 "%r" % (port, line.settings[1:]))
            line.users += 1
            return line

    def _open_port(self) -> None:
        port, baud, timeout_ms, retries, secondary = self.settings
        lib = link_library()
        options = _Options()
        lib.TarvikHartDefaultOptions(ctypes.byref(options))
        options.timeoutMs, options.retries, options.secondary = timeout_ms, retries, 1 if secondary else 0
        self.handle = lib.TarvikHartCreate()
        if not self.handle:
            raise MemoryError("no memory for a HART master")
        rc = lib.TarvikHartOpen(self.handle, port, baud, ctypes.byref(options))
        if rc != Result.Ok:
            lib.TarvikHartDestroy(self.handle)
            raise TarvikError("TarvikHartOpen", rc)

    def detach(self) -> None:
        with self._lock:
            self.users -= 1
            if self.users > 0:
                return
            del self._open[self.settings[0]]
            link_library().TarvikHartDestroy(self.handle)



def _blank_checked(name: str, text: Union[str, bytes], blank: bool) -> Union[str, bytes]:
    """An empty (or all-space) text clears the device's: only when asked for by blank=True, and
    blank=True with a text is a contradiction (an unset variable is no way to clear a device)."""
    empty = isinstance(text, (str, bytes, bytearray)) and not text.strip()
    if empty and not blank:
        raise ValueError("%s is empty: that blanks the device's %s; pass blank=True to mean it" % (name, name))
    if blank and not empty:
        raise ValueError("%s: blank=True takes no text" % name)
    return text

class HartTransmitter(ConfigurationMethods):
    """Any HART device on `port` at `baud`, at `address`: a polling address 0..63 (short frames), a
    long address (LongAddress or "1C:66:030401"; long frames), or the device type and ID as the
    library's own devices give them (an Address or "66:030401": looked for at polling addresses
    0..15, waiting `timeout_ms` at each when given, then spoken to by its long address).

    Transmitters on one port share it, as the devices on a multidrop line do: the port opens with
    the first and closes with the last (close(), or the end of a `with` block). Reads raise TarvikError when
    no good reply came (ResultNoReply, ...) or the device refused (ResultErrorReply, with the
    response code and field-device status as status1/status2).
    """

    def __init__(self, port, baud: int = 1200, address: _AddressArgument = 0, *, timeout_ms: int = 0,
                 retries: int = 2, secondary: bool = False):
        self.port = check_port(port)
        self.baud = check_int32("baud", baud)  # the library judges the rate (ResultBadBaud)
        target = self._target(address)
        settings = (self.port, self.baud, check_int32("timeout_ms", timeout_ms), check_int32("retries", retries),
                    bool(secondary))
        self._line: Optional[_Line] = _Line.attach(settings)
        if isinstance(target, Address):
            target = self._search(target)
        self.address: Union[int, LongAddress] = target

    @staticmethod
    def _target(address: _AddressArgument) -> Union[int, LongAddress, Address]:
        if isinstance(address, (LongAddress, Address)):
            return address
        if isinstance(address, str):
            if _LONG_TEXT.fullmatch(address.strip()):
                return LongAddress.parse(address)
            return Address.parse(address)
        return check_integer("polling_address", address)

    def _search(self, wanted: Address) -> LongAddress:
        for d in self.scan(0, _SEARCH_LAST, wait_ms=self._line.settings[2]):  # timeout_ms, if given
            if d.address.device_type == wanted.device_type and d.address[2:] == tuple(wanted[1:]):
                return d.address
        self.close()
        raise TarvikError("HartTransmitter(address=%s)" % (str(wanted),), Result.NoReply)

    def close(self) -> None:
        """Lets go of the line: the port closes with the last transmitter on it (again: nothing)."""
        line, self._line = getattr(self, "_line", None), None
        if line:
            line.detach()

    def __enter__(self) -> "HartTransmitter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        self.close()

    def __repr__(self) -> str:
        return "HartTransmitter(port=%d, baud=%d, address=%s)" % (self.port, self.baud, self.address)

    # ---- calls -------------------------------------------------------------------------------------
    def _master(self):
        if not self._line:
            raise ValueError("the transmitter is closed")
        return self._line.handle

    def _c_address(self) -> _Address:
        a = _Address()
        if isinstance(self.address, LongAddress):
            a.isLong = 1
            a.unique[:] = list(self.address)
        else:
            a.polling = self.address
        return a

    def _reply(self, function: str, command: int, rc: int, r: _Reply, raise_refusal: bool = True) -> HartReply:
        if rc != Result.Ok:
            raise TarvikError(function, rc)
        if r.judged == Result.ErrorReply and raise_refusal:
            raise TarvikError(function, Result.ErrorReply, r.responseCode, r.deviceStatus)
        data = bytes(r.data[:r.size])
        values = decode(command, data) if r.judged != Result.ErrorReply else {}
        return HartReply(command, data, values, Status(Result(r.judged), r.responseCode, r.deviceStatus),
                         r.attempts)

    def command(self, number: int, data: bytes = b"") -> HartReply:
        """Any command 0..255 with up to 255 data bytes. Returns the reply however the device
        answered (a refusal too: look at `status.result` and `response_code`); raises TarvikError
        only when no good reply came."""
        if isinstance(number, bool) or not isinstance(number, int) or not 0 <= number <= 255:
            raise ValueError("command must be a number 0..255, not %r" % (number,))
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError("data must be bytes, not %s" % type(data).__name__)
        data = bytes(data)
        if len(data) > MAX_DATA:
            raise ValueError("data holds %d bytes: at most %d fit a command" % (len(data), MAX_DATA))
        return self._command(number, data, raise_refusal=False)

    def _command(self, number: int, data: bytes = b"", raise_refusal: bool = True) -> HartReply:
        r = _Reply()
        raw = (ctypes.c_uint8 * MAX_DATA).from_buffer_copy(data.ljust(MAX_DATA, b"\0"))
        address = self._c_address()
        rc = link_library().TarvikHartCommand(self._master(), ctypes.byref(address), number, raw, len(data),
                                              ctypes.byref(r))
        return self._reply("HART command %d" % number, number, rc, r, raise_refusal)

    # ---- universal reads ---------------------------------------------------------------------------
    def read_identity(self) -> HartReply:
        """Command 0: manufacturer, device_type, device_id, revisions, preambles, long_address, ..."""
        return self._command(_IDENTITY)

    def read_primary_variable(self) -> HartReply:
        """Command 1: pv and pv_unit."""
        return self._command(_PV)

    def read_loop_current(self) -> HartReply:
        """Command 2: current_ma and percent_of_range."""
        return self._command(_LOOP_CURRENT)

    def read_dynamic_variables(self) -> HartReply:
        """Command 3: current_ma, then pv, sv, tv, qv and their units as far as the device sends them."""
        return self._command(_DYNAMIC)

    def read_message(self) -> HartReply:
        """Command 12: message."""
        return self._command(_MESSAGE)

    def read_tag(self) -> HartReply:
        """Command 13: tag, descriptor and the date (day, month, year)."""
        return self._command(_TAG)

    def read_transducer_info(self) -> HartReply:
        """Command 14: transducer_serial, limits_unit, upper_limit, lower_limit, minimum_span."""
        return self._command(_TRANSDUCER)

    def read_device_info(self) -> HartReply:
        """Command 15: alarm_selection, transfer_function, range_unit, upper_range, lower_range,
        damping_s, write_protect, private_label, ..."""
        return self._command(_DEVICE_INFO)

    def read_final_assembly(self) -> HartReply:
        """Command 16: final_assembly."""
        return self._command(_FINAL_ASSEMBLY)

    def read_long_tag(self) -> HartReply:
        """Command 20: long_tag."""
        return self._command(_LONG_TAG)

    def read_additional_status(self) -> HartReply:
        """Command 48: additional_status (the device-specific bytes)."""
        return self._command(_MORE_STATUS)

    # ---- writes ------------------------------------------------------------------------------------
    def _write(self, function: str, command: int, call) -> Written:
        r = _Reply()
        address = self._c_address()
        rc = call(self._master(), ctypes.byref(address), ctypes.byref(r))
        echo = self._reply(function, command, rc, r)
        return Written(echo.status, echo)

    def write_tag(self, tag: Union[str, bytes], descriptor: Union[str, bytes, None] = None,
                  blank: bool = False) -> Written:
        """Command 18 (after 13): the tag, keeping the date and, unless given, the descriptor. `now`
        is the HartReply of what the device holds (tag, descriptor, date). An empty tag blanks the
        device's and needs blank=True."""
        tag_bytes = packed_text("tag", _blank_checked("tag", tag, blank))
        descriptor_bytes = None if descriptor is None else packed_text("descriptor", descriptor)
        return self._write("write_tag", 18, lambda m, a, r: link_library().TarvikHartWriteTag(
            m, a, tag_bytes, descriptor_bytes, r))

    def write_message(self, message: Union[str, bytes], blank: bool = False) -> Written:
        """Command 17: the message (up to 32 characters of packed text); `now` holds it as the device
        does. An empty message blanks the device's and needs blank=True."""
        text = packed_text("message", _blank_checked("message", message, blank))
        return self._write("write_message", 17, lambda m, a, r: link_library().TarvikHartWriteMessage(m, a, text, r))

    def write_polling_address(self, polling: int) -> Written:
        """Command 6: a new polling address 0..63; `now` has the polling_address the device took.
        A transmitter addressed by its polling address follows it there."""
        polling = check_integer("polling_address", polling)
        written = self._write("write_polling_address", 6,
                              lambda m, a, r: link_library().TarvikHartWritePollingAddress(m, a, polling, r))
        now = written.now.values.get("polling_address")
        if isinstance(self.address, int) and now is not None:
            self.address = now
        return written

    # ---- the line ----------------------------------------------------------------------------------
    def scan(self, first: int = 0, last: int = _SEARCH_LAST, progress: Optional[Callable[[int, Optional[FoundDevice]],
                                                                                         Any]] = None,
             wait_ms: int = 0) -> List[FoundDevice]:
        """Command 0 at polling addresses first..last (0..63): the devices that answered.
        `progress(polling, found_or_None)` hears each address as it is done. An exception in it,
        or Ctrl-C, ends the scan after that address and is raised from here."""
        first, last = check_integer("polling_address", first), check_integer("polling_address", last)
        if first > last:
            raise ValueError("the scan's first polling address %d is above its last %d" % (first, last))
        wait_ms = check_int32("wait_ms", wait_ms)
        found: List[FoundDevice] = []
        errors: List[BaseException] = []

        def heard(_context, polling, fields, count):
            try:
                device = None
                if fields:
                    identity = _fields(fields, count)
                    device = FoundDevice(polling, identity["long_address"], identity)
                    found.append(device)
                if progress:
                    progress(polling, device)
                return 0 if interrupted.is_set() else 1
            except BaseException as e:  # handed back after the scan; ctypes would only print it
                errors.append(e)
                return 0

        callback = _SCAN_CALLBACK(heard)
        with _interruptible() as interrupted:
            rc = link_library().TarvikHartScanUntil(self._master(), first, last, wait_ms, callback, None, None)
        if errors:
            raise errors[0]
        if rc != Result.Ok:
            raise TarvikError("scan", rc)
        return found

    def listen(self, seconds: float, callback: Callable[[BurstFrame], Any]) -> int:
        """Hands each burst frame to `callback` for `seconds` or until it returns False; the number
        of frames handed over. An exception in `callback`, or Ctrl-C, ends the call at once and is
        raised from here."""
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 <= seconds <= 86400 \
                or math.isnan(seconds):
            raise ValueError("seconds must be a number 0..86400, not %r" % (seconds,))
        seen: List[int] = [0]
        errors: List[BaseException] = []

        def heard(_context, frame):
            try:
                f = frame.contents
                a = f.address
                sender = LongAddress(bytes(a.unique)) if a.isLong else a.polling
                data = bytes(f.data[:f.size])
                seen[0] += 1
                more = callback(BurstFrame(sender, f.command, f.responseCode, f.deviceStatus, data,
                                           decode(f.command, data)))
                if more is False:
                    stopped[0] = True
                return 0 if stopped[0] or interrupted.is_set() else 1
            except BaseException as e:
                errors.append(e)
                return 0

        on_frame = _FRAME_CALLBACK(heard)
        stopped = [False]
        rc = Result.Ok
        end = time.monotonic() + seconds
        with _interruptible() as interrupted:
            while rc == Result.Ok and not (errors or stopped[0] or interrupted.is_set()):
                left = end - time.monotonic()
                if left <= 0:
                    break
                rc = link_library().TarvikHartListen(self._master(), max(1, int(min(left, _LISTEN_SLICE_S) * 1000)),
                                                     on_frame, None)
        if errors:
            raise errors[0]
        if rc != Result.Ok:
            raise TarvikError("listen", rc)
        return seen[0]
