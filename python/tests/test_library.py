"""The wrappers on the real library: arguments reach the right slots, outputs come back decoded, and
every result becomes a value, a warning flag or a TarvikError. A scripted device on a
pseudo-terminal gives exact replies."""
import struct
import unittest

import tarvik
from tarvik import Result

from .support import PortDir, ScriptedDevice, hart_reply, library_available, packed, skip_or_fail

COM = 7
BAUD = 2400  # a wait of 343 ms: room for the scripted device on a busy machine
ADDRESS = tarvik.Address(0x64, 0x01, 0x02, 0x03)


def setUpModule():
    if not library_available():
        skip_or_fail("the Tarvik library cannot be loaded (set TARVIK_LIBRARY)")


class ArgumentResults(unittest.TestCase):
    """Results the library decides before it touches a port: each becomes a TarvikError."""

    def setUp(self):
        self.ports = PortDir()  # empty: any port that gets as far as the port check is absent
        self.dev = tarvik.HartDevice(COM, BAUD, ADDRESS)
        self.unit = tarvik.ReadoutUnit(COM)

    def tearDown(self):
        self.ports.close()

    def test_codes(self):
        cases = [
            (lambda: tarvik.HartDevice(0, BAUD, ADDRESS).read_flow(), Result.BadPort),
            (lambda: tarvik.HartDevice(41, BAUD, ADDRESS).read_flow(), Result.BadPort),
            (lambda: tarvik.HartDevice(COM, 14400, ADDRESS).read_flow(), Result.BadBaud),
            (lambda: self.dev.read_flow(), Result.PortAbsent),
            # A short protect text is padded to its length: the library gets as far as the port.
            (lambda: self.dev.write_protect("SHORT", 1), Result.PortAbsent),
            (lambda: tarvik.read_tag(COM, 1000), Result.BadBaud),
            (lambda: self.unit.test_coms(), Result.PortAbsent),
            (lambda: tarvik.ReadoutUnit(0).test_coms(), Result.BadPort),
        ]
        # Gas numbers, states, applications, channels, places and set-point units outside the
        # argument table never reach the library (test_arguments); the library's own results for
        # them are its C++ tests' part.
        for call, expected in cases:
            with self.subTest(expected=expected.name):
                with self.assertRaises(tarvik.TarvikError) as ctx:
                    call()
                self.assertEqual(ctx.exception.code, expected)
                self.assertEqual(ctx.exception.name, "Result" + expected.name)
                self.assertIsNone(ctx.exception.status1)

    def test_tag_lookup_checks_length_before_the_port(self):
        # The library would look at the tag only once the port is known; the package refuses a
        # tag that is too long before it calls the library at all.
        with self.assertRaisesRegex(ValueError, "tag 'TOOLONGTAG' has 10 characters"):
            tarvik.read_device_id(COM, BAUD, tag="TOOLONGTAG")


