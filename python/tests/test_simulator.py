"""Every wrapper against the simulator (tarvik-sim): a flow device on COM3, a pressure device on COM4,
both at 38400 bit/s, and a 0731 unit on COM5. Writes are read back."""
import unittest

import tarvik
from tarvik import Result

from .support import SimulatorTestCase

BAUD = 38400
FLOW, PRESSURE, UNIT = 3, 4, 5


class SimulatorCase(SimulatorTestCase):
    ARGS = ["--flow", "%d:%d" % (FLOW, BAUD), "--pressure", "%d:%d" % (PRESSURE, BAUD), "--readout", str(UNIT)]
    COMS = [FLOW, PRESSURE, UNIT]

    def assertRefused(self, call, code):
        with self.assertRaises(tarvik.TarvikError) as ctx:
            call()
        self.assertEqual(ctx.exception.code, code, str(ctx.exception))
        return ctx.exception


class FlowDevice(SimulatorCase):
    def setUp(self):
        self.dev = tarvik.HartDevice.find(FLOW, BAUD)

    def test_identity(self):
        self.assertEqual(str(self.dev.address), "64:010203")
        tag = self.dev.read_tag()
        self.assertEqual((tag.tag, tag.raw_tag), ("FT-103", b"FT-103  "))
        self.assertEqual(tag.descriptor, tag.raw_descriptor.decode().rstrip())
        for lookup in (tag.tag, "FT-103  ", b"FT-103  "):  # the tag as read back finds its device
            self.assertEqual(tarvik.HartDevice.find("COM%d" % FLOW, BAUD, tag=lookup).address, self.dev.address)
        self.assertIsNotNone(tag.date)

    def test_only_the_device_rate_answers(self):
        self.assertRefused(lambda: tarvik.read_device_id(FLOW, 9600), Result.NoReply)

    def test_set_point_in_percent_and_units(self):
        self.dev.select_gas_number(1)
        full_scale = self.dev.read_gas_data(1).values[0]
        self.assertEqual(self.dev.write_set_point(40.0).result, Result.Ok)
        sp = self.dev.read_set_point()
        self.assertEqual(sp.percent, 40.0)
        self.assertAlmostEqual(sp.in_units.value, 0.4 * full_scale.value, places=4)
        self.dev.write_set_point(0.2 * full_scale.value, tarvik.SETPOINT_IN_UNITS)
        self.assertAlmostEqual(self.dev.read_set_point().percent, 20.0, places=4)
        with self.assertRaises(ValueError):  # the argument table refuses it before the wire
            self.dev.write_set_point(1.0, unit=17)
        self.dev.write_set_point(0.0)

    def test_flow_unit(self):
        self.assertEqual(self.dev.read_flow().unit_symbol, "l/min")
        self.dev.select_flow_unit(tarvik.unit_code("m3/h"), 0)
        try:
            self.assertEqual(self.dev.read_flow().unit_name, "cubic meter per hour")
        finally:
            self.dev.select_flow_unit(tarvik.unit_code("l/min"), 0)

    def test_gas_table(self):
        types = [self.dev.read_process_gas_type(g) for g in range(1, 11)]
        self.assertEqual(len({t.name for t in types}), 10)
        self.assertTrue(all(len(t.raw) == 12 and t.name == t.raw.decode().rstrip() for t in types))
        for gas in (1, 10):
            data = self.dev.read_gas_data(gas)
            self.assertEqual([q.unit for q in data.values][0], tarvik.unit_code("l/min"))
            self.assertGreater(data.values[0].value, 0)
        self.dev.select_gas_number(2)
        self.dev.select_gas_number(1)
        self.assertEqual(len(self.dev.read_operational_settings().bytes), 4)

    def test_valve_override_and_totalizer(self):
        for state in ("closed", "open", "normal"):
            self.dev.write_vor_state(state)
            self.assertEqual(self.dev.read_vor_state().name, state)
        self.dev.write_totalizer_state("stop")
        self.assertEqual(self.dev.read_totalizer_state().name, "stop")
        self.dev.write_totalizer_state("run")
        total = self.dev.read_totalizer()
        self.assertEqual(total.unit_symbol, "l")
        self.assertGreaterEqual(total.value, 0.0)

    def test_additional_status(self):
        st = self.dev.read_add_status()
        self.assertEqual(len(st.bytes), 4)
        self.assertEqual(len(st.flags[0]), 8)

    def test_write_protection_refuses_writes(self):
        self.dev.write_protect("SECRET12", 1)
        try:
            e = self.assertRefused(lambda: self.dev.write_set_point(10.0), Result.ErrorReply)
            self.assertEqual(tarvik.status1_meanings(e.status1), ["in write-protect mode (7)"])
        finally:
            self.dev.write_protect("SECRET12", 0)
        self.dev.write_set_point(0.0)
        self.assertIn(self.dev.backup_database().result, (Result.Ok, Result.DeviceStatus))


