#!/usr/bin/env python3
"""quorvane-exporter from the outside: its command-line checks, its answer to
a kernel without SCTP, and, where the kernel has SCTP, what arrives at a
plain SCTP listener.

usage: exporter_cli.py PATH-TO-quorvane-exporter
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

EXPORTER = None
TIMEOUT = 20
MSG_NOTIFICATION = 0x8000


def kernel_has_sctp():
    try:
        socket.socket(socket.AF_INET, socket.SOCK_SEQPACKET, socket.IPPROTO_SCTP).close()
        return True
    except OSError:
        return False


def run(*args):
    return subprocess.run([EXPORTER, *args], capture_output=True, timeout=TIMEOUT)


class CommandLine(unittest.TestCase):
    def test_bad_arguments_give_usage_and_status_1(self):
        for args in ([], ["-port", "2055"], ["-host", "127.0.0.1"],
                     ["-host", "127.0.0.1", "-port", "0"],
                     ["-host", "127.0.0.1", "-port", "2055", "-format", "v7"],
                     ["-host", "127.0.0.1", "-port", "2055", "-streams", "0,65535"],
                     ["-host", "127.0.0.1", "-port", "2055", "-style", "many"],
                     ["-host", "127.0.0.1", "-port", "2055", "-size", "70000"],
                     ["-host", "127.0.0.1", "-port", "2055", "-assocs", "0"],
                     ["-host", "127.0.0.1", "-port", "2055", "-count"]):
            with self.subTest(args=args):
                p = run(*args)
                self.assertEqual(1, p.returncode)
                self.assertIn(b"usage: quorvane-exporter", p.stderr)
                self.assertEqual(b"", p.stdout)

    def test_bad_datagram_file_is_refused_before_sending(self):
        with tempfile.NamedTemporaryFile() as f:
            f.write(struct.pack(">I", 10) + b"short")
            f.flush()
            p = run("-host", "127.0.0.1", "-port", "2055", "-file", f.name)
            self.assertEqual(1, p.returncode)
            self.assertIn(b"claims 10 bytes", p.stderr)
        p = run("-host", "127.0.0.1", "-port", "2055", "-file", "/nonexistent/datagrams")
        self.assertEqual(1, p.returncode)
        self.assertIn(b"cannot read /nonexistent/datagrams", p.stderr)


@unittest.skipIf(kernel_has_sctp(), "this kernel has SCTP")
class WithoutSctp(unittest.TestCase):
    def test_says_exactly_what_is_missing(self):
        for style in ("one-to-one", "one-to-many"):
            with self.subTest(style=style):
                p = run("-host", "127.0.0.1", "-port", "2055", "-style", style, "-count", "1")
                self.assertEqual(1, p.returncode)
                self.assertEqual(b"the kernel has no SCTP; load the sctp module\n", p.stderr)
                self.assertEqual(b"", p.stdout)


@unittest.skipUnless(kernel_has_sctp(), "this kernel has no SCTP")
class WithSctp(unittest.TestCase):
    """A one-to-many SCTP listener collects whatever the exporter sends."""

    def collect(self, expected, *args):
        lsock = socket.socket(socket.AF_INET, socket.SOCK_SEQPACKET, socket.IPPROTO_SCTP)
        self.addCleanup(lsock.close)
        lsock.bind(("127.0.0.1", 0))
        lsock.listen(5)
        lsock.settimeout(TIMEOUT)
        port = lsock.getsockname()[1]
        got = []

        def receive():
            while len(got) < expected:
                data, _, flags, _ = lsock.recvmsg(65536)
                if not flags & MSG_NOTIFICATION:
                    got.append(data)

        t = threading.Thread(target=receive, daemon=True)
        t.start()
        p = run("-host", "127.0.0.1", "-port", str(port), *args)
        t.join(TIMEOUT)
        return p, got

    def test_synthetic_datagrams_arrive_whole(self):
        for style in ("one-to-one", "one-to-many"):
            with self.subTest(style=style):
                p, got = self.collect(6, "-style", style, "-assocs", "2", "-streams", "0,3",
                                      "-count", "6", "-format", "ipfix", "-size", "300")
                self.assertEqual(0, p.returncode, p.stderr)
                self.assertEqual(6, len(got))
                for d in got:
                    version, length = struct.unpack(">HH", d[:4])
                    self.assertEqual((10, 300), (version, length))
                    self.assertEqual(300, len(d))
                lines = p.stdout.decode().splitlines()
                self.assertEqual("sent assoc 1 stream 0 len 300 seq", lines[1][:33])
                self.assertEqual("sent assoc 0 stream 3 len 300", lines[2][:29])
                self.assertIn("sent 6 datagrams, 1800 bytes", lines[-1])

    def test_file_datagrams_are_sent_byte_for_byte(self):
        datagrams = [b"first", bytes(range(256)) * 4, b"x"]
        with tempfile.NamedTemporaryFile() as f:
            for d in datagrams:
                f.write(struct.pack(">I", len(d)) + d)
            f.flush()
            p, got = self.collect(3, "-file", f.name, "-quiet")
        self.assertEqual(0, p.returncode, p.stderr)
        self.assertEqual(datagrams, got)
        self.assertEqual(1, len(p.stdout.splitlines()))


if __name__ == "__main__":
    EXPORTER = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
