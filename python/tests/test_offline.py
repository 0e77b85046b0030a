"""What the package decides without a device: the header agreement, float patterns, decoding texts,
addresses, argument checks and the exception's contents."""
import math
import os
import pickle
import re
import struct
import unittest

import tarvik
from tarvik import _library
from tarvik.results import check_int32, signed32

from .support import HEADER, PortDir, skip_or_fail

_TYPE_CODES = {"int32_t": "i", "uint8_t": "B", "char": "c", "float": "f"}


def header_text() -> str:
    if not os.path.isfile(HEADER):
        skip_or_fail("header not found: " + HEADER)
    with open(HEADER, encoding="utf-8") as f:
        return f.read()


def header_prototypes(text: str) -> dict:
    protos = {}
    for m in re.finditer(r"TARVIK_API\s+int32_t\s+TARVIK_CALL\s+(\w+)\s*\(([^)]*)\)", text):
        codes = []
        for arg in m.group(2).split(","):
            t = re.match(r"\s*(const\s+)?(\w+)\s*(\*?)", arg)
            const, base, ptr = t.groups()
            code = _TYPE_CODES[base]
            if const and base == "char":
                code = "C"
            codes.append(("*" if ptr else "") + code)
        protos[m.group(1)] = " ".join(codes)
    return protos


def header_results(text: str) -> dict:
    enum_body = re.search(r"enum\s+TarvikResult\s*\{(.*?)\};", text, re.S).group(1)
    enum_body = re.sub(r"/\*.*?\*/", "", enum_body, flags=re.S)
    return {name: int(value) for name, value in re.findall(r"(Result\w+)\s*=\s*(-?\d+)", enum_body)}


class HeaderAgreement(unittest.TestCase):
    def test_every_export_has_the_header_prototype(self):
        self.assertEqual(header_prototypes(header_text()), _library.PROTOTYPES)

    def test_thirty_six_exports(self):
        self.assertEqual(len(_library.PROTOTYPES), 36)

    def test_result_codes_match_the_header(self):
        from_header = header_results(header_text())
        ours = {"Result" + r.name: r.value for r in tarvik.Result}
        self.assertEqual(from_header, ours)


class FloatPatterns(unittest.TestCase):
    CASES = [
        (50.0, 0x42480000),
        (-999.0, 0xC479C000),
        (0.0, 0x00000000),
        (-0.0, 0x80000000),
        (1.0, 0x3F800000),
        (float("inf"), 0x7F800000),
        (float("-inf"), 0xFF800000),
    ]

    def test_both_ways(self):
        for value, raw in self.CASES:
            with self.subTest(value=value):
                self.assertEqual(tarvik.raw_from_float(value), raw)
                back = tarvik.float_from_raw(raw)
                self.assertEqual(back, value)
                self.assertEqual(math.copysign(1, back), math.copysign(1, value))

    def test_nan_and_rounding(self):
        self.assertTrue(math.isnan(tarvik.float_from_raw(0x7FC00000)))
        self.assertTrue(math.isnan(tarvik.float_from_raw(tarvik.raw_from_float(float("nan")))))
        # 0.1 is not a single-precision number: the nearest one comes back.
        self.assertEqual(tarvik.raw_from_float(0.1), 0x3DCCCCCD)
        self.assertAlmostEqual(tarvik.float_from_raw(0x3DCCCCCD), 0.1, places=7)

    def test_signed_library_values_are_accepted(self):
        # The library hands patterns as signed 32-bit integers.
        self.assertEqual(tarvik.float_from_raw(signed32(0xC479C000)), -999.0)
        self.assertEqual(signed32(0xC479C000), -(0x100000000 - 0xC479C000))

    def test_beyond_single_precision_is_refused(self):
        with self.assertRaises(OverflowError):
            tarvik.raw_from_float(1e39)


