"""Datagrams in over the emulated SCTP seam, records out on the collector
connection: record layout, order, pool accounting and warnings."""

import time
import unittest

from harness import SLOW, DaemonTest, free_udp_port, port_update, wait_until


class Records(DaemonTest):
    def test_datagram_becomes_a_record_byte_for_byte(self):
        daemon = self.start("-debug")
        port = self.listen_on(daemon, [free_udp_port()])[0]
        payload = bytes(range(100))
        before = int(time.time() * 1000)
        self.exporter("127.0.2.7").send(port, payload, stream=3)
        daemon.wait_out("read 100 bytes from 127.0.2.7")
        after = int(time.time() * 1000)
        self.collector.want()
        record = self.collector.record()
        self.assertEqual(len(record.raw), 136)
        self.assertEqual(record.raw[:16].hex(), "00000000000000000000ffff7f000207")
        self.assertEqual(record.raw[16:24], port.to_bytes(4, "big") + bytes([0, 0, 0, 3]))
        self.assertTrue(before <= record.stamp <= after, (before, record.stamp, after))
        self.assertEqual(record.raw[32:], bytes([0, 0, 0, 100]) + payload)
        daemon.wait_out("sent 136 bytes to orvel")

    def test_one_record_per_want_oldest_first_across_ports(self):
        daemon = self.start()
        low, high = sorted({free_udp_port(), free_udp_port()})
        self.listen_on(daemon, [low, high])
        exporter = self.exporter()
        sent = [(high, b"one", 7), (low, b"two", 65535), (high, b"three", 0)]
        for port, payload, stream in sent:
            exporter.send(port, payload, stream)
            time.sleep(0.05 * SLOW)
        for port, payload, stream in sent:
            self.assertTrue(self.collector.nothing_pending(0.1))
            self.collector.want()
            record = self.collector.record()
            self.assertEqual((record.port, record.payload, record.stream), (port, payload, stream))

    def test_sockets_are_served_in_port_order_before_the_forward_of_a_pass(self):
        daemon = self.start("-debug")
        low, high = sorted({free_udp_port(), free_udp_port()})
        self.listen_on(daemon, [low, high])
        # Hold the daemon inside a half-sent request while both datagrams and
        # a want arrive, so the next pass finds all three ready at once.
        update = port_update([low, high])
        self.collector.hold_in_port_update(daemon, update)
        exporter = self.exporter()
        exporter.send(high, b"sent first")
        exporter.send(low, b"sent second")
        time.sleep(0.2 * SLOW)
        self.collector.send(update[1:] + b"\x00")
        self.assertEqual(self.collector.record().payload, b"sent second")
        self.assertTrue(self.collector.nothing_pending())
        self.assertIn("select returned 3 fd(s)...", daemon.out_messages())
        self.collector.want()
        self.assertEqual(self.collector.record().payload, b"sent first")

    def test_notifications_are_dropped_and_not_counted(self):
        daemon = self.start("-debug", "-logstats", "1", pool=2)
        port = self.listen_on(daemon, [free_udp_port()])[0]
        exporter = self.exporter()
        exporter.send(port, b"\x00\x01" + bytes(18), notification=True)
        exporter.send(port, b"data")
        daemon.wait_out("read 4 bytes")
        out = daemon.out_messages()
        self.assertEqual(out[out.index("ignoring Notification Messages") + 1], "read 0 bytes from 127.0.0.1")
        self.collector.want()
        self.assertEqual(self.collector.record().payload, b"data")
        daemon.wait_out("1 packets received, 0 discarded, 1 forwarded, 1 wants from ORVEL", timeout=3)

    def test_message_longer_than_the_buffer_becomes_several_records(self):
        daemon = self.start("-debug", maxsize=100)
        port = self.listen_on(daemon, [free_udp_port()])[0]
        exporter = self.exporter()
        exact, longer = bytes(range(100)), bytes(range(250))
        exporter.send(port, exact, stream=1)
        exporter.send(port, longer, stream=2)
        self.collector.want()
        self.assertEqual(self.collector.record().payload, exact)
        pieces = []
        for _ in range(3):
            self.collector.want()
            record = self.collector.record()
            self.assertEqual(record.stream, 2)
            pieces.append(record.payload)
        self.assertEqual([len(p) for p in pieces], [100, 100, 50])
        self.assertEqual(b"".join(pieces), longer)