class HartReplies(unittest.TestCase):
    def setUp(self):
        self.ports = PortDir()
        self.device = ScriptedDevice(self.ports.path, COM, "hart")
        self.dev = tarvik.HartDevice(COM, BAUD, "64:010203")

    def tearDown(self):
        self.device.close()
        self.ports.close()

    def test_reading_with_clean_and_device_status(self):
        for status2, result in ((0x00, Result.Ok), (0x40, Result.Ok), (0x10, Result.DeviceStatus)):
            with self.subTest(status2=status2):
                self.device.reply(hart_reply(1, 0, status2, bytes([17]) + struct.pack(">f", 50.0)))
                r = self.dev.read_flow()
                self.assertEqual((r.value, r.raw, r.unit, r.unit_symbol), (50.0, 0x42480000, 17, "l/min"))
                self.assertEqual(r.status, (result, 0, status2))
                self.assertEqual(r.device_status, result == Result.DeviceStatus)
        self.assertEqual(self.device.requests[0][5:], bytes.fromhex("82 8a 64 01 02 03 01 00") + b"\x6d")

    def test_negative_pattern_round_trips(self):
        self.device.reply(hart_reply(242, 0, 0, bytes([41]) + struct.pack(">f", -999.0)))
        r = self.dev.read_totalizer()
        self.assertEqual((r.value, r.raw, r.unit_name), (-999.0, 0xC479C000, "liters"))

    def test_error_reply_carries_the_status_bytes(self):
        self.device.reply(hart_reply(236, 7, 0x40))  # refused: write protected
        with self.assertRaises(tarvik.TarvikError) as ctx:
            self.dev.write_set_point(50.0)
        e = ctx.exception
        self.assertEqual((e.function, e.code, e.status1, e.status2), ("WriteSetPoint", Result.ErrorReply, 7, 0x40))
        self.assertIn("in write-protect mode (7)", str(e))
        # The set point went out as unit 57 and the float's pattern, most significant byte first.
        self.assertEqual(self.device.requests[0][13:18], bytes.fromhex("39 42 48 00 00"))

    def test_bad_checksum_and_no_reply(self):
        self.device.reply(hart_reply(1, 0, 0, bytes([17]) + struct.pack(">f", 1.0), bad_checksum=True))
        with self.assertRaises(tarvik.TarvikError) as ctx:
            self.dev.read_flow()
        self.assertEqual(ctx.exception.code, Result.BadChecksum)
        with self.assertRaises(tarvik.TarvikError) as ctx:
            self.dev.read_flow()  # nothing scripted: the device stays silent
        self.assertEqual(ctx.exception.code, Result.NoReply)

    def test_set_point_both_values(self):
        data = bytes([57]) + struct.pack(">f", 40.0) + bytes([17]) + struct.pack(">f", 4.0)
        self.device.reply(hart_reply(235, 0, 0, data))
        sp = self.dev.read_set_point()
        self.assertEqual((sp.percent, sp.percent_raw), (40.0, 0x42200000))
        self.assertEqual((sp.in_units.value, sp.in_units.unit), (4.0, 17))

    def test_identity_and_tag(self):
        identity = bytes([0, 0x0A, 0x64, 5, 5, 1, 1, 0, 0, 0x01, 0x02, 0x03])
        self.device.reply(hart_reply(0, 0, 0x80, identity, address=b"\x80\x00\x00\x00\x00"))
        found = tarvik.HartDevice.find(COM, BAUD)
        self.assertEqual(found.address, ADDRESS)
        # Tag "    ABCD", descriptor of 16 packed characters, date 24 12 (1900 + 125).
        packed = bytes.fromhex("82 08 20 04 20 C4") + bytes.fromhex("04 20 C4 14 61 C8") * 2
        self.device.reply(hart_reply(13, 0, 0, packed + bytes([24, 12, 125]), address=b"\x80\x00\x00\x00\x00"))
        tag = self.dev.read_tag()
        self.assertEqual((tag.tag, tag.descriptor), ("    ABCD", "ABCDEFGHABCDEFGH"))
        self.assertEqual(str(tag.date), "2025-12-24")
        self.assertEqual((tag.status.status1, tag.status.status2), (None, None))  # not written on success

    def test_tag_and_descriptor_lose_their_padding(self):
        record = packed("FT-7    ") + packed("MASS FLOW       ") + bytes([1, 1, 125])
        self.device.reply(hart_reply(13, 0, 0, record, address=b"\x80\x00\x00\x00\x00"))
        tag = tarvik.read_tag("COM%d" % COM, BAUD)
        self.assertEqual((tag.tag, tag.descriptor), ("FT-7", "MASS FLOW"))
        self.assertEqual((tag.raw_tag, tag.raw_descriptor), (b"FT-7    ", b"MASS FLOW       "))
        self.assertEqual(len(tag.record), 27)
        # The short tag finds its device: it goes out padded, as the device stores it.
        for lookup in ("FT-7", "FT-7    "):
            self.device.reply(hart_reply(11, 0, 0, bytes(12), address=b"\x80\x00\x00\x00\x00"))
            tarvik.read_device_id(COM, BAUD, tag=lookup)
        self.assertEqual(self.device.requests[1][13:19], packed("FT-7    "))
        self.assertEqual(self.device.requests[1], self.device.requests[2])

    def test_tag_lookup_request(self):
        self.device.reply(hart_reply(11, 0, 0, bytes(12), address=b"\x80\x00\x00\x00\x00"))
        tarvik.read_device_id(COM, BAUD, tag="ABCDEFGH")
        self.assertEqual(self.device.requests[0][11:19], bytes.fromhex("0B 06 04 20 C4 14 61 C8"))

    def test_additional_status_flags(self):
        self.device.reply(hart_reply(48, 0, 0, bytes([0x01, 0x80, 0x00, 0xFF])))
        st = self.dev.read_add_status()
        self.assertEqual(st.bytes, (0x01, 0x80, 0x00, 0xFF))
        self.assertEqual(st.flags[1], (False,) * 7 + (True,))
        self.assertEqual(st.set_bits[:2], ["byte 0 bit 0", "byte 1 bit 7"])

    def test_gas_data_and_name(self):
        pairs = b"".join(bytes([u]) + struct.pack(">f", v) for u, v in ((17, 10.0), (92, 1.25), (32, 0.0), (7, 1.0)))
        self.device.reply(hart_reply(151, 0, 0, b"\x03" + pairs))
        gas = self.dev.read_gas_data(3)
        self.assertEqual([(q.value, q.unit_symbol) for q in gas.values],
                         [(10.0, "l/min"), (1.25, "kg/m3"), (0.0, "degC"), (1.0, "bar")])
        self.assertEqual(self.device.requests[0][11:14], bytes([151, 1, 3]))
        self.device.reply(hart_reply(150, 0, 0, b"\x03" + b"Nitrogen    "))
        name = self.dev.read_process_gas_type(3)
        self.assertEqual((name.name, name.raw), ("Nitrogen", b"Nitrogen    "))

    def test_states_by_name(self):
        self.device.reply(hart_reply(231, 0, 0, b"\x01", byte_count=3))
        self.dev.write_vor_state("closed")
        self.assertEqual(self.device.requests[0][11:14], bytes([231, 1, 1]))
        self.device.reply(hart_reply(230, 0, 0, b"\x01", byte_count=3))
        state = self.dev.read_vor_state()
        self.assertEqual((state.code, state.name), (1, "closed"))
        with self.assertRaises(ValueError):
            self.dev.write_vor_state("half-open")

    def test_write_protect_echo(self):
        self.device.reply(hart_reply(128, 0, 0, b"\x01"))
        self.assertEqual(self.dev.write_protect("SECRET12", 1).result, Result.Ok)
        self.device.reply(hart_reply(128, 0, 0x40, b"\x00"))  # the device echoed another mode
        with self.assertRaises(tarvik.TarvikError) as ctx:
            self.dev.write_protect("SECRET12", 1)
        self.assertEqual((ctx.exception.code, ctx.exception.status2), (Result.EchoMismatch, 0x40))


