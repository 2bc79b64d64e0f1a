"""Datagrams in on the SCTP ports, records out on the collector connection:
the record byte for byte, order, notifications, pieces, pool accounting,
reserve warnings and the statistics report."""

import os
import select
import struct
import subprocess
import time
import unittest

from harness import KERNEL, SANITIZED, SLOW, Scenario, port_update, ports, wait_until, waiting_on

LOW = "Warning, the packet pool reserve has reached %d percent of %d entries."
EMPTY = "Warning, the packet pool is empty; some packets may be discarded."
RECOVERED = "The packet pool reserve has recovered to %d percent."
TOTAL = "Total number of packets discarded due to insufficient pool entries: %d"


class Records(Scenario):
    def test_datagram_becomes_a_record_byte_for_byte(self):
        self.start()
        port = self.listen_on(ports(1))[0]
        exporter = self.exporter("127.0.2.7")
        payload = bytes(range(100))
        before = int(time.time() * 1000)
        exporter.send(port, payload, stream=3)
        self.collector.want()
        record = self.collector.record()
        after = int(time.time() * 1000)
        self.assertEqual(len(record.raw), 136)
        self.assertEqual(record.raw[:16].hex(), "00000000000000000000ffff7f000207")
        self.assertEqual(record.raw[16:24], port.to_bytes(4, "big") + bytes([0, 0, 0, 3]))
        self.assertTrue(before <= record.stamp <= after, (before, record.stamp, after))
        self.assertEqual(record.raw[32:], bytes([0, 0, 0, 100]) + payload)

    def test_one_record_per_want_oldest_first_and_ports_in_order_within_a_pass(self):
        daemon = self.start("-debug")
        low, high = self.listen_on(ports(2))
        exporter = self.exporter()
        sent = [(high, b"one", 7), (low, b"two", 40000), (high, b"three", 0)]
        for i, (port, payload, stream) in enumerate(sent):
            exporter.send(port, payload, stream)
            daemon.wait_receives(i + 1)
        for port, payload, stream in sent:
            self.assertTrue(self.collector.nothing_pending(0.1))
            record = self.collector.records(1)[0]
            self.assertEqual((record.port, record.payload, record.stream), (port, payload, stream))
        # Held inside a half-sent request while two datagrams and a want
        # arrive, the daemon finds all three ready in one pass: it serves the
        # lower port first, and forwards once, at the end of the pass.
        update = port_update([low, high])
        self.collector.hold_in_port_update(daemon, update)
        exporter.send(high, b"sent first")
        exporter.send(low, b"sent second")
        wait_until(lambda: waiting_on(low) and waiting_on(high), "both datagrams waiting")
        self.collector.send(update[1:] + b"\x00")
        self.assertEqual(self.collector.record().payload, b"sent second")
        self.assertTrue(self.collector.nothing_pending())
        self.assertEqual(self.collector.records(1)[0].payload, b"sent first")

    def test_notifications_are_dropped_and_not_counted(self):
        daemon = self.start("-debug", "-logstats", "1", pool=2)
        port = self.listen_on(ports(1))[0]
        exporter = self.exporter()
        exporter.associate(port)
        exporter.send(port, b"data")
        daemon.wait_out("read 4 bytes")
        out = daemon.out()
        self.assertTrue(out[out.index("ignoring Notification Messages") + 1].startswith("read 0 bytes from "))
        self.assertEqual(self.collector.records(1)[0].payload, b"data")
        self.assertEqual(daemon.next_report()[:4], (1, 0, 1, 1))

    def test_message_longer_than_the_buffer_becomes_several_records(self):
        self.start(maxsize=100)
        port = self.listen_on(ports(1))[0]
        exporter = self.exporter()
        exact, longer = bytes(range(100)), bytes(range(250))
        exporter.send(port, exact, stream=1)
        exporter.send(port, longer, stream=2)
        self.assertEqual(self.collector.records(1)[0].payload, exact)
        pieces = self.collector.records(3)
        self.assertEqual([(len(r.payload), r.stream) for r in pieces], [(100, 2), (100, 2), (50, 2)])
        self.assertEqual(b"".join(r.payload for r in pieces), longer)


