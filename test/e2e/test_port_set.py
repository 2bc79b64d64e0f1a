"""The listening port set follows the collector's port updates."""

import os
import resource
import socket
import time
import unittest

from harness import SLOW, DaemonTest, free_udp_port, port_update, wait_until


def setup_lines(port, bufsize=65536):
    return ["adding listening port %d" % port, "setting socket buffer size: %d" % bufsize,
            "Subscribing for SCTP Events"]


class PortUpdates(DaemonTest):
    def port_lines(self, daemon):
        keep = ("adding", "removing", "setting socket", "Subscribing")
        return [m for m in daemon.out_messages() if m.startswith(keep)]

    def test_open_keep_and_close(self):
        daemon = self.start("-debug")
        a, b, c = sorted({free_udp_port() for _ in range(3)})
        self.collector.port_update([b, a])
        daemon.wait_out("Subscribing for SCTP Events", 2)
        self.assertEqual(self.port_lines(daemon), setup_lines(a) + setup_lines(b))

        # b keeps its socket through the next update: a datagram that is
        # waiting on it while the update is read still arrives.
        update = port_update([b, c])
        self.collector.hold_in_port_update(daemon, update)
        exporter = self.exporter()
        exporter.send(b, b"waiting on b")
        time.sleep(0.2 * SLOW)
        self.collector.send(update[1:])
        daemon.wait_out("adding listening port %d" % c)
        self.assertEqual(self.port_lines(daemon)[6:], ["removing port %d" % a] + setup_lines(c))
        self.collector.want()
        self.assertEqual(self.collector.record().payload, b"waiting on b")

        # Repeating an update that fully succeeded changes and writes nothing.
        before = len(self.port_lines(daemon))
        self.collector.port_update([c, b])
        self.collector.port_update([])
        daemon.wait_out("removing port %d" % c)
        self.assertEqual(self.port_lines(daemon)[before:], ["removing port %d" % b, "removing port %d" % c])

        # Nothing listens any more: a datagram to a former port goes nowhere.
        exporter.send(c, b"too late")
        self.collector.want()
        self.assertTrue(self.collector.nothing_pending(0.5))

    def test_port_value_above_65535_listens_on_its_low_16_bits(self):
        daemon = self.start("-debug")
        port = free_udp_port()
        self.listen_on(daemon, [port + 65536])
        self.exporter().send(port, b"low bits")
        self.collector.want()
        record = self.collector.record()
        self.assertEqual((record.port, record.payload), (port + 65536, b"low bits"))

    def test_port_held_by_another_process_is_refused_and_retried(self):
        daemon = self.start()
        held = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        held.bind(("0.0.0.0", 0))
        port = held.getsockname()[1]
        line = "error, can't bind to port %d: Address already in use" % port
        self.collector.port_update([port])
        daemon.wait_err(line)
        self.collector.port_update([port])
        wait_until(lambda: daemon.stderr().count(line) == 2, 5, "the bind error again")
        held.close()
        self.collector.port_update([port])
        time.sleep(0.3 * SLOW)
        self.exporter().send(port, b"now free")
        self.collector.want()
        self.assertEqual(self.collector.record().payload, b"now free")
        self.assertEqual(daemon.err_messages(), [line, line])


class RefusingStack(DaemonTest):
    def test_receive_buffer_refused_is_a_warning_and_the_port_still_listens(self):
        daemon = self.start(env={"QUORVANE_EMUL_FAIL": "rcvbuf"}, bufsize=4096)
        port = free_udp_port()
        self.collector.port_update([port])
        daemon.wait_err("warning, can't set socket receive buffer size to 4096: No buffer space available")
        self.exporter().send(port, b"still here")
        self.collector.want()
        self.assertEqual(self.collector.record().payload, b"still here")

    def test_socket_refused_skips_the_port(self):
        daemon = self.start(env={"QUORVANE_EMUL_FAIL": "socket"})
        port = free_udp_port()
        self.collector.port_update([port])
        daemon.wait_err("can't create socket for port %d: Protocol not supported" % port)
        self.collector.want()
        self.assertTrue(daemon.running())

    def test_event_subscription_refused_ends_the_daemon(self):
        daemon = self.start(env={"QUORVANE_EMUL_FAIL": "events"})
        self.collector.port_update([free_udp_port()])
        self.assertExit(daemon, 1)
        self.assertEqual(daemon.err_messages(), ["Error: setsockopt SCTP EVENTS"])


class DescriptorGuards(DaemonTest):
    def test_socket_reusing_a_closed_descriptor_is_not_read_in_the_same_pass(self):
        # The update closes a's socket, which has a datagram waiting and is
        # ready in this pass, and opens b's, which gets a's descriptor number.
        # Reading b in that pass would block the daemon on an empty socket.
        daemon = self.start("-debug")
        a, b = free_udp_port(), free_udp_port()
        self.listen_on(daemon, [a])
        self.collector.hold_in_port_update(daemon, port_update([a]))
        self.exporter().send(a, b"makes a ready")
        time.sleep(0.2 * SLOW)
        self.collector.send(port_update([a])[1:] + port_update([b]))
        daemon.wait_out("adding listening port %d" % b)
        # Still serving requests, not stuck in a receive on b.
        self.collector.want()
        daemon.wait_out("message from orvel: wants a packet")
        self.exporter().send(b, b"on b")
        self.assertEqual(self.collector.record(timeout=3).payload, b"on b")

    def test_descriptor_beyond_the_select_limit_is_refused(self):
        # Start the daemon with almost every descriptor below 1024 taken (and
        # inherited: close_fds is off for such a start), so that its collector
        # socket gets 1022, the first port 1023 and the second port 1024.
        def crowd():
            resource.setrlimit(resource.RLIMIT_NOFILE, (4096, max(4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1])))
            null = os.open("/dev/null", os.O_RDONLY)
            os.set_inheritable(null, True)
            for fd in range(3, 1022):
                if fd != null:
                    os.dup2(null, fd)
        daemon = self.start(preexec_fn=crowd)
        first, second = sorted({free_udp_port(), free_udp_port()})
        self.collector.port_update([first, second])
        daemon.wait_err("error, can't watch port %d: socket descriptor 1024 is beyond the select limit of 1024"
                        % second)
        self.exporter().send(first, b"below the limit")
        self.collector.want()
        self.assertEqual(self.collector.record().payload, b"below the limit")
        self.assertTrue(daemon.running())


if __name__ == "__main__":
    unittest.main()