class ReadoutReplies(unittest.TestCase):
    def setUp(self):
        self.ports = PortDir()
        self.device = ScriptedDevice(self.ports.path, COM, "line")
        self.unit = tarvik.ReadoutUnit(COM)

    def tearDown(self):
        self.device.close()
        self.ports.close()

    def test_values(self):
        self.device.reply(b"AZ,01,K,0,1,12.5,\r\n")
        self.assertEqual(self.unit.read_process_variable(1), 12.5)
        self.assertEqual(self.device.requests[0], b"AZ.01K\r")
        for name in ("COM%d" % COM, "\\\\.\\COM%d" % COM):  # the port by its names reaches the same device
            self.device.reply(b"AZ,01,K,0,1,2.5,\r\n")
            self.assertEqual(tarvik.ReadoutUnit(name).read_process_variable(1), 2.5)
        self.device.reply(b"AZ,02,P01,x,0.125,\r\n")
        self.assertEqual(self.unit.read_set_point(1), 0.125)
        self.device.reply(b"AZ,03,P04,x,7,\r\n")
        self.assertEqual(self.unit.read_measure_unit(2), 7)

    def test_unusable_reply_raises_instead_of_the_failure_value(self):
        self.device.reply(b"AZ,01,K,0,12.5,\r\n")  # the value in the fifth field: one comma short
        with self.assertRaises(tarvik.TarvikError) as ctx:
            self.unit.read_process_variable(1)
        self.assertEqual(ctx.exception.code, Result.BadProcessValueReply)

    def test_set_point_text_and_source(self):
        self.device.reply(b"AZ,04,P01,12.50,\r\n")
        self.unit.write_set_point(2, 12.5, digits=2)
        self.assertEqual(self.device.requests[0], b"AZ.04P01=12.50\r")
        self.device.reply(b"AZ,02,P46,1,\r\n")
        self.assertIs(self.unit.read_set_point_source(1), tarvik.SetPointSource.SERIAL)
        self.device.reply(b"AZ,I,tarvik instrument,0731,\r\n")
        self.unit.test_coms()
        self.device.reply(b"AZ,I,Other Maker,0731,\r\n")
        with self.assertRaises(tarvik.TarvikError) as ctx:
            self.unit.test_coms()
        self.assertEqual(ctx.exception.code, Result.WrongIdentity)


if __name__ == "__main__":
    unittest.main()
