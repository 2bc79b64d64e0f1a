"""Soak tests over the daemon's real interfaces: a collector that leaves at
every byte of a scripted session, pool exhaustion storms with exact
accounting, and port churn under traffic without descriptor leaks.

Short by default; QUORVANE_SOAK_LONG=1 runs every cut position, more storm
episodes and ten times the port updates."""

import os
import random
import re
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import SLOW, DaemonTest, free_udp_port, port_update, wait_until  # noqa: E402

LONG = os.environ.get("QUORVANE_SOAK_LONG", "") not in ("", "0")

REPORT = re.compile(r"\n\w{3} \w{3} [ 1-3]\d \d\d:\d\d:\d\d \d{4}\n"
                    r"(\d+) packets received, (\d+) discarded, (\d+) forwarded, (\d+) wants from ORVEL\n"
                    r"(\d+)/(\d+) pool entries available\n"
                    r"(\d+) queued packets waiting, high water mark=(\d+)\n")


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class CollectorLeavesAnywhere(DaemonTest):
    """The collector closes its end after every prefix of a session; whatever
    was half sent or half read, the daemon ends with "exiting" and status 0."""

    def session(self, ports):
        """The scripted session: (bytes to send, datagrams to export first,
        bytes of the answering record to read)."""
        return [
            (port_update(ports), 0, 0),
            (b"\x00", 1, 60),            # a record, partly read
            (b"\x00", 1, 0),             # a record left unread
            (port_update(ports[1:] + ports[:1] + [ports[0]]), 0, 0),
            (port_update([ports[1]], count=1), 0, 0),
            (b"\x00\x00", 2, 136),       # one whole record, a merged want
            (port_update([], count=-1), 0, 0),
            (b"\x00", 0, 0),
        ]

    def run_cut(self, cut_send, cut_read):
        """Sends the session's first cut_send request bytes and reads at most
        cut_read record bytes in all, then closes the connection."""
        self.collector.close()
        self.collector = type(self.collector)()
        daemon = self.start("-debug", pool=4)
        ports = sorted({free_udp_port(), free_udp_port()})
        exporter = self.exporter()
        sent = read = 0
        for step, (data, datagrams, to_read) in enumerate(self.session(ports)):
            if sent >= cut_send:
                break
            for _ in range(datagrams):
                exporter.send(ports[1], bytes(100))
            piece = data[:cut_send - sent]
            self.collector.send(piece)
            sent += len(piece)
            if piece != data:
                break
            if step == 0:
                # ports[1] stays open through every later update; the pass
                # walks its sockets only once they are bound.
                daemon.wait_out("checking netflow listening ports")
            take = min(to_read, cut_read - read)
            if take > 0:
                self.collector.read_exact(take)
                read += take
        # Unread record bytes make this close a reset: the daemon then sees a
        # read error or a failed send instead of an end of file.
        self.collector.conn.close()
        status = daemon.wait(10)
        self.assertEqual(status, 0, "cut at %d sent / %d read\nstdout tail: %r\nstderr: %r"
                         % (cut_send, cut_read, daemon.stdout()[-400:], daemon.stderr()))
        self.assertEqual(daemon.out_messages()[-1], "exiting")
        self.assertEqual(daemon.stderr(), "")
        daemon.kill()
        self.collector.close()

    def test_every_cut_of_the_request_stream(self):
        total = sum(len(d) for d, _, _ in self.session([1, 2]))
        for cut in range(total + 1):
            with self.subTest(cut=cut):
                self.run_cut(cut, 1 << 30)

    def test_cuts_inside_the_records_read(self):
        total = sum(r for _, _, r in self.session([1, 2]))
        step = 1 if LONG else 7
        for cut in sorted(set(range(0, total + 1, step)) | {total}):
            with self.subTest(read=cut):
                self.run_cut(1 << 30, cut)


