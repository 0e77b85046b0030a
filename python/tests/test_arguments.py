"""The shared argument table and the Python package: the rows the table gives (the same rule as the
command line's test derives them by) are refused or taken as it says, a refused value never
reaches a device, and every value the table takes round-trips through the simulated device."""
import random
import struct
import unittest

import tarvik
from tarvik import arguments
from tarvik.facts import facts

from .support import (PortDir, ScriptedDevice, SimulatorTestCase, library_available, link_library_available,
                      skip_or_fail)

WRAP = 256  # a value one byte higher: it used to reach the device as the byte below


def rows_from_table():
    """(argument, value, accepted): the table's boundaries, the values just outside, a value that
    wraps into a byte, and the number and text cases of its rules."""
    rows = []
    for e in facts().arguments["list"]:
        s = arguments.argument(e["name"])
        if s.kind == "range":
            rows += [(s.name, v, True) for v in (s.first, s.last)]
            rows += [(s.name, v, False) for v in (s.first - 1, s.last + 1, s.first + WRAP)]
        elif s.kind == "codes":
            codes = facts().codes(s.codes)
            rows += [(s.name, name, True) for name in codes.values()]
            rows += [(s.name, v, False) for v in (max(codes) + 1, WRAP + max(codes), "0x1")]
        elif s.kind == "unit":
            reserved = next(c for c in range(WRAP) if facts().unit(c) is None and
                            not any(a <= c <= b for a, b, _ in facts().unit_ranges))
            rows += [(s.name, v, False) for v in (reserved, WRAP + 19, "furlongs", 99999999999)]
        elif s.kind == "number" and s.min is not None:
            step = (s.max - s.min) / 100
            rows += [(s.name, v, True) for v in (s.min, s.max)]
            rows += [(s.name, v, False) for v in (s.min - step, s.max + step, float("nan"), 1e39)]
        elif s.kind == "number":
            rows += [(s.name, v, True) for v in (0.0, -2.5, 40.0, 3.4e38, 1.2e-38)]
            rows += [(s.name, v, False) for v in (float("nan"), float("inf"), float("-inf"), 1e-50, 1e39, 1e110)]
        else:
            rows += [(s.name, "FT-103", True), (s.name, "A" * s.length, True)]
            rows += [(s.name, v, False) for v in ("secret12", "S\u00c9CRET1", "A" * (s.length + 1))]
    return rows


class TableRows(unittest.TestCase):
    def test_every_row_is_judged_as_the_table_says(self):
        check = {"range": arguments.check_integer, "codes": arguments.check_integer,
                 "unit": arguments.check_integer, "number": arguments.check_number, "text": arguments.packed_text}
        for name, value, accepted in rows_from_table():
            with self.subTest(argument=name, value=value):
                call = check[arguments.argument(name).kind]
                if accepted:
                    call(name, value)
                else:
                    with self.assertRaises((ValueError, TypeError)) as ctx:
                        call(name, value)
                    self.assertTrue(str(ctx.exception).startswith(name + " "), str(ctx.exception))

    def test_texts_are_padded_and_refusals_say_which_character(self):
        self.assertEqual(arguments.packed_text("tag", "FT-103"), b"FT-103  ")
        with self.assertRaisesRegex(ValueError, "character 1 's'.*write 'S'"):
            arguments.packed_text("protect_text", "secret12")
        with self.assertRaisesRegex(ValueError, "character 2 '\u00c9'"):
            arguments.packed_text("tag", "S\u00c9")


COM_HART, COM_UNIT, BAUD = 7, 8, 2400