class Decoding(unittest.TestCase):
    """The texts the command-line tool prints for the same codes."""

    def test_unit_names_and_symbols(self):
        cases = [
            (17, "liters per minute", "l/min"),
            (7, "bars", "bar"),
            (0, "no unit", "unit 0"),
            (241, "manufacturer-specific unit 241", "unit 241"),
            (175, "depends on the variable's classification unit 175", "unit 175"),
            (254, "reserved unit 254", "unit 254"),
        ]
        for code, name, symbol in cases:
            with self.subTest(code=code):
                self.assertEqual(tarvik.unit_name(code), name)
                self.assertEqual(tarvik.unit_symbol(code), symbol)

    def test_unit_code_by_text(self):
        self.assertEqual(tarvik.unit_code("l/min"), 17)
        self.assertEqual(tarvik.unit_code("LITERS PER MINUTE"), 17)
        self.assertEqual(tarvik.unit_code("0x11"), 17)
        self.assertEqual(tarvik.unit_code("17"), 17)
        self.assertIsNone(tarvik.unit_code("furlongs"))
        self.assertIsNone(tarvik.unit_code("+17"))

    def test_status_bytes(self):
        self.assertEqual(tarvik.status2_meanings(0x00), [])
        self.assertEqual(tarvik.status2_meanings(0x81), ["device malfunction", "primary variable out of limits"])
        self.assertEqual(tarvik.status1_meanings(0), [])
        self.assertEqual(tarvik.status1_meanings(7), ["in write-protect mode (7)"])
        self.assertEqual(tarvik.status1_meanings(99), ["command-specific response code 99"])
        self.assertEqual(tarvik.status1_meanings(0xC0), ["communication error", "vertical parity error"])

    def test_device_status_is_a_flag(self):
        warn = tarvik.Status(tarvik.Result.DeviceStatus, 0, 0x10)
        clean = tarvik.Status(tarvik.Result.Ok, 0, 0x40)
        self.assertTrue(warn.device_status)
        self.assertFalse(clean.device_status)
        self.assertEqual(clean.conditions, ["configuration changed"])
        self.assertEqual(tarvik.Status(tarvik.Result.Ok, None, None).conditions, [])


class Addresses(unittest.TestCase):
    def test_text_form(self):
        a = tarvik.Address.parse("64:010203")
        self.assertEqual((a.device_type, a.id_high, a.id_mid, a.id_low), (0x64, 1, 2, 3))
        self.assertEqual(str(a), "64:010203")
        self.assertEqual(tarvik.Address.parse(" 6a:ABcdEF "), tarvik.Address(0x6A, 0xAB, 0xCD, 0xEF))

    def test_bad_addresses(self):
        for text in ("64:0102", "64010203", "zz:010203", "", "64:01020304"):
            with self.subTest(text=text), self.assertRaises(ValueError):
                tarvik.Address.parse(text)
        for args in ((256, 0, 0, 0), (0, -1, 0, 0), (0, 0, 0, 1.5), (True, 0, 0, 0)):
            with self.subTest(args=args), self.assertRaises(ValueError):
                tarvik.Address(*args)


class Arguments(unittest.TestCase):
    def test_int32_slots(self):
        self.assertEqual(check_int32("x", -(1 << 31)), -(1 << 31))
        self.assertEqual(check_int32("x", (1 << 31) - 1), (1 << 31) - 1)
        with self.assertRaises(ValueError):
            check_int32("port", 1 << 31)
        with self.assertRaises(TypeError):
            check_int32("port", "3")
        with self.assertRaises(TypeError):
            check_int32("port", 3.0)
        with self.assertRaises(ValueError):
            tarvik.ReadoutUnit(1 << 40)

    def test_set_points_beyond_single_precision(self):
        # Refused before the library is called: they would otherwise travel as infinity.
        with self.assertRaises(OverflowError):
            tarvik.ReadoutUnit(3).write_set_point(1, 1e39)
        with self.assertRaises(OverflowError):
            tarvik.HartDevice(3, 9600, "64:010203").write_set_point(-1e39)


