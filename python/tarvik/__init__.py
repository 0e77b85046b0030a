"""Python interface to the Tarvik library (libtarvik.so.1 / TarvikDLL.dll).

    import tarvik
    dev = tarvik.HartDevice.find(port=3, baud=19200)   # ReadDeviceID
    r = dev.read_flow()                                # ReadFlow
    print(r.value, r.unit_symbol, r.device_status)
    unit = tarvik.ReadoutUnit(port=4)
    unit.write_set_point(1, 12.5, digits=2)            # WriteSetPoint_0731

Failures raise TarvikError (code, name, meaning, hint); bad arguments raise TypeError or ValueError
before the library is called: what each writable argument may be is the shared argument table
(`tarvik.arguments`), the one the command-line tool and the gateway use too. Writes read the value
back where a command reads it: `dev.write_vor_state("open").now` is the State the device holds. ResultDeviceStatus is not a failure: the values are valid and
`status.device_status` is True. Ports are COM numbers 1..40 (3, "COM3" or "\\\\.\\COM3"); on Linux
they are $TARVIK_PORT_DIR/COM<n> or /dev/ttyS<n-1>; `tarvik.ports()` lists them. The library is
found through $TARVIK_LIBRARY, next to this package, or the system's loader (libtarvik.so.1).

Any HART device (transmitter), on a loop or a multidrop line, through the link library
(libtarvik_link.so.1 / TarvikHart.dll, found the same way through $TARVIK_LINK_LIBRARY):
    with tarvik.HartTransmitter(port=4, baud=1200, address=0) as t:   # polling address 0
        print(t.read_primary_variable().pv, [d.address for d in t.scan(0, 15)])
        t.set_damping(2.0).now.damping_s                                # configured, read back
"""
from ._library import (ENV_LIBRARY, ENV_LINK_LIBRARY, LibraryNotFoundError, library, library_path, link_library,
                       link_library_path)
from .digital import (BAUD_RATES, SETPOINT_IN_UNITS, SETPOINT_PERCENT, TAG_LENGTH, AdditionalStatus, Address,
                      DeviceId, GasData, GasType, HartDevice, Quantity, Reading, SetPoint, Settings, State, TagInfo,
                      Written, read_device_id, read_tag)
from . import arguments
from .ports import MAX_PORT, PORT_DIR_VARIABLE, PortInfo, ports
from .facts import Facts, facts, status1_meanings, status2_meanings, unit_code, unit_name, unit_symbol
from .readout import CHANNELS, ReadoutUnit, SetPointSource
from .results import OutOfRangeError, Result, Status, TarvikError, float_from_raw, raw_from_float
from .transmitter import BurstFrame, FoundDevice, HartReply, HartTransmitter, LongAddress
from .configure import (Assignments, BurstSetup, ConfigurationRefused, DeviceVariable, MultidropError, RangeSettings,
                        WriteProtectedError)

__version__ = "1.0.0"

__all__ = [
    "ENV_LIBRARY", "ENV_LINK_LIBRARY", "LibraryNotFoundError", "library", "library_path", "link_library",
    "link_library_path",
    "BAUD_RATES", "SETPOINT_IN_UNITS", "SETPOINT_PERCENT", "TAG_LENGTH", "AdditionalStatus", "Address", "DeviceId",
    "GasData", "GasType", "HartDevice", "Quantity", "Reading", "SetPoint", "Settings", "State", "TagInfo",
    "Written", "read_device_id", "read_tag", "arguments",
    "Assignments", "BurstSetup", "ConfigurationRefused", "DeviceVariable", "MultidropError", "RangeSettings",
    "WriteProtectedError",
    "Facts", "facts", "status1_meanings", "status2_meanings", "unit_code", "unit_name", "unit_symbol",
    "CHANNELS", "ReadoutUnit", "SetPointSource",
    "MAX_PORT", "PORT_DIR_VARIABLE", "PortInfo", "ports",
    "OutOfRangeError", "Result", "Status", "TarvikError", "float_from_raw", "raw_from_float",
    "BurstFrame", "FoundDevice", "HartReply", "HartTransmitter", "LongAddress",
]