class NothingReachesTheDevice(unittest.TestCase):
    """Every refused row, through every method that takes the argument, against scripted devices
    that record each request: none arrives."""

    @classmethod
    def setUpClass(cls):
        if not library_available():
            skip_or_fail("the Tarvik library cannot be loaded (set TARVIK_LIBRARY)")

    def setUp(self):
        self.ports = PortDir()
        self.hart = ScriptedDevice(self.ports.path, COM_HART, "hart")
        self.line = ScriptedDevice(self.ports.path, COM_UNIT, "line")

    def tearDown(self):
        if getattr(self, "_transmitter", None):
            self._transmitter.close()
        self.hart.close()
        self.line.close()
        self.ports.close()

    def transmitter(self):
        """A generic HART device on the same port, by its long address (long frames, which the
        scripted device records); opened once, None without the link library."""
        if not hasattr(self, "_transmitter"):
            self._transmitter = tarvik.HartTransmitter(COM_HART, BAUD, "1C:66:030601") \
                if link_library_available() else None
        return self._transmitter

    def calls(self, name):
        table_names = ("state", "totalizer_state", "mode", "setpoint_unit", "flow_unit", "pressure_unit", "unit_data2",
                       "gas", "application", "channel", "places", "digits", "setpoint", "tag", "protect_text")
        dev, unit = tarvik.HartDevice(COM_HART, BAUD, "64:010203"), tarvik.ReadoutUnit(COM_UNIT)
        xmt = self.transmitter()
        generic = {
            "tag": [lambda v: xmt.write_tag(v)],
            "descriptor": [lambda v: xmt.write_tag("TT-1", v)],
            "message": [lambda v: xmt.write_message(v)],
            "polling_address": [lambda v: tarvik.HartTransmitter(COM_HART, BAUD, v), lambda v: xmt.scan(v, v),
                                lambda v: xmt.write_polling_address(v)],
            "range_value": [lambda v: xmt.set_range(v, 0.0, "degC"), lambda v: xmt.set_range(100.0, v, "degC")],
            "pv_unit": [xmt.set_unit, lambda v: xmt.set_range(100.0, 0.0, v)],
            "damping": [xmt.set_damping],
            "loop_current": [xmt.loop_test],
            "measured_current": [xmt.trim_zero, xmt.trim_gain],
            "transfer_function": [xmt.set_transfer_function],
            "variable_unit": [lambda v: xmt.set_variable_unit(1, v)],
            "device_variable": [lambda v: xmt.set_variable_unit(v, "degC"), lambda v: xmt.set_assignments(0, 1, 2, v),
                                lambda v: xmt.read_variables([v]), lambda v: xmt.burst_set(variables=[v])],
            "preambles": [xmt.set_preambles],
            "burst_period": [lambda v: xmt.burst_set(period_s=v)],
            "burst_command": [lambda v: xmt.burst_set(command=v)],
            "burst_message": [lambda v: xmt.burst_set(message=v), xmt.burst_off],
            "trigger_mode": [lambda v: xmt.burst_set(trigger=v, trigger_unit="degC")],
            "trigger_level": [lambda v: xmt.burst_set(trigger="rising", level=v, trigger_unit="degC")],
        } if xmt is not None else {}
        if xmt is None:
            generic = {e["name"]: [] for e in facts().arguments["list"] if e["name"] not in table_names}
        table = {
            "state": [dev.write_vor_state, lambda v: unit.write_vor_state(1, v)],
            "totalizer_state": [dev.write_totalizer_state],
            "mode": [lambda v: dev.write_protect("SECRET12", v)],
            "setpoint_unit": [lambda v: dev.write_set_point(10.0, unit=v)],
            "flow_unit": [dev.select_flow_unit],
            "pressure_unit": [dev.select_pressure_unit],
            "unit_data2": [lambda v: dev.select_flow_unit(19, v)],
            "gas": [dev.select_gas_number, dev.read_gas_data, dev.read_process_gas_type],
            "application": [dev.select_pressure_application, dev.read_full_scale_range_pressure],
            "channel": [unit.read_process_variable, lambda v: unit.write_set_point(v, 5.0)],
            "places": [lambda v: unit.write_decimal_place(1, v)],
            "digits": [lambda v: unit.write_set_point(1, 5.0, digits=v)],
            "setpoint": [dev.write_set_point, lambda v: unit.write_set_point(1, v)],
            "tag": [lambda v: tarvik.read_device_id(COM_HART, BAUD, tag=v)],
            "protect_text": [lambda v: dev.write_protect(v, 0)],
        }
        return generic[name] + table.get(name, []) if name in generic else table[name]

    def test_refused_rows_send_nothing(self):
        for name, value, accepted in rows_from_table():
            if accepted:
                continue
            for call in self.calls(name):
                with self.subTest(argument=name, value=value):
                    with self.assertRaises((ValueError, TypeError)):
                        call(value)
        xmt = self.transmitter()
        if xmt:
            # A text that would blank the device's needs blank=True (and blank=True takes no text).
            for call in (lambda: xmt.write_tag(""), lambda: xmt.write_message("  "),
                         lambda: xmt.write_message("X", blank=True)):
                with self.assertRaises(ValueError):
                    call()
            self._transmitter.close()  # the port is the library's again
        self.assertEqual((self.hart.requests, self.line.requests), ([], []))
        # The devices do record what reaches them.
        with self.assertRaises(tarvik.TarvikError):
            tarvik.HartDevice(COM_HART, BAUD, "64:010203").select_gas_number(1)
        self.assertEqual(len(self.hart.requests), 1)