class BadValues(unittest.TestCase):
    """Bad values raise TypeError or ValueError with the package's own message, naming the argument,
    before the library is called, alike for the HART and the 0731 classes. (The library is not
    needed: nothing here reaches it.)"""

    def test_refused_with_our_message(self):
        hart = tarvik.HartDevice(3, 9600, "64:010203")
        unit = tarvik.ReadoutUnit(5)
        cases = [
            # what, call, exception, words the message must hold
            ("port text", lambda: tarvik.HartDevice("ttyS0", 9600, "64:010203"), ValueError, "port"),
            ("port text, 0731", lambda: tarvik.ReadoutUnit("COM"), ValueError, "port"),
            ("port None", lambda: tarvik.HartDevice(None, 9600, "64:010203"), TypeError, "port"),
            ("port float, 0731", lambda: tarvik.ReadoutUnit(3.0), TypeError, "port"),
            ("port bool", lambda: tarvik.ReadoutUnit(True), TypeError, "port"),
            ("port beyond 32 bits", lambda: tarvik.read_tag(1 << 40, 9600), ValueError, "port"),
            ("baud text", lambda: tarvik.HartDevice(3, "fast", "64:010203"), TypeError, "baud"),
            ("address number", lambda: tarvik.HartDevice(3, 9600, 0x64010203), TypeError, "address"),
            ("address of three bytes", lambda: tarvik.HartDevice(3, 9600, (0x64, 1, 2)), TypeError, "address"),
            ("address bytes", lambda: tarvik.Address.parse(b"64:010203"), TypeError, "address"),
            ("set point text", lambda: hart.write_set_point("40"), TypeError, "setpoint"),
            ("set point None, 0731", lambda: unit.write_set_point(1, None), TypeError, "setpoint"),
            ("set point text, 0731", lambda: unit.write_set_point(1, "12.5"), TypeError, "setpoint"),
            ("set point beyond float", lambda: hart.write_set_point(1e39), ValueError, "single-precision"),
            ("set point beyond float, 0731", lambda: unit.write_set_point(1, -1e39), ValueError,
             "single-precision"),
            ("set point huge int", lambda: hart.write_set_point(10 ** 400), ValueError, "single-precision"),
            ("raw pattern text", lambda: hart.write_set_point(0.0, raw="0x42480000"), TypeError, "raw"),
            ("raw pattern beyond 32 bits", lambda: hart.write_set_point(0.0, raw=1 << 32), ValueError, "raw"),
            ("unit text", lambda: hart.write_set_point(1.0, unit="57"), ValueError, "unit"),
            ("gas text", lambda: hart.read_gas_data("1"), TypeError, "gas"),
            ("channel text, 0731", lambda: unit.read_process_variable("1"), TypeError, "channel"),
            ("channel beyond 32 bits, 0731", lambda: unit.write_vor_state(1 << 33, 0), ValueError, "channel"),
            ("state float", lambda: hart.write_vor_state(1.0), TypeError, "state"),
            ("state float, 0731", lambda: unit.write_vor_state(1, 1.0), TypeError, "state"),
            ("state name", lambda: hart.write_totalizer_state("paused"), ValueError, "state"),
            ("tag number", lambda: tarvik.read_device_id(3, 9600, tag=12345678), TypeError, "tag"),
            ("tag not Latin-1", lambda: tarvik.read_device_id(3, 9600, tag="FT-\u20ac"), ValueError, "tag"),
            ("protect text None", lambda: hart.write_protect(None, 1), TypeError, "text"),
            ("places text, 0731", lambda: unit.write_decimal_place(1, "2"), TypeError, "places"),
            ("digits float, 0731", lambda: unit.write_set_point(1, 1.0, digits=2.0), TypeError, "digits"),
            ("raw_from_float text", lambda: tarvik.raw_from_float("1.0"), TypeError, "value"),
            ("float_from_raw float", lambda: tarvik.float_from_raw(1.5), TypeError, "raw"),
            ("unit name of text", lambda: tarvik.unit_name("17"), TypeError, "unit code"),
            ("unit symbol beyond a byte", lambda: tarvik.unit_symbol(300), ValueError, "unit code"),
            ("unit code of a number", lambda: tarvik.unit_code(17), TypeError, "unit"),
            ("status bits of None", lambda: tarvik.status2_meanings(None), TypeError, "status2"),
            ("status1 beyond a byte", lambda: tarvik.status1_meanings(-1), ValueError, "status1"),
        ]
        for what, call, kind, words in cases:
            with self.subTest(what):
                with self.assertRaises(kind) as ctx:
                    call()
                self.assertIs(type(ctx.exception).__module__.split(".")[0] in ("builtins", "tarvik"), True)
                self.assertNotIsInstance(ctx.exception, struct.error)
                self.assertIn(words, str(ctx.exception))

    def test_out_of_range_is_also_an_overflow(self):
        # Callers that caught OverflowError before keep working.
        with self.assertRaises(OverflowError):
            tarvik.raw_from_float(-1e39)
        self.assertTrue(issubclass(tarvik.OutOfRangeError, ValueError))

    def test_ports_by_number_and_name(self):
        for port in (3, "COM3", "com3", " COM3", "\\\\.\\COM3", "\\\\.\\com3"):
            with self.subTest(port=port):
                self.assertEqual(tarvik.HartDevice(port, 9600, "64:010203").port, 3)
                self.assertEqual(tarvik.ReadoutUnit(port).port, 3)
        # The library judges the number: COM0 and COM41 are ResultBadPort there, not here.
        self.assertEqual(tarvik.ReadoutUnit("COM41").port, 41)