class PoolExhaustionStorms(DaemonTest):
    """Exporters far faster than the wants: the pool runs dry, datagrams are
    drained and counted, and every count of the report adds up exactly."""

    POOL = 40

    def report(self, daemon):
        found = REPORT.findall(daemon.stdout())
        return tuple(int(v) for v in found[-1]) if found else None

    def test_storms_account_for_every_datagram(self):
        daemon = self.start("-debug", "-logstats", "1", pool=self.POOL, maxsize=200, bufsize=1 << 20)
        ports = sorted({free_udp_port(), free_udp_port(), free_udp_port()})
        self.listen_on(daemon, ports)
        exporters = [self.exporter(), self.exporter("127.0.0.2")]
        sent = 0
        records = []
        episodes = 40 if LONG else 4
        for episode in range(episodes):
            # A storm: many times the pool, in bursts small enough that the
            # kernel keeps nearly all of them, while a few wants trickle in.
            for burst in range(12):
                for _ in range(25):
                    exporters[sent % 2].send(ports[sent % 3], struct.pack(">II", episode, sent) + bytes(40))
                    sent += 1
                self.collector.want()
                time.sleep(0.01)
            records.append(self.collector.record())
            # Drain: one want per record until the queue is empty.
            while True:
                self.collector.want()
                if self.collector.nothing_pending(0.3):
                    break
                records.append(self.collector.record())
            out = daemon.stdout()
            self.assertIn("The packet pool reserve has recovered to 50 percent.", out)

        # One more report after everything has settled.
        time.sleep(0.2 * SLOW)
        seen = len(REPORT.findall(daemon.stdout()))
        wait_until(lambda: len(REPORT.findall(daemon.stdout())) > seen, 3, "a report after the storms")
        received, discarded, forwarded, wants, free, size, queued, high = self.report(daemon)
        out = daemon.stdout()
        read_lines = re.findall(r"\] read (-?\d+) bytes from ", out)
        drained = out.count("pool is empty, discarding packet")

        self.assertEqual(size, self.POOL)
        self.assertEqual(queued, 0)
        self.assertEqual(free, self.POOL)
        self.assertEqual(high, self.POOL)
        # No short sends on loopback: every record received went out whole.
        self.assertEqual(received, forwarded + queued)
        self.assertEqual(forwarded, len(records))
        self.assertEqual(received, sum(1 for n in read_lines if int(n) > 0))
        self.assertEqual(discarded, drained)
        # The emulation's kernel may drop datagrams before the daemon reads
        # them; never more may be read than were sent.
        self.assertLessEqual(received + discarded, sent)
        self.assertGreater(discarded, 0)
        self.assertEqual(wants, out.count("message from orvel: wants a packet"))
        # Each port's datagrams leave in the order they were sent (a pass
        # takes one from each ready port in port order), each at most once.
        seqs = [struct.unpack(">II", r.payload[:8])[1] for r in records]
        self.assertEqual(len(seqs), len(set(seqs)))
        for port in ports:
            mine = [struct.unpack(">II", r.payload[:8])[1] for r in records if r.port == port]
            self.assertEqual(mine, sorted(mine))
            self.assertTrue(all(s % 3 == ports.index(port) for s in mine))
        # One empty-pool warning and one discard total per episode, the
        # total being the counter since start-up.
        errors = daemon.err_messages()
        self.assertEqual(errors.count("Warning, the packet pool is empty; some packets may be discarded."),
                         episodes)
        totals = [int(m) for m in re.findall(r"Total number of packets discarded due to insufficient pool "
                                             r"entries: (\d+)", out)]
        self.assertEqual(len(totals), episodes)
        self.assertEqual(totals, sorted(totals))
        self.assertEqual(totals[-1], discarded)


class PortChurn(DaemonTest):
    """A thousand port updates while datagrams flow and records are taken:
    descriptors come and go with the ports and none is left behind."""

    def test_port_updates_under_traffic_leak_no_descriptor(self):
        daemon = self.start(pool=64, maxsize=200)
        pid = daemon.proc.pid
        candidates = sorted({free_udp_port() for _ in range(24)})
        time.sleep(0.2 * SLOW)
        baseline = open_descriptors(pid)
        self.collector.port_update(candidates)
        wait_until(lambda: open_descriptors(pid) == baseline + len(candidates), 5, "all ports open")
        full = open_descriptors(pid)

        stop = threading.Event()
        counts = {"records": 0}

        def export():
            exporter = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            rng = random.Random(1)
            while not stop.is_set():
                frame = struct.pack(">BBH", 0, 0, 1) + bytes(60)
                exporter.sendto(frame, ("127.0.0.1", rng.choice(candidates)))
                time.sleep(0.0005)
            exporter.close()

        def read_records():
            try:
                while True:
                    self.collector.record(timeout=30)
                    counts["records"] += 1
            except (AssertionError, OSError):
                pass

        threads = [threading.Thread(target=export), threading.Thread(target=read_records, daemon=True)]
        for t in threads:
            t.start()
        rng = random.Random(2)
        updates = 10000 if LONG else 1000
        try:
            for i in range(updates):
                chosen = rng.sample(candidates, rng.randint(0, len(candidates)))
                # Repeats and any order: the update is a set.
                chosen += chosen[:rng.randint(0, 3)]
                rng.shuffle(chosen)
                self.collector.send(port_update(chosen) + b"\x00")
                if i % 100 == 0:
                    self.assertTrue(daemon.running())
        finally:
            stop.set()
            threads[0].join(10)

        self.collector.port_update(candidates)
        wait_until(lambda: open_descriptors(pid) == full, 5, "the full set again")
        self.collector.port_update([])
        wait_until(lambda: open_descriptors(pid) == baseline, 5, "no port socket left")
        self.assertGreater(counts["records"], 0)
        self.assertTrue(daemon.running())
        self.assertEqual(daemon.stderr(), "")
        self.collector.conn.shutdown(socket.SHUT_RDWR)
        self.assertEqual(daemon.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
