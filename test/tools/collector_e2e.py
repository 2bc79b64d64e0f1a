#!/usr/bin/env python3
"""quorvane-collector through its real interfaces: a fake daemon connects to
it, reads its requests, writes records, and the test checks what the
collector prints, writes and exits with.

usage: collector_e2e.py PATH-TO-quorvane-collector
"""
import os
import queue
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

COLLECTOR = None
TIMEOUT = 10


def record(payload, addr=(192, 0, 2, 7), port=2055, stream=3, ts_ms=1700000000123):
    return (bytes(10) + b"\xff\xff" + bytes(addr)
            + struct.pack(">iIQI", port, stream, ts_ms, len(payload)) + payload)


def v9_payload(count, seq):
    # A v9 header; the collector reads only the header, so the rest is filler.
    return struct.pack(">HHIIII", 9, count, 1000, 1700000000, seq, 1) + bytes(24)


def v5_payload(seq):
    return struct.pack(">HHIIII", 5, 1, 1000, 1700000000, 0, seq) + bytes(4) + bytes(48)


class Collector:
    """A running quorvane-collector with its stdout lines in a queue."""

    def __init__(self, *args, env_extra=None):
        env = dict(os.environ, TZ="UTC")
        env.update(env_extra or {})
        self.stderr_file = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([COLLECTOR, "-listen", "0", *args], env=env,
                                     stdout=subprocess.PIPE, stderr=self.stderr_file)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()
        first = self.line()
        assert first.startswith("listening on 127.0.0.1:"), first
        self.port = int(first.rsplit(":", 1)[1])
        self.sock = None

    def _pump(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode())
        self.lines.put(None)

    def line(self, timeout=TIMEOUT):
        got = self.lines.get(timeout=timeout)
        assert got is not None, "collector stdout closed; stderr: " + self.stderr()
        return got.rstrip("\n")

    def connect(self):
        self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
        return self.sock

    def read_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise AssertionError("collector closed after %r" % buf)
            buf += chunk
        return buf

    def read_port_update(self):
        code, count = struct.unpack(">Bi", self.read_exact(5))
        assert code == 1, code
        return list(struct.unpack(">%di" % count, self.read_exact(4 * count)))

    def nothing_more(self, wait=0.3):
        """True when the collector sends nothing within `wait` seconds."""
        self.sock.settimeout(wait)
        try:
            data = self.sock.recv(100)
            return False if data else True
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(TIMEOUT)

    def wait(self):
        return self.proc.wait(timeout=TIMEOUT)

    def stderr(self):
        self.stderr_file.seek(0)
        return self.stderr_file.read().decode(errors="replace")

    def stop(self):
        if self.sock:
            self.sock.close()
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=TIMEOUT)
        self.proc.stdout.close()
        self.stderr_file.close()


