"""The companions: quorvane-exporter and quorvane-collector with the daemon
between them, and the collector against a daemon played by the test."""

import re
import select
import socket
import struct
import unittest

from harness import COLLECTOR_BIN, EXPORTER_BIN, SLOW, Scenario, emul_only, port_taken, ports, wait_until

LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} from (\S+) port (\d+) stream (\d+) len \d+ (.*)$")


def record(payload, stream=3):
    return (bytes(10) + b"\xff\xff" + bytes([192, 0, 2, 7]) + struct.pack(">IIQI", 2055, stream, 1700000000123,
                                                                          len(payload)) + payload)


class Companions(Scenario):
    def collector_tool(self, *args):
        proc = self.run_tool([COLLECTOR_BIN, "-listen", "0"] + list(args))
        ready = select.select([proc.stdout], [], [], 5 * SLOW)[0]
        line = proc.stdout.readline() if ready else ""
        self.assertRegex(line, r"^listening on 127\.0\.0\.1:\d+$")
        return proc, int(line.rsplit(":", 1)[1])

    def test_chain_for_each_netflow_version(self):
        for fmt, summary, ahead in [("v9", "netflow v9 count ", ["-ahead", "1"]),
                                    ("ipfix", "netflow v10 length ", []), ("v5", "netflow v5 count ", [])]:
            with self.subTest(fmt):
                p, q = ports(2)
                collector, cport = self.collector_tool("-ports", "%d,%d" % (p, q), "-count", "10", *ahead)
                daemon = self.start(pool=64, maxsize=9000, forwardingport=cport, connect=False)
                wait_until(lambda: port_taken(p) and port_taken(q), "the daemon to listen")
                exporters = [
                    self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(p), "-bind", "127.0.2.30",
                                   "-streams", "0,1", "-count", "5", "-format", fmt]),
                    self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(q), "-bind", "127.0.2.31",
                                   "-style", "one-to-many", "-streams", "2", "-count", "5", "-format", fmt])]
                for e in exporters:
                    self.assertEqual(e.wait(10 * SLOW), 0, e.stderr.read())
                out, err = collector.communicate(timeout=15 * SLOW)
                self.assertEqual(collector.returncode, 0, err)
                seen = [LINE.match(line).groups() for line in out.splitlines()]
                self.assertEqual(sorted((a, int(port), int(s)) for a, port, s, _ in seen),
                                 sorted([("127.0.2.30", p, 0)] * 3 + [("127.0.2.30", p, 1)] * 2 +
                                        [("127.0.2.31", q, 2)] * 5))
                self.assertTrue(all(rest.startswith(summary) for _, _, _, rest in seen), seen)
                self.assertExit(daemon, 0)

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_collector_against_a_daemon_played_by_the_test(self):
        # One want per record on top of the first -ahead, and a stream that
        # is not a record stream ends the collector with status 2; a daemon
        # leaving before -count records is status 1.
        for name, tail, status in [("truncated record", record(b"abc")[:20], 2),
                                   ("bad address prefix", b"\x01" + record(b"abc")[1:], 2),
                                   ("daemon leaves early", b"", 1)]:
            with self.subTest(name):
                collector, cport = self.collector_tool("-ports", "2055,9", "-ahead", "3", "-count", "3", "-quiet")
                daemon = socket.create_connection(("127.0.0.1", cport), timeout=5 * SLOW)
                self.cleanups.append(daemon.close)
                expected = struct.pack(">Bi", 1, 2) + struct.pack(">ii", 2055, 9) + b"\x00" * 3
                got = b""
                while len(got) < len(expected) and select.select([daemon], [], [], 5 * SLOW)[0]:
                    got += daemon.recv(len(expected) - len(got))
                self.assertEqual(got, expected)
                for i in range(2):
                    daemon.sendall(record(b"payload %d" % i))
                    self.assertEqual(daemon.recv(1), b"\x00")
                self.assertEqual(select.select([daemon], [], [], 0.3 * SLOW)[0], [])
                daemon.sendall(tail)
                daemon.close()
                collector.wait(5 * SLOW)
                self.assertEqual(collector.returncode, status, collector.stderr.read())


if __name__ == "__main__":
    unittest.main()
