"""Any HART device through tarvik.HartTransmitter: three simulated transmitters on one multidrop
line (tarvik-sim --transmitter), found by a scan, read, written and heard in burst mode."""
import os
import signal
import subprocess
import sys
import unittest

import tarvik
from tarvik import Result

from .support import SimulatorTestCase

COM, BAUD, COUNT = 9, 19200, 3
# A child that scans or listens and says "go" once it is inside the call (listen: just before);
# the parent then sends Ctrl-C (or the callback raises): the call must end at once, not run on to
# the end of its minute.
CHILD = r"""
import sys, tarvik
mode, com, baud = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
t = tarvik.HartTransmitter(com, baud, 1, timeout_ms=1000)
def go(*_):
    print("go", flush=True)
    if mode == "raise":
        raise KeyError("from progress")
try:
    if mode == "listen":  # a quiet line: no callback comes
        go()
        t.listen(60, go)
    else:
        t.scan(0, 63, progress=go, wait_ms=1000)
except KeyError:
    print("raised", flush=True)
"""
TYPE = 0x66  # the long address's second byte
# Revision 7: the expanded device type (command 0 bytes 1-2), maker (17-18), private label (19-20).
EXPANDED_TYPE, MAKER, PRIVATE_LABEL = 0x1C66, 0x5A, 0xA5
WAIT_MS = 1000  # for a reply to start, also at each address of a scan: the machine may be loaded


def long_address(n: int) -> str:
    """The simulator's n-th transmitter (0-based) on COM: maker 1C, type 66, ID 03 <com> <n+1>."""
    return "1C:%02X:03%02X%02X" % (TYPE, COM, n + 1)


