"""The statistics report: its timing, its exact lines and values, and its
thread reading the counters while the loop runs flat out."""

import re
import time
import unittest

from harness import SANITIZED, SLOW, DaemonTest, free_udp_port

REPORT = re.compile(r"\n(\w{3} \w{3} [ 1-3]\d \d\d:\d\d:\d\d \d{4})\n"
                    r"(\d+) packets received, (\d+) discarded, (\d+) forwarded, (\d+) wants from ORVEL\n"
                    r"(\d+)/(\d+) pool entries available\n"
                    r"(\d+) queued packets waiting, high water mark=(\d+)\n")


def reports(daemon):
    return REPORT.findall(daemon.stdout())


class Report(DaemonTest):
    def test_report_lines_and_values_after_known_traffic(self):
        connected = time.monotonic()
        daemon = self.start("-debug", "-logstats", "1", pool=200)
        port = self.listen_on(daemon, [free_udp_port()])[0]
        # The first report comes about one interval after the connection.
        while not reports(daemon) and time.monotonic() - connected < 3 * SLOW:
            time.sleep(0.02)
        first = time.monotonic() - connected
        self.assertTrue(0.7 < first < 2.0 * SLOW, first)
        self.assertEqual(reports(daemon)[0][1:], ("0", "0", "0", "0", "200", "200", "0", "0"))

        exporter = self.exporter()
        for i in range(3):
            exporter.send(port, b"d%d" % i)
        daemon.wait_until_count("read 2 bytes", 3)
        for i in range(2):
            self.collector.want()
            self.collector.record()
        self.collector.want()
        self.collector.record()
        self.collector.want()  # nothing queued: counted, not forwarded
        daemon.wait_until_count("message from orvel: wants a packet", 4)
        count = len(reports(daemon))
        deadline = time.monotonic() + 3 * SLOW
        while len(reports(daemon)) == count and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(reports(daemon)[-1][1:], ("3", "0", "3", "4", "200", "200", "0", "3"))
        # Reports keep coming about once a second, each after an empty line.
        time.sleep(2.2)
        self.assertGreaterEqual(len(reports(daemon)), count + 2)
        self.assertNotIn("\n\n\n", daemon.stdout())

    def test_reports_while_records_stream_through(self):
        # Under the thread sanitizer this is the race detector's workload:
        # the reporter reads every counter and length while they change.
        daemon = self.start("-logstats", "1", pool=64, maxsize=200)
        port = self.listen_on(daemon, [free_udp_port()])[0]
        exporter = self.exporter()
        total = 3000 if not SANITIZED else 1500
        self.collector.want(8)
        sent = received = 0
        deadline = time.monotonic() + 20 * SLOW
        while received < total and time.monotonic() < deadline:
            while sent < total and sent - received < 32:
                exporter.send(port, bytes(100), stream=sent % 5)
                sent += 1
            if self.collector.nothing_pending(0.5):
                break  # the rest was lost on the emulated intake's UDP
            self.collector.record()
            received += 1
            self.collector.want()
        time.sleep(1.2)
        self.assertGreater(received, total // 2)
        self.assertGreaterEqual(len(reports(daemon)), 1)
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertNotIn("ThreadSanitizer", daemon.stderr())
        last = reports(daemon)[-1]
        self.assertEqual(int(last[5]) + int(last[7]), 64)  # free + queued = pool


if __name__ == "__main__":
    unittest.main()