class PortListing(unittest.TestCase):
    """tarvik.ports() by the library's rules for a port directory."""

    def setUp(self):
        self.ports = PortDir()

    def tearDown(self):
        self.ports.close()

    def test_com_entries_of_the_directory(self):
        d = self.ports.path
        os.symlink("/dev/null", os.path.join(d, "COM12"))
        os.symlink(os.path.join(d, "gone"), os.path.join(d, "COM3"))  # a dangling link is still listed
        for name in ("COM0", "COM41", "COMX", "com5", "COM7.bak", "README"):
            open(os.path.join(d, name), "w").close()
        found = tarvik.ports()
        self.assertEqual([(p.number, p.name) for p in found], [(3, "COM3"), (12, "COM12")])
        self.assertEqual(found[1].path, os.path.join(d, "COM12"))
        self.assertEqual(found[1].target, "/dev/null")
        self.assertIsNone(found[0].target)

    def test_missing_directory_lists_nothing(self):
        os.environ["TARVIK_PORT_DIR"] = os.path.join(self.ports.path, "missing")
        self.assertEqual(tarvik.ports(), [])


class Errors(unittest.TestCase):
    def test_name_meaning_and_hint(self):
        e = tarvik.TarvikError("ReadFlow", -11)
        self.assertEqual((e.code, e.name, e.result), (-11, "ResultNoReply", tarvik.Result.NoReply))
        self.assertTrue(e.meaning)
        self.assertIn("ReadFlow: ResultNoReply (-11)", str(e))
        self.assertIsNone(e.status1)

    def test_status_bytes_in_the_message(self):
        e = tarvik.TarvikError("WriteSetPoint", -14, 7, 0x40)
        self.assertIn("in write-protect mode (7)", str(e))
        self.assertIn("configuration changed", str(e))

    def test_unknown_code(self):
        e = tarvik.TarvikError("ReadFlow", -7324)
        self.assertIsNone(e.result)
        self.assertIn("-7324", str(e))

    def test_pickles(self):
        e = pickle.loads(pickle.dumps(tarvik.TarvikError("ReadTAG", -14, 1, 2)))
        self.assertEqual((e.function, e.code, e.status1, e.status2), ("ReadTAG", -14, 1, 2))


class Loading(unittest.TestCase):
    def test_missing_library_names_what_was_tried(self):
        old = os.environ.get(_library.ENV_LIBRARY)
        os.environ[_library.ENV_LIBRARY] = "/nonexistent/libtarvik.so.1"
        try:
            with self.assertRaises(tarvik.LibraryNotFoundError) as ctx:
                _library._load()
            self.assertIn("/nonexistent/libtarvik.so.1", str(ctx.exception))
            self.assertIn(_library.ENV_LIBRARY, str(ctx.exception))
        finally:
            if old is None:
                del os.environ[_library.ENV_LIBRARY]
            else:
                os.environ[_library.ENV_LIBRARY] = old


if __name__ == "__main__":
    unittest.main()