class Transmitters(SimulatorTestCase):
    ARGS = ["--transmitter", "%d:%dx%d" % (COM, BAUD, COUNT)]
    COMS = [COM]
    NEEDS_LINK = True

    def setUp(self):
        self.first = self.open(0)

    def open(self, address):
        t = tarvik.HartTransmitter(COM, BAUD, address, timeout_ms=WAIT_MS)
        self.addCleanup(t.close)
        return t

    def test_scan_finds_every_device_on_the_line(self):
        heard = []
        found = self.first.scan(0, COUNT + 2, progress=lambda p, d: heard.append((p, d is not None)),
                                wait_ms=WAIT_MS)
        self.assertEqual([(d.polling, str(d.address)) for d in found], [(n, long_address(n)) for n in range(COUNT)])
        self.assertEqual(heard, [(p, p < COUNT) for p in range(COUNT + 3)])
        self.assertEqual(found[1].identity["device_type"], EXPANDED_TYPE)

    def test_every_way_of_addressing_reaches_its_device(self):
        for address in (1, long_address(1), tarvik.LongAddress.parse(long_address(1)), "%02X:03%02X02" % (TYPE, COM)):
            with self.subTest(address=address), tarvik.HartTransmitter("COM%d" % COM, BAUD, address,
                                                                       timeout_ms=WAIT_MS) as t:
                self.assertEqual(t.read_tag().tag, "TT-%d02" % COM)
                self.assertEqual(str(t.read_identity().long_address), long_address(1))

    def test_reads_decode_the_universal_commands(self):
        t = self.first
        cases = [  # (read, command, values that must be there)
            (t.read_identity, 0, {"device_type": EXPANDED_TYPE, "manufacturer": MAKER, "private_label": PRIVATE_LABEL,
                                  "extended_status": 0, "complete": 1}),
            (t.read_primary_variable, 1, {"pv_unit"}),
            (t.read_loop_current, 2, {"current_ma", "percent_of_range"}),
            (t.read_dynamic_variables, 3, {"current_ma", "pv", "sv", "tv", "qv", "qv_unit"}),
            (t.read_message, 12, {"message"}),
            (t.read_tag, 13, {"tag": "TT-%d01" % COM, "descriptor": "PROCESS TEMP"}),
            (t.read_transducer_info, 14, {"upper_limit", "limits_unit"}),
            (t.read_device_info, 15, {"upper_range", "range_unit", "damping_s"}),
            (t.read_long_tag, 20, {"long_tag"}),
        ]
        for read, command, expected in cases:
            with self.subTest(command=command):
                reply = read()
                self.assertEqual((reply.command, reply.status.result), (command, Result.Ok))
                for key in expected:
                    self.assertIn(key, reply.values)
                    if isinstance(expected, dict):
                        self.assertEqual(getattr(reply, key), expected[key])
                raw = t.command(command)  # the same decoder behind the raw command; raw bytes always
                self.assertEqual(set(raw.values), set(reply.values))
                self.assertEqual(len(raw.data), len(reply.data))

    def test_a_refusal_is_returned_by_command_and_raised_by_reads(self):
        reply = self.first.command(200, b"\x01\x02")
        self.assertEqual((reply.status.result, reply.values), (Result.ErrorReply, {}))
        self.assertNotEqual(reply.response_code, 0)
        absent = self.open(COUNT + 5)
        with self.assertRaises(tarvik.TarvikError) as ctx:
            absent.read_tag()
        self.assertEqual(ctx.exception.code, Result.NoReply)

    def test_writes_return_what_the_device_now_holds(self):
        t = self.open(2)
        before = t.read_tag()
        self.addCleanup(t.write_tag, before.tag, before.descriptor)
        cases = [  # (write, value the echo holds, read that shows it)
            (lambda: t.write_message("CALIBRATED 2026-12-08"), "message", "CALIBRATED 2026-12-08", t.read_message),
            (lambda: t.write_tag("TT-NEW"), "tag", "TT-NEW", t.read_tag),
            (lambda: t.write_tag(b"TT-NEW2", "NEW PLACE"), "descriptor", "NEW PLACE", t.read_tag),
        ]
        for write, key, value, read in cases:
            with self.subTest(key=key, value=value):
                written = write()
                self.assertEqual((written.result, written.now.values[key]), (Result.Ok, value))
                self.assertEqual(read().values[key], value)
        self.assertEqual(t.read_tag().values["day"], before.values["day"])  # the date is kept
        # A new polling address: the transmitter follows its device there, and a scan finds it.
        self.assertEqual(t.write_polling_address(7).now.polling_address, 7)
        self.assertEqual((t.address, t.read_tag().tag), (7, "TT-NEW2"))
        self.assertIn(7, [d.polling for d in self.first.scan(0, 8, wait_ms=WAIT_MS)])
        self.assertEqual(t.write_polling_address(2).now.polling_address, 2)

    def test_burst_frames_arrive_through_listen(self):
        t = self.open(1)
        self.assertEqual(t.command(109, b"\x01").burst_mode, 1)
        self.addCleanup(t.command, 109, b"\x00")
        frames = []
        # Until three frames came (the callback says stop), at most a generous minute.
        count = t.listen(60, lambda f: frames.append(f) or len(frames) < 3)
        self.assertEqual(count, 3)
        self.assertEqual({str(f.sender) for f in frames}, {long_address(1)})
        self.assertTrue(all(f.command == 1 and "pv" in f.values for f in frames), frames)

        def broken(frame):
            raise KeyError("from the callback")
        with self.assertRaisesRegex(KeyError, "from the callback"):
            t.listen(60, broken)

    def test_ctrl_c_and_callback_errors_end_scan_and_listen_at_once(self):
        self.first.close()  # the port is the child's
        package = os.path.dirname(os.path.dirname(os.path.abspath(tarvik.__file__)))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([package, os.environ.get("PYTHONPATH", "")]))
        for mode in ("scan", "listen", "raise"):
            with self.subTest(mode=mode):
                child = subprocess.Popen([sys.executable, "-c", CHILD, mode, str(COM), str(BAUD)], env=env,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                self.assertEqual(child.stdout.readline(), "go\n")
                if mode != "raise":
                    child.send_signal(signal.SIGINT)
                try:  # a whole scan or listen takes a minute; ending at once takes well under a second
                    child.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
                    self.fail("%s ran on after Ctrl-C or its callback's exception" % mode)
                finally:
                    out, err = child.stdout.read(), child.stderr.read()  # what readline left buffered too
                    child.stdout.close()
                    child.stderr.close()
                self.assertNotIn("Exception ignored", err)
                if mode == "raise":
                    self.assertEqual((child.returncode, out), (0, "raised\n"))
                else:
                    self.assertNotEqual(child.returncode, 0)
                    self.assertIn("KeyboardInterrupt", err)


if __name__ == "__main__":
    unittest.main()


class Configuration(SimulatorTestCase):
    """Typed writes read back; the device's refusals raised as typed errors; a write-protected
    device refused before anything is sent."""
    ARGS = ["--transmitter", "%d:%dx2" % (COM + 1, BAUD), "--write-protected", "%d:1" % (COM + 1)]
    COMS = [COM + 1]
    NEEDS_LINK = True

    def open(self, address):
        t = tarvik.HartTransmitter(COM + 1, BAUD, address, timeout_ms=WAIT_MS)
        self.addCleanup(t.close)
        return t

    def test_writes_are_read_back(self):
        t = self.open(0)
        self.assertEqual(t.set_damping(2.5).now.damping_s, 2.5)
        now = t.set_range(200.0, -50.0, "degC").now
        self.assertEqual((now.unit, now.upper, now.lower), (32, 200.0, -50.0))
        self.assertEqual(t.set_transfer_function("sqrt").now.transfer_function, "sqrt")
        self.assertEqual(t.set_variable_unit(1, "K").now.unit, 35)
        self.assertEqual(t.set_assignments(3, 0, 1, 2).now, tarvik.Assignments(3, 0, 1, 2))
        self.assertEqual(t.read_variables([3])[3].classification, 64)
        setup = t.burst_set(command="vars", variables=[0, 1], period_s=2.0).now
        self.assertEqual((setup.on, setup.command, setup.variables, setup.period_s), (True, 33, [0, 1], 2.0))
        self.assertFalse(t.burst_off().now.on)
        warned = t.set_range(105.0, 100.0, "degC")  # taken, with "span too small"
        self.assertEqual((warned.status1, warned.now.upper), (14, 105.0))
        with t.fixed_current(12.0) as held:
            self.assertEqual(held.now.current_ma, 12.0)
        self.assertNotEqual(t.read_loop_current().current_ma, 12.0)

    def test_refusals_are_typed(self):
        with self.assertRaises(tarvik.ConfigurationRefused) as refused:
            self.open(0).set_range(900.0, 0.0, "degC")
        self.assertEqual(refused.exception.response_text, "upper range value too high")
        with self.assertRaises(tarvik.WriteProtectedError):
            self.open(1).set_damping(3.0)
        self.assertEqual(self.open(1).read_range().damping_s, 0.5)  # nothing written
        with self.assertRaises(tarvik.MultidropError):  # not protected from a loop test: multidrop
            self.open(1).loop_test(12.0)
