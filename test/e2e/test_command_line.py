"""Command line and start-up, through the binary's arguments, streams and status."""

import socket
import subprocess
import time
import unittest

from harness import BIN, SLOW, USAGE, Daemon, DaemonTest, messages

REQUIRED = ["-forwardingport", "1", "-udpsocketbufsize", "0", "-packetpoolsize", "0", "-maxpacketsize", "0"]


def run(args):
    proc = subprocess.run([BIN] + args, capture_output=True, text=True, timeout=10 * SLOW, stdin=subprocess.DEVNULL)
    return proc.returncode, proc.stdout, proc.stderr


class RefusedCommandLines(unittest.TestCase):
    def test_every_bad_line_gives_the_usage_line_and_status_1(self):
        bad = [
            [],
            REQUIRED[:-2],                                   # one required option missing
            REQUIRED[:-1],                                   # value option last, nothing behind it
            REQUIRED + ["-logstats"],
            REQUIRED + ["-poolusagewarnpct", "60"],          # above the default recovery of 50
            REQUIRED + ["-poolusagewarnpct", "-1"],          # reads as a huge unsigned value
            REQUIRED + ["-cancelpoolusagewarnpct", "101"],
            REQUIRED + ["-poolusagewarnpct", "30", "-cancelpoolusagewarnpct", "20"],
            REQUIRED + ["--debug"],
            REQUIRED + ["-Debug"],
            REQUIRED + ["2055"],
            ["-forwardingport", "-5"] + REQUIRED[2:],
            REQUIRED[:5] + ["-1"] + REQUIRED[6:],
        ]
        for args in bad:
            with self.subTest(args=args):
                status, out, err = run(args)
                self.assertEqual((status, out, err), (1, "", USAGE))


class AcceptedCommandLines(unittest.TestCase):
    """Accepted lines get as far as trying to connect: the start-up line and no usage."""

    def check_accepted(self, args):
        daemon = Daemon(args)
        try:
            daemon.wait_out("starting up quorvane...")
            time.sleep(0.2)
            self.assertTrue(daemon.running())
            self.assertEqual(daemon.stderr(), "")
            self.assertEqual(daemon.out_messages(), ["starting up quorvane..."])
        finally:
            daemon.kill()

    def test_edge_values_are_accepted(self):
        accepted = [
            REQUIRED,                                                     # all zero
            ["-forwardingport", "abc"] + REQUIRED[2:],                    # atoi gives 0
            REQUIRED + ["-poolusagewarnpct", "50", "-cancelpoolusagewarnpct", "50"],
            REQUIRED + ["-logstats", "0"],
            REQUIRED + ["-logstats", "-3"],
            REQUIRED + ["-forwardingport", "9"],                          # later occurrence wins
        ]
        for args in accepted:
            with self.subTest(args=args):
                self.check_accepted(args)


class StartUp(DaemonTest):
    def test_quiet_start_up_writes_only_the_start_up_line(self):
        daemon = self.start()
        self.collector.want()
        time.sleep(0.3 * SLOW)
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertEqual(daemon.out_messages(), ["starting up quorvane...", "exiting"])
        self.assertEqual(daemon.stderr(), "")

    def test_debug_start_up_lines_in_order(self):
        daemon = self.start("-debug")
        daemon.wait_out("waiting for input...")
        self.collector.want()
        daemon.wait_out("wants a packet")
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertEqual(daemon.out_messages(), [
            "starting up quorvane...",
            "opening socket to orvel at port %d" % self.collector.port,
            "connected to orvel",
            "waiting for input...",
            "select returned 1 fd(s)...",
            "message from orvel: wants a packet",
            "select returned 1 fd(s)...",
            "exiting",
        ])

    def test_forwarding_port_uses_its_low_16_bits(self):
        daemon = self.start("-debug", port=self.collector.port + 65536)
        daemon.wait_out("connected to orvel")
        self.assertIn("opening socket to orvel at port %d" % (self.collector.port + 65536), daemon.out_messages())


class ConnectionRetries(DaemonTest):
    def test_collector_that_appears_late_is_reached_on_a_later_attempt(self):
        # Take a free port, and only start listening on it after a few seconds.
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        daemon = self.start("-debug", port=port, connect=False)
        time.sleep(3)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(1)
        listener.settimeout(10 * SLOW)
        try:
            conn, _ = listener.accept()
            daemon.wait_out("waiting for input...")
            attempts = daemon.out_messages().count("opening socket to orvel at port %d" % port)
            self.assertIn(attempts, (2, 3))
            conn.close()
            self.assertExit(daemon, 0)
        finally:
            listener.close()

    @unittest.skipIf(SLOW > 1, "the full give-up path runs once, in the plain build")
    def test_gives_up_after_30_attempts(self):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        started = time.monotonic()
        daemon = self.start("-debug", "-logstats", "1", port=port, connect=False)
        self.assertExit(daemon, 1, timeout=75)
        elapsed = time.monotonic() - started
        self.assertGreater(elapsed, 55)
        out = daemon.out_messages()
        self.assertEqual(out.count("opening socket to orvel at port %d" % port), 30)
        self.assertEqual(daemon.err_messages(), ["error, can't connect to orvel, giving up"])
        # The statistics thread only starts once connected: no report ever.
        self.assertNotIn("pool entries available", daemon.stdout())


if __name__ == "__main__":
    unittest.main()
