"""The listening port set follows the collector's port updates."""

import os
import random
import resource
import socket
import threading
import unittest

from harness import IPPROTO_SCTP, KERNEL, SANITIZED, Scenario, emul_only, port_taken, port_update, ports, wait_until, waiting_on


def port_lines(daemon):
    keep = ("adding", "removing", "setting socket", "Subscribing")
    return [m for m in daemon.out() if m.startswith(keep)]


def setup_lines(port, bufsize=65536):
    return ["adding listening port %d" % port, "setting socket buffer size: %d" % bufsize,
            "Subscribing for SCTP Events"]


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class PortUpdates(Scenario):
    def test_open_keep_and_close(self):
        daemon = self.start("-debug")
        a, b, c = ports(3)
        self.listen_on([b, a])
        self.assertEqual(port_lines(daemon), setup_lines(a) + setup_lines(b))
        exporter = self.exporter()
        exporter.send(b, b"before")
        self.assertEqual(self.collector.records(1)[0].payload, b"before")

        # b keeps its socket, and on real SCTP its association, through the
        # next update: a datagram waiting on it while the update is read
        # still arrives, and so does one sent after it.
        update = port_update([b, c])
        self.collector.hold_in_port_update(daemon, update)
        exporter.send(b, b"waiting on b")
        wait_until(lambda: waiting_on(b), "the datagram waiting on b")
        self.collector.send(update[1:])
        wait_until(lambda: port_taken(c) and not port_taken(a), "a closed and c open")
        self.assertEqual(port_lines(daemon)[6:], ["removing port %d" % a] + setup_lines(c))
        exporter.send(b, b"after")
        self.assertEqual([r.payload for r in self.collector.records(2)], [b"waiting on b", b"after"])

        # Repeating an update that fully succeeded changes and writes nothing.
        before = len(port_lines(daemon))
        self.collector.port_update([c, b])
        self.collector.port_update([])
        wait_until(lambda: not port_taken(b) and not port_taken(c), "every port closed")
        self.assertEqual(port_lines(daemon)[before:], ["removing port %d" % b, "removing port %d" % c])

    def test_port_value_above_65535_listens_on_its_low_16_bits(self):
        self.start()
        port = ports(1)[0]
        self.listen_on([port + 65536])
        self.exporter().send(port, b"low bits")
        record = self.collector.records(1)[0]
        self.assertEqual((record.port, record.payload), (port + 65536, b"low bits"))

    def test_port_held_by_another_socket_is_refused_then_taken_when_free(self):
        daemon = self.start()
        port, other = ports(2)
        held = socket.socket(*((socket.AF_INET, socket.SOCK_SEQPACKET, IPPROTO_SCTP) if KERNEL
                               else (socket.AF_INET, socket.SOCK_DGRAM)))
        self.cleanups.append(held.close)
        held.bind(("0.0.0.0", port))
        line = "error, can't bind to port %d: Address already in use" % port
        self.listen_on([other])
        self.collector.port_update([port, other])
        daemon.wait_err(line)
        held.close()
        self.listen_on([port, other])
        self.exporter().send(port, b"now free")
        self.assertEqual(self.collector.records(1)[0].payload, b"now free")
        self.assertEqual(daemon.err(), [line])

    @emul_only("only the emulation can make these calls fail on demand")
    def test_refusing_stack(self):
        for fail, status, line in [
            ("rcvbuf", None, "warning, can't set socket receive buffer size to 65536: No buffer space available"),
            ("socket", None, "can't create socket for port %d: Protocol not supported"),
            ("events", 1, "Error: setsockopt SCTP EVENTS"),
        ]:
            with self.subTest(fail):
                self.new_collector()
                daemon = self.start(env={"QUORVANE_EMUL_FAIL": fail})
                port = ports(1)[0]
                self.collector.port_update([port])
                if status is not None:
                    self.assertExit(daemon, status)
                    self.assertEqual(daemon.err(), [line])
                    continue
                daemon.wait_err(line % port if "%d" in line else line)
                self.exporter().send(port, b"still here")
                self.collector.want()
                if fail == "rcvbuf":   # the port listens all the same
                    self.assertEqual(self.collector.record().payload, b"still here")
                else:                  # the port is skipped, the daemon goes on
                    self.assertTrue(self.collector.nothing_pending())
                    self.assertFalse(port_taken(port))
                    self.assertIsNone(daemon.proc.poll())
                daemon.kill()