class PoolWarnings(Scenario):
    # (options, pool, steps): ("fill", n) sends n datagrams, ("forward", n)
    # takes n records; after each step the warnings so far, stderr then the
    # recovery lines of stdout, must be exactly the list given.
    EPISODES = [
        ("low reserve, recovery above the threshold, not at it", [], 10, [
            ("fill", 8, []), ("fill", 1, [LOW % (15, 10)]), ("forward", 4, [LOW % (15, 10)]),
            ("forward", 1, [LOW % (15, 10), RECOVERED % 50])]),
        ("empty pool counts its discards, the total comes after the recovery", [], 10, [
            ("fill", 13, [LOW % (15, 10), EMPTY]),
            ("forward", 6, [LOW % (15, 10), EMPTY, RECOVERED % 50, TOTAL % 3]),
            ("fill", 10, [LOW % (15, 10), EMPTY, LOW % (15, 10), EMPTY, RECOVERED % 50, TOTAL % 3]),
            ("forward", 6, [LOW % (15, 10), EMPTY, LOW % (15, 10), EMPTY, RECOVERED % 50, TOTAL % 3,
                            RECOVERED % 50, TOTAL % 7])]),
        ("equal percentages warn at half and recover one above", ["-poolusagewarnpct", "50",
                                                                  "-cancelpoolusagewarnpct", "50"], 10, [
            ("fill", 4, []), ("fill", 1, [LOW % (50, 10)]), ("forward", 1, [LOW % (50, 10), RECOVERED % 50])]),
        ("a pool of 0 discards everything and never recovers", [], 0, [
            ("fill", 3, [EMPTY]), ("forward", 0, [EMPTY])]),
    ]

    def warnings(self, daemon):
        return daemon.err() + [m for m in daemon.out() if "recovered" in m or m.startswith("Total")]

    def test_reserve_episodes(self):
        for name, options, pool, steps in self.EPISODES:
            with self.subTest(name):
                self.new_collector()
                daemon = self.start("-debug", "-logstats", "1", *options, pool=pool)
                port = self.listen_on(ports(1))[0]
                exporter = self.exporter()
                # On an empty pool the notification is drained and counted like a datagram.
                exporter.associate(port)
                daemon.wait_out("pool is empty, discarding packet" if pool == 0 else "ignoring Notification")
                received, forwarded = (1 if pool == 0 else 0), 0
                for action, n, expected in steps:
                    if action == "fill":
                        for i in range(n):
                            exporter.send(port, b"p%d" % i)
                        received += n
                        daemon.wait_receives(received)
                    else:
                        for _ in range(n):
                            self.collector.records(1)
                        forwarded += n
                        daemon.wait_out("wants a packet", forwarded)
                    # A warning follows the receive or send that causes it.
                    try:
                        wait_until(lambda: self.warnings(daemon) == expected, "the warnings", 2)
                    except AssertionError:
                        pass
                    self.assertEqual(self.warnings(daemon), expected, (action, n))
                # The report agrees: what was neither forwarded nor queued was discarded.
                got, discarded, fwd, wants, free, size, queued, _ = daemon.next_report()
                self.assertEqual((fwd, wants, size), (forwarded, forwarded, pool))
                self.assertEqual((got + discarded, free + queued), (received, pool))
                self.assertEqual(self.warnings(daemon), steps[-1][2])
                daemon.kill()