class PressureDevice(SimulatorCase):
    def setUp(self):
        self.dev = tarvik.HartDevice.find(PRESSURE, BAUD)

    def test_pressure_and_applications(self):
        self.assertEqual(str(self.dev.address), "65:010204")
        p = self.dev.read_pressure()
        self.assertEqual(p.unit_symbol, "bar")
        self.assertGreater(p.value, 0)
        scales = [self.dev.read_full_scale_range_pressure(a).value for a in range(1, 7)]
        self.assertEqual(scales, [1.0, 2.0, 5.0, 10.0, 20.0, 50.0])
        self.assertEqual(self.dev.select_pressure_application(3).result, Result.Ok)
        with self.assertRaises(ValueError):
            self.dev.select_pressure_application(7)
        self.assertEqual(len(self.dev.read_operational_settings_pressure().bytes), 4)

    def test_pressure_unit(self):
        self.dev.select_pressure_unit("psi")
        try:
            self.assertEqual(self.dev.read_pressure().unit_name, "pounds per square inch")
        finally:
            self.dev.select_pressure_unit("bar")
        self.assertEqual(self.dev.read_pressure().unit, 7)


class Readout(SimulatorCase):
    def setUp(self):
        self.unit = tarvik.ReadoutUnit(UNIT)

    def test_identity_and_scales(self):
        self.unit.test_coms()
        self.assertEqual([self.unit.read_full_scale(c) for c in tarvik.CHANNELS], [100.0, 50.0, 10.0, 500.0])
        self.assertIsInstance(self.unit.read_process_variable(1), float)
        self.assertIsInstance(self.unit.read_measure_unit(1), int)
        self.assertIsInstance(self.unit.read_time_unit(1), int)

    def test_set_point_round_trip(self):
        self.unit.write_set_point(2, 12.5, digits=2)
        self.assertEqual(self.unit.read_set_point(2), 12.5)
        self.unit.write_set_point(2, 0.0)

    def test_source_places_and_valve(self):
        self.unit.write_manual_set_point_source(3)
        self.assertIs(self.unit.read_set_point_source(3), tarvik.SetPointSource.MANUAL)
        self.unit.write_serial_set_point_source(3)
        self.assertIs(self.unit.read_set_point_source(3), tarvik.SetPointSource.SERIAL)
        before = self.unit.read_decimal_place(4)
        self.unit.write_decimal_place(4, 2)
        self.assertEqual(self.unit.read_decimal_place(4), 2)
        self.unit.write_decimal_place(4, before)
        self.unit.write_vor_state(1, 0)
        with self.assertRaises(ValueError):
            self.unit.write_vor_state(1, 3)


class Faults(SimulatorCase):
    """A device that answers every request with a status-only busy reply."""
    ARGS = ["--flow", "6:%d" % BAUD, "--faults", "short=1"]
    COMS = [6]

    def test_short_reply_carries_the_status_bytes(self):
        dev = tarvik.HartDevice(6, BAUD, "64:010206")
        e = self.assertRefused(dev.read_flow, Result.ErrorReply)
        self.assertIsNotNone(e.status1)
        self.assertIn("ResultErrorReply", str(e))


if __name__ == "__main__":
    unittest.main()