class PoolWarnings(DaemonTest):
    LOW = "Warning, the packet pool reserve has reached %d percent of %d entries."
    EMPTY = "Warning, the packet pool is empty; some packets may be discarded."
    RECOVERED = "The packet pool reserve has recovered to %d percent."
    TOTAL = "Total number of packets discarded due to insufficient pool entries: %d"

    def fill(self, daemon, port, count, already=0):
        exporter = self.exporter()
        for i in range(count):
            exporter.send(port, b"p%d" % i)
        def received():
            out = daemon.out_messages()
            return sum(1 for m in out if m.startswith("read ") or m == "pool is empty, discarding packet")
        wait_until(lambda: received() == already + count, 5, "%d receives" % (already + count))

    def forward(self, daemon, count, already=0):
        for _ in range(count):
            self.collector.want()
            self.collector.record()
        daemon.wait_until_count("message from orvel: wants a packet", already + count)

    def warnings(self, daemon):
        """Warnings on stderr, then recovery lines on stdout."""
        recoveries = [m for m in daemon.out_messages() if "recovered" in m or m.startswith("Total")]
        return daemon.err_messages() + recoveries

    def assertWarnings(self, daemon, expected):
        try:
            wait_until(lambda: self.warnings(daemon) == expected, 2, "warnings")
        except AssertionError:
            pass
        time.sleep(0.1 * SLOW)  # and nothing more behind them
        self.assertEqual(self.warnings(daemon), expected)

    def test_low_reserve_then_recovery_above_the_threshold(self):
        # Pool 10 at 15/50 percent: warn at 1 free message, recover at 6, not 5.
        daemon = self.start("-debug")
        port = self.listen_on(daemon, [free_udp_port()])[0]
        self.fill(daemon, port, 8)
        self.assertWarnings(daemon, [])
        self.fill(daemon, port, 1, already=8)
        self.assertEqual(daemon.err_messages(), [self.LOW % (15, 10)])
        self.forward(daemon, 4)
        self.assertWarnings(daemon, [self.LOW % (15, 10)])
        self.forward(daemon, 1, already=4)
        self.assertWarnings(daemon, [self.LOW % (15, 10), self.RECOVERED % 50])

    def test_empty_pool_episode_counts_discards_and_reports_the_total(self):
        daemon = self.start("-debug", "-logstats", "1")
        port = self.listen_on(daemon, [free_udp_port()])[0]
        self.fill(daemon, port, 13)
        self.assertEqual(daemon.err_messages(), [self.LOW % (15, 10), self.EMPTY])
        self.assertEqual(daemon.out_messages().count("pool is empty, discarding packet"), 3)
        self.forward(daemon, 6)
        daemon.wait_out(self.TOTAL % 3)
        out = daemon.out_messages()
        at = out.index(self.RECOVERED % 50)
        self.assertEqual(out[at:at + 2], [self.RECOVERED % 50, self.TOTAL % 3])
        self.assertEqual(out[at - 1], "sent 38 bytes to orvel")
        daemon.wait_out("10 packets received, 3 discarded, 6 forwarded", 3)
        # A second episode warns again and reports the total since start-up.
        self.fill(daemon, port, 10, already=13)
        self.assertEqual(daemon.err_messages()[2:], [self.LOW % (15, 10), self.EMPTY])
        self.forward(daemon, 6, already=6)
        daemon.wait_out(self.TOTAL % 7)

    def test_pool_of_zero_discards_everything_and_never_recovers(self):
        daemon = self.start("-debug", "-logstats", "1", pool=0)
        port = self.listen_on(daemon, [free_udp_port()])[0]
        self.fill(daemon, port, 3)
        self.assertEqual(daemon.err_messages(), [self.EMPTY])
        self.collector.want()
        daemon.wait_out("0 packets received, 3 discarded, 0 forwarded, 1 wants from ORVEL", timeout=3)
        self.assertIn("0/0 pool entries available", daemon.stdout())
        self.assertTrue(self.collector.nothing_pending())

    def test_equal_percentages_warn_at_half_and_recover_one_above(self):
        daemon = self.start("-debug", "-poolusagewarnpct", "50", "-cancelpoolusagewarnpct", "50")
        port = self.listen_on(daemon, [free_udp_port()])[0]
        self.fill(daemon, port, 4)
        self.assertWarnings(daemon, [])
        self.fill(daemon, port, 1, already=4)
        self.assertWarnings(daemon, [self.LOW % (50, 10)])
        self.forward(daemon, 1)
        self.assertWarnings(daemon, [self.LOW % (50, 10), self.RECOVERED % 50])


if __name__ == "__main__":
    unittest.main()