class Statistics(Scenario):
    def test_report_timing_lines_and_values(self):
        connected = time.monotonic()
        daemon = self.start("-debug", "-logstats", "1", pool=200)
        port = self.listen_on(ports(1))[0]
        wait_until(daemon.reports, "the first report", 3)
        self.assertGreater(time.monotonic() - connected, 0.9)
        self.assertEqual(daemon.reports()[0], (0, 0, 0, 0, 200, 200, 0, 0))
        exporter = self.exporter()
        for i in range(3):
            exporter.send(port, b"d%d" % i)
        daemon.wait_receives(3)
        self.collector.records(3)
        self.collector.want()  # nothing queued: counted, not forwarded
        daemon.wait_out("wants a packet", 4)
        self.assertEqual(daemon.next_report(), (3, 0, 3, 4, 200, 200, 0, 3))
        self.assertNotIn("\n\n\n", daemon.stdout())

    def test_lost_stdout_reader_stops_nothing(self):
        # A log reader that exits (| head, a shipper restarting) must cost
        # the lines, not the daemon or a single record.
        daemon = self.start("-debug", "-logstats", "1", stdout=subprocess.PIPE)
        port = self.listen_on(ports(1))[0]
        exporter = self.exporter()
        for i in range(5):
            exporter.send(port, b"queued %d" % i)
        seen = b""
        while seen.count(b"] read ") < 5:
            self.assertTrue(select.select([daemon.proc.stdout], [], [], 5 * SLOW)[0], seen)
            seen += os.read(daemon.proc.stdout.fileno(), 65536)
        daemon.proc.stdout.close()
        self.assertEqual([r.payload for r in self.collector.records(5)], [b"queued %d" % i for i in range(5)])
        self.collector.close()
        self.assertExit(daemon, 0)

    def test_storms_account_for_every_datagram(self):
        # Exporters far faster than the wants while the reporter reads every
        # counter and length: under the thread sanitizer, its race workload.
        daemon = self.start("-logstats", "1", pool=40, maxsize=200, bufsize=1 << 20)
        all_ports = self.listen_on(ports(3))
        exporters = [self.exporter(), self.exporter("127.0.0.2")]
        for e in exporters:
            for p in all_ports:
                e.associate(p)
        sent, records = 0, []
        for episode in range(2 if SANITIZED or KERNEL else 4):
            for burst in range(12):
                for _ in range(25):
                    exporters[sent % 2].send(all_ports[sent % 3], struct.pack(">I", sent) + bytes(40))
                    sent += 1
                self.collector.want()
            records.append(self.collector.record())
            while True:   # one want per record until nothing more comes
                self.collector.want()
                if self.collector.nothing_pending(0.3):
                    break
                records.append(self.collector.record())
            daemon.wait_out(RECOVERED % 50, episode + 1)
        got, discarded, forwarded, wants, free, size, queued, high = daemon.next_report()
        self.assertEqual((free, size, queued, high), (40, 40, 0, 40))
        self.assertEqual((got, forwarded), (len(records), len(records)))
        self.assertGreater(discarded, 0)
        self.assertLessEqual(got + discarded, sent)   # the emulation's UDP may lose some
        # Every empty-pool episode ends in a recovery and the total so far.
        self.assertGreaterEqual(daemon.err().count(EMPTY), episode + 1)
        self.assertEqual([m for m in daemon.out() if m.startswith(("Total", "The packet"))][-2:],
                         [RECOVERED % 50, TOTAL % discarded])
        self.assertEqual(len([m for m in daemon.out() if m.startswith("Total")]), daemon.err().count(EMPTY))
        # Each exporter's datagrams to a port leave in the order they were
        # sent (SCTP orders within an association only), each at most once.
        seqs = [struct.unpack(">I", r.payload[:4])[0] for r in records]
        self.assertEqual(len(seqs), len(set(seqs)))
        for port in all_ports:
            for address in ("127.0.0.1", "127.0.0.2"):
                mine = [s for s, r in zip(seqs, records) if (r.port, r.address) == (port, address)]
                self.assertEqual(mine, sorted(mine))
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertNotIn("Sanitizer", daemon.stderr())


if __name__ == "__main__":
    unittest.main()