class CollectorTest(unittest.TestCase):
    def start(self, *args):
        c = Collector(*args)
        self.addCleanup(c.stop)
        return c

    def test_requests_lines_and_raw_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            raw_path = os.path.join(tmp, "records.raw")
            c = self.start("-ports", "9996,2055", "-ahead", "3", "-raw", raw_path)
            c.connect()
            # The update carries the ports as given, then exactly -ahead wants.
            self.assertEqual(b"\x01\x00\x00\x00\x02\x00\x00\x27\x0c\x00\x00\x08\x07",
                             c.read_exact(13))
            self.assertEqual(b"\x00\x00\x00", c.read_exact(3))
            self.assertTrue(c.nothing_more())

            r1 = record(v9_payload(2, 12))
            c.sock.sendall(r1)
            self.assertEqual("22:13:20.123 from 192.0.2.7 port 2055 stream 3 len 44 "
                             "netflow v9 count 2 seq 12", c.line())
            self.assertEqual(b"\x00", c.read_exact(1))  # one want per record

            # Split across writes, header byte by byte: one line, once whole.
            r2 = record(b"hello", addr=(10, 1, 2, 3), port=67591, stream=65535, ts_ms=5)
            for i in range(len(r2)):
                c.sock.sendall(r2[i:i + 1])
                if i in (0, 35, 36):
                    time.sleep(0.05)
            self.assertEqual("00:00:00.005 from 10.1.2.3 port 67591 stream 65535 len 5", c.line())
            self.assertEqual(b"\x00", c.read_exact(1))

            # Two records and the start of a third in one write; an empty
            # payload is a record too.
            r3 = record(b"")
            r4 = record(v5_payload(77), stream=0)
            r5 = record(struct.pack(">HHIII", 10, 16, 0, 4242, 1), stream=1)
            c.sock.sendall(r3 + r4 + r5[:10])
            self.assertEqual("22:13:20.123 from 192.0.2.7 port 2055 stream 3 len 0", c.line())
            self.assertEqual("22:13:20.123 from 192.0.2.7 port 2055 stream 0 len 72 "
                             "netflow v5 count 1 seq 77", c.line())
            c.sock.sendall(r5[10:])
            self.assertEqual("22:13:20.123 from 192.0.2.7 port 2055 stream 1 len 16 "
                             "netflow v10 length 16 seq 4242", c.line())
            self.assertEqual(b"\x00\x00\x00", c.read_exact(3))

            c.sock.close()
            c.sock = None
            self.assertEqual(0, c.wait())
            self.assertIn("closed by the daemon", c.stderr())
            with open(raw_path, "rb") as f:
                self.assertEqual(r1 + r2 + r3 + r4 + r5, f.read())

    def test_count_ends_the_connection(self):
        c = self.start("-ports", "2055", "-count", "3", "-ahead", "2", "-quiet")
        c.connect()
        self.assertEqual([2055], c.read_port_update())
        self.assertEqual(b"\x00\x00", c.read_exact(2))
        # The daemon merges wants that find its queue empty, so the collector
        # must keep answering each record with a want even past -ahead, or
        # it would wait forever for a record nobody asked for.
        c.sock.sendall(record(b"a"))
        self.assertEqual(b"\x00", c.read_exact(1))
        c.sock.sendall(record(b"b"))
        self.assertEqual(b"\x00", c.read_exact(1))
        c.sock.sendall(record(b"c"))
        self.assertEqual(b"", c.sock.recv(10))  # collector closed its side
        self.assertEqual(0, c.wait())
        self.assertIsNone(c.lines.get(timeout=TIMEOUT))  # -quiet: no record lines

    def test_daemon_leaving_before_count_is_a_failure(self):
        c = self.start("-ports", "2055", "-count", "3", "-ahead", "1")
        c.connect()
        c.read_port_update()
        self.assertEqual(b"\x00", c.read_exact(1))
        c.sock.sendall(record(b"x"))
        self.assertIn("len 1", c.line())
        self.assertEqual(b"\x00", c.read_exact(1))
        c.sock.close()
        c.sock = None
        self.assertEqual(1, c.wait())
        self.assertIn("after 1 records", c.stderr())

    def test_malformed_streams_exit_2(self):
        good = record(b"ok")
        bad_prefix = bytearray(record(b"zz"))
        bad_prefix[11] = 0xFE
        huge = bytearray(record(b""))
        huge[32:36] = struct.pack(">I", 0x40000000)
        cases = [
            ("bad prefix", good + bytes(bad_prefix), "prefix", True),
            ("absurd length", bytes(huge), "length", False),
            ("truncated payload", good + record(b"12345")[:-2], "inside a record", True),
            ("truncated header", record(b"")[:30], "inside a record header", False),
        ]
        for name, stream, message, good_first in cases:
            with self.subTest(name):
                c = Collector("-ports", "2055")
                try:
                    c.connect()
                    c.read_port_update()
                    c.sock.sendall(stream)
                    if good_first:
                        self.assertIn("len 2", c.line())
                    c.sock.shutdown(socket.SHUT_WR)
                    self.assertEqual(2, c.wait())
                    self.assertIn(message, c.stderr())
                    self.assertIn("malformed", c.stderr())
                finally:
                    c.stop()

    def test_sighup_rereads_the_ports_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "ports")
            with open(path, "w") as f:
                f.write("2055\n")
            c = self.start("-portsfile", path, "-ahead", "1")
            c.connect()
            self.assertEqual([2055], c.read_port_update())
            self.assertEqual(b"\x00", c.read_exact(1))

            with open(path, "w") as f:
                f.write("4739, 9996\n2055\n")
            os.kill(c.proc.pid, signal.SIGHUP)
            self.assertEqual([4739, 9996, 2055], c.read_port_update())

            # A broken file leaves the ports as they are and the collector up.
            with open(path, "w") as f:
                f.write("4739 nonsense\n")
            os.kill(c.proc.pid, signal.SIGHUP)
            self.assertTrue(c.nothing_more(0.5))
            self.assertIsNone(c.proc.poll())

            with open(path, "w") as f:
                f.write("")
            os.kill(c.proc.pid, signal.SIGHUP)
            self.assertEqual([], c.read_port_update())

            # Records still flow after the updates.
            c.sock.sendall(record(b"abc"))
            self.assertIn("len 3", c.line())
            self.assertEqual(b"\x00", c.read_exact(1))
            self.assertIn("nonsense", c.stderr())

    def test_command_line_errors(self):
        for args in (["-ports", "2055"], ["-listen", "0"], ["-listen", "0", "-ports", "x"],
                     ["-listen", "0", "-ports", "1", "-ahead", "0"], ["-listen"],
                     ["-listen", "0", "-ports", "1", "-bogus", "1"]):
            with self.subTest(args=args):
                p = subprocess.run([COLLECTOR, *args], capture_output=True, timeout=TIMEOUT)
                self.assertEqual(1, p.returncode)
                self.assertIn(b"usage: quorvane-collector", p.stderr)
                self.assertEqual(b"", p.stdout)


if __name__ == "__main__":
    COLLECTOR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
