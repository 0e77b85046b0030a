"""Test support: locating the source tree and the tools, a scripted device on a pseudo-terminal, and
the simulator as a subprocess."""
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
from typing import List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("TARVIK_SOURCE_DIR", os.path.normpath(os.path.join(HERE, os.pardir, os.pardir)))
HEADER = os.environ.get("TARVIK_HEADER", os.path.join(SOURCE_DIR, "include", "TarvikDLL.h"))

# Set by the ecosystem test: missing pieces are failures there, not skips.
REQUIRE_ALL = os.environ.get("TARVIK_REQUIRE_ALL") == "1"


def skip_or_fail(reason: str):
    if REQUIRE_ALL:
        raise AssertionError(reason + " (TARVIK_REQUIRE_ALL=1)")
    raise unittest.SkipTest(reason)


def library_available() -> bool:
    import tarvik
    try:
        tarvik.library()
        return True
    except tarvik.LibraryNotFoundError:
        return False


def simulator_path() -> Optional[str]:
    env = os.environ.get("TARVIK_SIM")
    if env:
        return env
    return shutil.which("tarvik-sim")


class PortDir:
    """A private port directory, exported as TARVIK_PORT_DIR while it lives."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="tarvik-py-")
        self._old = os.environ.get("TARVIK_PORT_DIR")
        os.environ["TARVIK_PORT_DIR"] = self.path

    def close(self):
        if self._old is None:
            os.environ.pop("TARVIK_PORT_DIR", None)
        else:
            os.environ["TARVIK_PORT_DIR"] = self._old
        shutil.rmtree(self.path, ignore_errors=True)


def xor(data: bytes) -> int:
    x = 0
    for b in data:
        x ^= b
    return x


def packed(text: str) -> bytes:
    """Packed ASCII as the devices send text: six bits a character, four characters in three bytes."""
    out = bytearray()
    for i in range(0, len(text), 4):
        bits = 0
        for ch in text[i:i + 4]:
            bits = (bits << 6) | (ord(ch) & 0x3F)
        out += bits.to_bytes(3, "big")
    return bytes(out)


def hart_reply(command: int, status1: int, status2: int, data: bytes = b"",
               address: bytes = b"\x8a\x64\x01\x02\x03", bad_checksum: bool = False,
               byte_count: Optional[int] = None) -> bytes:
    """A device's long-frame reply with five preamble bytes."""
    count = len(data) + 2 if byte_count is None else byte_count
    body = bytes([0x86]) + address + bytes([command, count, status1, status2]) + data
    check = xor(body) ^ (0xFF if bad_checksum else 0)
    return b"\xff" * 5 + body + bytes([check])


class ScriptedDevice:
    """A device on a pseudo-terminal linked as COM<n>: answers each complete request with the next
    scripted reply (nothing when the script is empty) and records the requests.

    kind "hart": a request is complete after the preamble and 9 + byte-count bytes.
    kind "line": a request is complete at its carriage return.
    """

    def __init__(self, port_dir: str, com: int, kind: str):
        self.kind = kind
        self.master, self._slave = os.openpty()  # the slave stays open: no hang-up between calls
        self.link = os.path.join(port_dir, "COM%d" % com)
        os.symlink(os.ttyname(self._slave), self.link)
        self.requests: List[bytes] = []
        self._replies: List[bytes] = []
        self._lock = threading.Lock()
        self._stop = os.pipe()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def reply(self, data: bytes) -> None:
        with self._lock:
            self._replies.append(data)

    def close(self) -> None:
        os.write(self._stop[1], b"x")
        self._thread.join(5)
        for fd in (self.master, self._slave, *self._stop):
            os.close(fd)
        if os.path.islink(self.link):
            os.unlink(self.link)

    def _complete(self, buf: bytes) -> int:
        """Length of the first complete request in `buf`, or 0."""
        if self.kind == "line":
            end = buf.find(b"\r")
            return end + 1 if end >= 0 else 0
        start = 0
        while start < len(buf) and buf[start] == 0xFF:
            start += 1
        if len(buf) < start + 8:
            return 0
        total = start + 9 + buf[start + 7]
        return total if len(buf) >= total else 0

    def _run(self) -> None:
        buf = b""
        while True:
            ready, _, _ = select.select([self.master, self._stop[0]], [], [])
            if self._stop[0] in ready:
                return
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                time.sleep(0.01)
                continue
            buf += chunk
            while True:
                n = self._complete(buf)
                if not n:
                    break
                request, buf = buf[:n], buf[n:]
                with self._lock:
                    self.requests.append(request)
                    answer = self._replies.pop(0) if self._replies else None
                if answer:
                    os.write(self.master, answer)


DEVICE_NICE = -10


class Simulator:
    """tarvik-sim in a private port directory, started and stopped by the test."""

    def __init__(self, path: str, args: List[str]):
        self.port_dir = PortDir()
        self.process = subprocess.Popen([path, "--dir", self.port_dir.path, "-q", *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # A device answers in its own time whatever the host does: where the tests may (root), the
        # simulated one runs ahead of other work, as the C++ tests' simulators do.
        try:
            os.setpriority(os.PRIO_PROCESS, self.process.pid, DEVICE_NICE)
        except OSError:
            pass

    def wait_for(self, coms: List[int], timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if all(os.path.exists(os.path.join(self.port_dir.path, "COM%d" % c)) for c in coms):
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        err = self.process.stderr.read() if self.process.poll() is not None else b"(still starting)"
        self.stop()
        raise RuntimeError("tarvik-sim did not come up: %s" % err.decode(errors="replace"))

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        self.port_dir.close()


def link_library_available() -> bool:
    import tarvik
    try:
        tarvik.link_library()
        return True
    except tarvik.LibraryNotFoundError:
        return False


class SimulatorTestCase(unittest.TestCase):
    """Tests that share one tarvik-sim, started with ARGS before the class's first test (its ports
    COMS up) and stopped after its last. NEEDS_LINK: the tests also need the link library."""
    ARGS: List[str] = []
    COMS: List[int] = []
    NEEDS_LINK = False
    sim: Simulator

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not library_available():
            skip_or_fail("the Tarvik library cannot be loaded (set TARVIK_LIBRARY)")
        if cls.NEEDS_LINK and not link_library_available():
            skip_or_fail("the Tarvik link library cannot be loaded (set TARVIK_LINK_LIBRARY)")
        path = simulator_path()
        if not path:
            skip_or_fail("tarvik-sim not found (set TARVIK_SIM)")
        cls.sim = Simulator(path, cls.ARGS)
        cls.sim.wait_for(cls.COMS)

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        super().tearDownClass()