class RoundTrip(SimulatorTestCase):
    """Property: values the table takes reach the simulated device unchanged (it keeps what it
    takes; what it refuses it refuses with its own response code, not through a wrapped byte)."""
    SEED = 21
    ARGS = ["--flow", "3:38400", "--readout", "5"]
    COMS = [3, 5]

    def test_accepted_values_come_back_as_sent(self):
        rnd = random.Random(self.SEED)
        dev, unit = tarvik.HartDevice(3, 38400, "64:010203"), tarvik.ReadoutUnit(5)
        # Set points: single-precision values over the percent range the device takes, bit for bit.
        for _ in range(12):
            value = struct.unpack(">f", struct.pack(">f", rnd.uniform(0.0, 100.0)))[0]
            now = dev.write_set_point(value).now
            self.assertEqual(now.percent_raw, tarvik.raw_from_float(value), value)
        for code in facts().codes("vor_states"):
            self.assertEqual(dev.write_vor_state(code).now.code, code)
        for code, name in facts().codes("totalizer_states").items():
            before = dev.read_totalizer_state().code
            # A reset is an action: the device keeps counting as it did, and says so.
            self.assertEqual(dev.write_totalizer_state(code).now.code, before if name == "reset" else code)
        dev.write_totalizer_state("stop")
        dev.write_vor_state("normal")
        # The 0731: every channel and every number of decimals the table takes.
        first, last = arguments.argument("channel").first, arguments.argument("channel").last
        for channel in range(first, last + 1):
            unit.write_decimal_place(channel, arguments.argument("places").last)  # it reads back with its places
            for digits in range(arguments.argument("digits").first, arguments.argument("digits").last + 1):
                value = round(rnd.uniform(1.0, 9.0), digits)
                self.assertAlmostEqual(unit.write_set_point(channel, value, digits=digits), value, places=digits)
        for places in range(arguments.argument("places").first, arguments.argument("places").last + 1):
            self.assertEqual(unit.write_decimal_place(2, places), places)
        # A protect text of the packed alphabet locks and unlocks with the same text.
        alphabet = "".join(chr(c) for c in range(facts().arguments["text"]["first"],
                                                  facts().arguments["text"]["last"] + 1))
        key = "".join(rnd.choice(alphabet) for _ in range(arguments.argument("protect_text").length - 1))
        self.assertEqual(dev.write_protect(key, "on").result, tarvik.Result.Ok)
        self.assertEqual(dev.write_protect(key, "off").result, tarvik.Result.Ok)
        self.assertEqual(dev.write_vor_state("normal").now.name, "normal")  # writable again


if __name__ == "__main__":
    unittest.main()
