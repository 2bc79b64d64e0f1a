"""The request stream from the collector and the end of the connection."""

import socket
import struct
import time
import unittest

from harness import SLOW, DaemonTest, free_udp_port, port_update


class Requests(DaemonTest):
    def test_wants_are_a_flag_not_a_count(self):
        daemon = self.start("-debug", "-logstats", "1")
        port = free_udp_port()
        self.listen_on(daemon, [port])
        self.collector.send(b"\x00\x00")
        daemon.wait_until_count("message from orvel: wants a packet", 2)
        exporter = self.exporter()
        exporter.send(port, b"first")
        exporter.send(port, b"second")
        self.assertEqual(self.collector.record().payload, b"first")
        self.assertTrue(self.collector.nothing_pending())
        self.collector.want()
        self.assertEqual(self.collector.record().payload, b"second")
        daemon.wait_out("2 packets received, 0 discarded, 2 forwarded, 3 wants from ORVEL", timeout=3)

    def test_port_update_split_across_writes_with_duplicates(self):
        daemon = self.start("-debug")
        low, high = sorted({free_udp_port(), free_udp_port()})
        update = port_update([high, low, high])
        for i in range(0, len(update), 3):
            self.collector.send(update[i:i + 3])
            time.sleep(0.05)
        self.collector.want()
        daemon.wait_out("wants a packet")
        out = daemon.out_messages()
        added = [m for m in out if m.startswith("adding listening port")]
        self.assertEqual(added, ["adding listening port %d" % low, "adding listening port %d" % high])
        # All 17 bytes went into one request: the want right behind it was read as a want.
        self.assertLess(out.index("message from orvel: port update"), out.index("message from orvel: wants a packet"))

    def test_negative_count_consumes_five_bytes(self):
        daemon = self.start("-debug")
        self.collector.send(struct.pack(">Bi", 1, -1) + b"\x02")
        self.assertExit(daemon, 1)
        self.assertEqual(daemon.err_messages(), ["unexpected request from orvel: 2, exiting"])
        self.assertNotIn("adding listening port", daemon.stdout())

    def test_unexpected_request_codes_end_the_daemon(self):
        for code in (2, 255):
            with self.subTest(code=code):
                self.collector.close()
                self.collector = self.collector.__class__()
                daemon = self.start()
                self.collector.send(bytes([code]))
                self.assertExit(daemon, 1)
                self.assertEqual(daemon.err_messages(), ["unexpected request from orvel: %d, exiting" % code])
                self.assertEqual(daemon.out_messages(), ["starting up quorvane..."])
                self.collector.close()


class EndOfConnection(DaemonTest):
    def test_end_of_connection_at_any_byte_of_a_request_is_an_orderly_exit(self):
        update = port_update([free_udp_port()])
        for cut in range(len(update)):
            with self.subTest(cut=cut):
                self.collector.close()
                self.collector = self.collector.__class__()
                daemon = self.start()
                self.collector.send(update[:cut])
                time.sleep(0.05)
                self.collector.close()
                self.assertExit(daemon, 0)
                self.assertEqual(daemon.out_messages(), ["starting up quorvane...", "exiting"])
                self.assertEqual(daemon.stderr(), "")

    def test_reset_connection_is_an_orderly_exit(self):
        daemon = self.start()
        self.collector.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertEqual(daemon.out_messages(), ["starting up quorvane...", "exiting"])

    def test_collector_closing_with_wants_outstanding(self):
        # The wants are still readable after the close, so the daemon sends to
        # a closed peer; the peer's reset turns the next send into a broken
        # pipe, which must end the daemon in order rather than by SIGPIPE.
        daemon = self.start("-debug")
        port = self.listen_on(daemon, [free_udp_port()])[0]
        exporter = self.exporter()
        for i in range(3):
            exporter.send(port, b"x" * 100)
        daemon.wait_until_count("read 100 bytes", 3)
        self.collector.want(3)
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertEqual(daemon.out_messages()[-1], "exiting")
        self.assertEqual(daemon.stderr(), "")

    def test_collector_resetting_under_a_blocked_send(self):
        # The collector stops reading and then resets the connection while the
        # daemon is blocked sending a large record: that send comes back
        # short, and the next one fails. Both must end in warnings and an
        # orderly exit, never in death by SIGPIPE.
        self.collector.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        daemon = self.start("-debug", pool=150, maxsize=60000)
        self.collector.conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        port = free_udp_port()
        self.listen_on(daemon, [port])
        exporter = self.exporter()
        for i in range(150):
            exporter.send(port, bytes([i]) * 60000)
            daemon.wait_until_count("read 60000 bytes", i + 1)
        self.collector.want(150)
        time.sleep(0.5 * SLOW)
        self.collector.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertEqual(daemon.out_messages()[-1], "exiting")
        for line in daemon.err_messages()[1:]:
            self.assertRegex(line, r"^warning, send to orvel returned less than expected size: \d+$")

if __name__ == "__main__":
    unittest.main()
