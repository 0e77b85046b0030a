#!/usr/bin/env python3
"""Scrape latency of /metrics with basic authentication while other clients send wrong passwords.

Starts tarvik-gateway (metrics only, one device on a port that does not exist) with one bcrypt
user (cost 10), then measures a correct scrape: alone, with 16 clients that repeat one wrong
password each, and with 16 clients that send a new wrong password every time. Prints the median
and the slowest of the correct scrapes in each case. Loopback only; bounded in time.

  scripts/bench-gateway-auth.py --gateway build-dev/bin/tarvik-gateway [--scrapes 20]
"""
import argparse
import base64
import ctypes
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

WRONG_CLIENTS = 16


def bcrypt_hash(password):
    libcrypt = ctypes.CDLL("libcrypt.so.1")
    libcrypt.crypt_gensalt.restype = ctypes.c_char_p
    libcrypt.crypt_gensalt.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_int]
    libcrypt.crypt.restype = ctypes.c_char_p
    libcrypt.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    salt = libcrypt.crypt_gensalt(b"$2b$", 10, None, 0)
    return libcrypt.crypt(password.encode(), salt).decode()


def get(port, user, password, timeout=10.0):
    """One GET /metrics with basic authentication; the status code, or 0 on a failure."""
    token = base64.b64encode(f"{user}:{password}".encode()).decode()
    request = f"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic {token}\r\n\r\n"
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(request.encode())
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        match = re.match(rb"HTTP/1.1 (\d+)", data)
        return int(match.group(1)) if match else 0
    except OSError:
        return 0


def correct_scrapes(port, count):
    times = []
    for _ in range(count):
        start = time.monotonic()
        status = get(port, "prom", "secret")
        times.append(time.monotonic() - start)
        if status != 200:
            print(f"  a correct scrape got {status}", file=sys.stderr)
        time.sleep(0.05)
    return times


def with_wrong_clients(port, count, fresh):
    stop = threading.Event()
    sent = [0]

    def wrong(n):
        i = 0
        while not stop.is_set():
            get(port, "prom", f"wrong{n}-{i}" if fresh else f"wrong{n}", timeout=5.0)
            i += 1
            sent[0] += 1

    threads = [threading.Thread(target=wrong, args=(n,)) for n in range(WRONG_CLIENTS)]
    for t in threads:
        t.start()
    time.sleep(0.5)
    times = correct_scrapes(port, count)
    stop.set()
    for t in threads:
        t.join()
    return times, sent[0]


def report(what, times, sent=None):
    extra = f", {sent} wrong-password requests meanwhile" if sent is not None else ""
    print(f"  {what:<48} median {1e3 * statistics.median(times):7.1f} ms, slowest {1e3 * max(times):7.1f} ms{extra}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gateway", default="build-dev/bin/tarvik-gateway")
    parser.add_argument("--scrapes", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        config = os.path.join(tmp, "gateway.toml")
        with open(config, "w") as f:
            f.write('[mqtt]\nport = 1\n[metrics]\nlisten = "127.0.0.1:0"\n[metrics.basic_auth_users]\n'
                    f'prom = "{bcrypt_hash("secret")}"\n'
                    '[[device]]\nname = "mfc1"\nkind = "flow"\nport = 40\naddress = "64:010203"\n'
                    'values = ["flow"]\ninterval = 5\n')
        env = dict(os.environ, TARVIK_PORT_DIR=os.path.join(tmp, "ports"))
        log = open(os.path.join(tmp, "gateway.log"), "w+")
        gateway = subprocess.Popen([args.gateway, "--config", config], stderr=log, stdout=log, env=env)
        try:
            port = 0
            for _ in range(200):
                log.seek(0)
                match = re.search(r"metrics at http://127\.0\.0\.1:(\d+)/metrics", log.read())
                if match:
                    port = int(match.group(1))
                    break
                time.sleep(0.05)
            if not port:
                sys.exit("the gateway did not start")
            print(f"correct scrapes of /metrics with basic authentication (bcrypt cost 10), {args.scrapes} each:")
            report("alone", correct_scrapes(port, args.scrapes))
            times, sent = with_wrong_clients(port, args.scrapes, fresh=False)
            report(f"{WRONG_CLIENTS} clients repeating a wrong password", times, sent)
            times, sent = with_wrong_clients(port, args.scrapes, fresh=True)
            report(f"{WRONG_CLIENTS} clients with a new wrong password each time", times, sent)
        finally:
            gateway.send_signal(signal.SIGTERM)
            gateway.wait(timeout=10)


if __name__ == "__main__":
    main()
