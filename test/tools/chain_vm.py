#!/usr/bin/env python3
"""The whole chain on a kernel with SCTP: quorvane-collector, the daemon and
quorvane-exporter, checked through the collector's record lines and raw
file and everyone's exit status. Runs inside the test VM (run_in_vm.sh).

usage: chain_vm.py QUORVANE COLLECTOR EXPORTER
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

QUORVANE = COLLECTOR = EXPORTER = None
TIMEOUT = 30
LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} from 127\.0\.0\.1 port (\d+) stream (\d+) len (\d+)"
                  r"(?: netflow v(\d+) (?:count|length) (\d+) seq (\d+))?$")


class Chain(unittest.TestCase):
    def spawn(self, args, **kw):
        p = subprocess.Popen(args, **kw)

        def stop():
            if p.poll() is None:
                os.kill(p.pid, signal.SIGKILL)
                p.wait(timeout=TIMEOUT)
        self.addCleanup(stop)
        return p

    def test_records_carry_port_stream_and_payload(self):
        tmp = tempfile.mkdtemp()
        raw = os.path.join(tmp, "records.raw")
        col = self.spawn([COLLECTOR, "-listen", "0", "-ports", "2055,4739", "-count", "12",
                          "-ahead", "3", "-raw", raw],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        port = col.stdout.readline().strip().rsplit(":", 1)[1]
        daemon = self.spawn([QUORVANE, "-forwardingport", port, "-udpsocketbufsize", "262144",
                             "-packetpoolsize", "50", "-maxpacketsize", "9000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1)  # the port update has to be through before exporters connect
        e1 = subprocess.run([EXPORTER, "-host", "127.0.0.1", "-port", "2055", "-assocs", "2",
                             "-streams", "0,5", "-count", "8", "-format", "ipfix", "-size", "200",
                             "-quiet"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(0, e1.returncode, e1.stderr)
        e2 = subprocess.run([EXPORTER, "-host", "127.0.0.1", "-port", "4739", "-style",
                             "one-to-many", "-streams", "1", "-count", "4", "-format", "v5",
                             "-bind", "127.0.0.1", "-quiet"],
                            capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(0, e2.returncode, e2.stderr)

        out, err = col.communicate(timeout=TIMEOUT)
        self.assertEqual(0, col.returncode, err)
        dout, derr = daemon.communicate(timeout=TIMEOUT)
        self.assertEqual(0, daemon.returncode, derr)
        self.assertTrue(dout.rstrip().endswith("exiting"), dout)

        got = [LINE.match(l) for l in out.splitlines()]
        self.assertTrue(all(got), out)
        fields = [(int(m[1]), int(m[2]), int(m[3]), m[4], int(m[6])) for m in got]
        ipfix = sorted(f for f in fields if f[0] == 2055)
        v5 = [f for f in fields if f[0] == 4739]
        # IPFIX of 200 bytes carries 6 records, so sequences step by 6.
        self.assertEqual([(2055, s, 200, "10", q) for s, q in
                          [(0, 0), (0, 6), (0, 24), (0, 30), (5, 12), (5, 18), (5, 36), (5, 42)]],
                         ipfix)
        # One association, one stream: order is kept.
        self.assertEqual([(4739, 1, 72, "5", q) for q in range(4)], v5)
        with open(raw, "rb") as f:
            self.assertEqual(8 * 236 + 4 * 108, len(f.read()))


if __name__ == "__main__":
    QUORVANE, COLLECTOR, EXPORTER = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
