"""The command line, start-up and the connection attempts to the collector.
Nothing here touches SCTP, so it runs on the emulation only."""

import socket
import subprocess
import unittest

from harness import BIN, SANITIZED, SLOW, USAGE, Daemon, Scenario, emul_only, ports

REQUIRED = ["-forwardingport", "1", "-udpsocketbufsize", "0", "-packetpoolsize", "0", "-maxpacketsize", "0"]
SAME = "nothing here depends on the transport"


@emul_only(SAME)
class CommandLine(Scenario):
    def test_every_bad_line_gives_the_usage_line_and_status_1(self):
        for args in [
            [],
            REQUIRED[:-2],                                   # a required option missing
            REQUIRED[:-1],                                   # value option last, nothing behind it
            REQUIRED + ["-logstats"],
            REQUIRED + ["-poolusagewarnpct", "60"],          # above the default recovery of 50
            REQUIRED + ["-poolusagewarnpct", "-1"],          # reads as a huge unsigned value
            REQUIRED + ["-cancelpoolusagewarnpct", "101"],
            REQUIRED + ["-poolusagewarnpct", "30", "-cancelpoolusagewarnpct", "20"],
            REQUIRED + ["--debug"],
            REQUIRED + ["2055"],
            ["-forwardingport", "-5"] + REQUIRED[2:],
            REQUIRED[:5] + ["-1"] + REQUIRED[6:],
        ]:
            with self.subTest(args=args):
                p = subprocess.run([BIN] + args, capture_output=True, text=True, timeout=10 * SLOW,
                                   stdin=subprocess.DEVNULL)
                self.assertEqual((p.returncode, p.stdout, p.stderr), (1, "", USAGE))

    def test_accepted_lines_try_the_port_they_name(self):
        # The values are read the way atoi reads them, the last occurrence wins.
        for args, port in [
            (REQUIRED, 1),
            (["-forwardingport", "abc"] + REQUIRED[2:], 0),
            (["-forwardingport", "12x"] + REQUIRED[2:], 12),
            (REQUIRED + ["-poolusagewarnpct", "50", "-cancelpoolusagewarnpct", "50", "-logstats", "-3"], 1),
            (REQUIRED + ["-forwardingport", "9", "-logstats", "0"], 9),
        ]:
            with self.subTest(args=args):
                daemon = Daemon(["-debug"] + args)
                self.cleanups.append(daemon.kill)
                daemon.wait_out("opening socket to orvel at port %d\n" % port)
                self.assertEqual(daemon.stderr(), "")
                self.assertEqual(daemon.out()[0], "starting up quorvane...")
                daemon.kill()

    def test_debug_start_up_on_the_low_16_bits_of_the_forwarding_port(self):
        daemon = self.start("-debug", forwardingport=self.collector.port + 65536)
        self.collector.want()
        daemon.wait_out("wants a packet")
        self.collector.close()
        self.assertExit(daemon, 0)
        self.assertEqual(daemon.out(), [
            "starting up quorvane...",
            "opening socket to orvel at port %d" % (self.collector.port + 65536),
            "connected to orvel",
            "waiting for input...",
            "select returned 1 fd(s)...",
            "message from orvel: wants a packet",
            "select returned 1 fd(s)...",
            "exiting",
        ])

    def test_collector_that_appears_late_is_reached_on_a_later_attempt(self):
        port = ports(1)[0]
        daemon = self.start("-debug", forwardingport=port, connect=False)
        daemon.wait_out("opening socket to orvel", 2)
        late = socket.socket()
        self.cleanups.append(late.close)
        late.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)   # an earlier run's TIME_WAIT
        late.bind(("127.0.0.1", port))
        late.listen(1)
        late.settimeout(10 * SLOW)
        late.accept()[0].close()
        self.assertExit(daemon, 0, timeout=10)
        self.assertGreaterEqual(daemon.out().count("opening socket to orvel at port %d" % port), 3)

    @unittest.skipIf(SANITIZED, "the minute-long give-up runs once, in the plain build")
    def test_gives_up_after_30_attempts(self):
        port = ports(1)[0]
        daemon = self.start("-debug", "-logstats", "1", forwardingport=port, connect=False)
        self.assertExit(daemon, 1, timeout=75)
        self.assertEqual(daemon.out().count("opening socket to orvel at port %d" % port), 30)
        self.assertEqual(daemon.err(), ["error, can't connect to orvel, giving up"])
        # The statistics thread only starts once connected: no report ever.
        self.assertEqual(daemon.reports(), [])


if __name__ == "__main__":
    unittest.main()