class DescriptorGuards(Scenario):
    def test_socket_reusing_a_closed_descriptor_is_not_read_in_the_same_pass(self):
        # The update closes a's socket, which has a datagram waiting and is
        # ready in this pass, and opens b's, which gets a's descriptor number.
        # Reading b in that pass would block the daemon on an empty socket.
        daemon = self.start("-debug")
        a, b = ports(2)
        self.listen_on([a])
        exporter = self.exporter()
        exporter.associate(a)
        self.collector.hold_in_port_update(daemon, port_update([a]))
        exporter.send(a, b"makes a ready")
        wait_until(lambda: waiting_on(a), "the datagram waiting on a")
        self.collector.send(port_update([a])[1:] + port_update([b]))
        wait_until(lambda: port_taken(b), "b to be bound")
        self.collector.want()
        daemon.wait_out("message from orvel: wants a packet")   # still serving, not stuck on b
        self.exporter().send(b, b"on b")
        self.assertEqual(self.collector.record().payload, b"on b")

    @emul_only("descriptor numbers do not depend on the transport")
    def test_descriptor_beyond_the_select_limit_is_refused(self):
        # Almost every descriptor below 1024 taken, and inherited, so that the
        # collector socket gets 1022, the first port 1023 and the second 1024.
        def crowd():
            hard = max(4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1])
            resource.setrlimit(resource.RLIMIT_NOFILE, (4096, hard))
            null = os.open("/dev/null", os.O_RDONLY)
            os.set_inheritable(null, True)
            for fd in range(3, 1022):
                if fd != null:
                    os.dup2(null, fd)
        daemon = self.start(preexec_fn=crowd)
        first, second = ports(2)
        self.collector.port_update([first, second])
        daemon.wait_err("error, can't watch port %d: socket descriptor 1024 is beyond the select limit of 1024"
                        % second)
        self.exporter().send(first, b"below the limit")
        self.assertEqual(self.collector.records(1)[0].payload, b"below the limit")

    @emul_only("a thousand updates under traffic take minutes in the VM")
    def test_port_churn_under_traffic_leaks_no_descriptor(self):
        daemon = self.start(pool=64, maxsize=200)
        candidates = ports(24)
        baseline = descriptors(daemon.pid)
        self.listen_on(candidates)
        full = descriptors(daemon.pid)
        self.assertEqual(full, baseline + len(candidates))
        stop = threading.Event()

        def export():
            rng, exporter = random.Random(1), self.exporter()
            while not stop.is_set():
                try:
                    exporter.send(rng.choice(candidates), bytes(60), stream=1)
                except ConnectionRefusedError:   # the port was closed a moment ago
                    pass

        def drain():   # takes whatever records come, until the connection ends
            try:
                while True:
                    self.collector.record(timeout=60)
            except (AssertionError, OSError):
                pass

        threads = [threading.Thread(target=export), threading.Thread(target=drain, daemon=True)]
        for t in threads:
            t.start()
        rng = random.Random(2)
        try:
            for _ in range(300 if SANITIZED else 1000):
                chosen = rng.sample(candidates, rng.randint(0, len(candidates)))
                chosen += chosen[:rng.randint(0, 3)]   # repeats and any order: the update is a set
                rng.shuffle(chosen)
                self.collector.send(port_update(chosen) + b"\x00")
        finally:
            stop.set()
            threads[0].join(10)
        self.collector.port_update(candidates)
        wait_until(lambda: descriptors(daemon.pid) == full, "the full set again")
        self.collector.port_update([])
        wait_until(lambda: descriptors(daemon.pid) == baseline, "no port socket left")
        self.assertEqual([m for m in daemon.err() if not m.startswith("Warning, the packet pool")], [])
        self.collector.conn.shutdown(socket.SHUT_RDWR)
        self.assertExit(daemon, 0, timeout=10)


if __name__ == "__main__":
    unittest.main()
