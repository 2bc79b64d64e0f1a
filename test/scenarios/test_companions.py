"""The companions: quorvane-exporter and quorvane-collector with the daemon
between them, the collector against a daemon played by the test, and the
collector relaying to UDP targets, nfcapd fed by softflowd among them."""

import hashlib
import os
import pathlib
import re
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from harness import (COLLECTOR_BIN, EXPORTER_BIN, SLOW, Scenario, emul_only, in_send, kernel_only, port_taken,
                     ports, tcp_listening, wait_until)

LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} from (\S+) port (\d+) stream (\d+) len \d+ (.*)$")


NFDUMP_FIELDS = "fmt:%ra %sa %sp %da %dp %pr %pkt %byt"


def write_pcap(path):
    """60 TCP and UDP flows, each with its own packet count and sizes: more
    than one export datagram's worth."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    for n in range(5):
        for i in range(60):
            if n > i % 5:
                continue
            proto, size, sport, dport = (6, 17)[i % 2], 60 + 23 * i, 40000 + i, (80, 53, 443)[i % 3]
            l4 = (struct.pack(">HHIIBBHHH", sport, dport, n, 0, 0x50, 0x18, 65535, 0, 0) if proto == 6
                  else struct.pack(">HHHH", sport, dport, size - 20, 0))
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, size, n, 0, 64, proto, 0, bytes([10, 1, 0, i]),
                             bytes([10, 2, i % 7, 1]))
            frame = bytes(12) + b"\x08\x00" + ip + l4 + bytes(size - 20 - len(l4))
            out.append(struct.pack("<IIII", 1700000000 + 60 * n + i, 0, len(frame), len(frame)) + frame)
    with open(path, "wb") as f:
        f.write(b"".join(out))


def udp_queue(port):
    """Bytes waiting on the UDP socket bound to port, None when there is none."""
    with open("/proc/net/udp") as f:   # sl local_address rem_address st tx_queue:rx_queue ...
        rows = [r.split() for r in f.read().splitlines()[1:]]
    return next((int(r[4].split(":")[1], 16) for r in rows if int(r[1].split(":")[1], 16) == port), None)


def sink(family=socket.AF_INET, address="127.0.0.1"):
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind((address, 0))
    s.settimeout(10 * SLOW)
    return s


def drain(s):
    s.setblocking(False)
    got = []
    while True:
        try:
            got.append(s.recv(65535))
        except BlockingIOError:
            return got


def raw_file(directory, datagrams):
    """The exporter's -file format: each datagram behind its 4-byte length."""
    path = os.path.join(directory, "datagrams.raw")
    with open(path, "wb") as f:
        f.write(b"".join(struct.pack(">I", len(d)) + d for d in datagrams))
    return path


SOCKET_ACTIVATE = shutil.which("systemd-socket-activate")
AS_ROOT = unittest.skipUnless(os.getuid() == 0, "needs root to act as another local user")


def as_nobody():
    os.setgid(65534)
    os.setuid(65534)


def forge(port, data):
    """Another local user connects to port and sends data; returns what came back."""
    code = ("import socket\ns = socket.create_connection(('127.0.0.1', %d))\ns.sendall(bytes.fromhex('%s'))\n"
            "s.settimeout(10)\ntry:\n    print(s.recv(100).hex())\nexcept ConnectionResetError:\n    print()\n")
    return subprocess.run(["/usr/bin/python3", "-c", code % (port, data.hex())], capture_output=True, text=True,
                          preexec_fn=as_nobody, timeout=20 * SLOW, check=True).stdout.strip()


# Run in a network namespace: prints each datagram's length, source and digest.
RECEIVER = """import hashlib, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 9995))
s.settimeout(float(sys.argv[2]))
print("ready", flush=True)
for _ in range(int(sys.argv[3])):
    d, a = s.recvfrom(65535)
    print(len(d), a[0], a[1], hashlib.sha1(d).hexdigest(), flush=True)
"""


FIELDS = ((8, 4), (12, 4), (2, 4), (1, 4), (7, 2), (11, 2), (4, 1))   # addresses, packets, bytes, ports, protocol
TEMPLATE = struct.pack(">HH", 256, len(FIELDS)) + b"".join(struct.pack(">HH", *f) for f in FIELDS)


def netflow(version, seq, *sets, records=1, domain=7):
    """An IPFIX (10) or NetFlow v9 message of (set id, body) sets, from observation domain / source 7."""
    body = b"".join(struct.pack(">HH", sid, 4 + len(b)) + b for sid, b in sets)
    if version == 10:
        return struct.pack(">HHIII", 10, 16 + len(body), 1700000000 + seq, seq, domain) + body
    return struct.pack(">HHIIII", 9, records, 3600000 + seq, 1700000000 + seq, seq, domain) + body


def template(tid, fields):
    return struct.pack(">HH", tid, len(fields)) + b"".join(struct.pack(">HH", *f) for f in fields)


# Options templates: IPFIX with one scope field of two, v9 with 4 bytes of scope and 4 of options.
OPTIONS = struct.pack(">HHH", 258, 2, 1) + struct.pack(">HHHH", 149, 4, 8, 4)
V9_OPTIONS = struct.pack(">HHH", 260, 4, 4) + struct.pack(">HHHH", 1, 4, 2, 4)
BIG = [template(256 + i, [(1 + f % 200, 4) for f in range(1000)]) for i in range(32)]   # 4004 bytes each


def flow(i):
    """Template 256's record i, padded to 4 bytes."""
    return struct.pack(">4s4sIIHHBxxx", bytes([10, 0, 1, i]), bytes([192, 0, 2, i]), i + 1, 64 * (i + 1), 1024 + i,
                       53, 17)


def record(payload, stream=3):
    return (bytes(10) + b"\xff\xff" + bytes([192, 0, 2, 7]) + struct.pack(">IIQI", 2055, stream, 1700000000123,
                                                                          len(payload)) + payload)


class Companions(Scenario):
    def tmpdir(self):
        path = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def collector_tool(self, *args, **kw):
        proc = self.run_tool([COLLECTOR_BIN, "-listen", "0"] + list(args), **kw)
        ready = select.select([proc.stdout], [], [], 5 * SLOW)[0]
        line = proc.stdout.readline() if ready else ""
        self.assertRegex(line, r"^listening on 127\.0\.0\.1:\d+$")
        return proc, int(line.rsplit(":", 1)[1])

    def test_chain_for_each_netflow_version(self):
        # -templates once: the template (a v9 record of its own) only in each association's first datagram.
        for fmt, summary, ahead, counts in [("v9", "netflow v9 count ", ["-ahead", "1"], ["1"] * 8 + ["2"] * 2),
                                            ("ipfix", "netflow v10 length ", [], None),
                                            ("v5", "netflow v5 count ", [], ["1"] * 10)]:
            with self.subTest(fmt):
                p, q = ports(2)
                collector, cport = self.collector_tool("-ports", "%d,%d" % (p, q), "-count", "10", *ahead)
                daemon = self.start(pool=64, maxsize=9000, forwardingport=cport, connect=False)
                wait_until(lambda: port_taken(p) and port_taken(q), "the daemon to listen")
                exporters = [
                    self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(p), "-bind", "127.0.2.30",
                                   "-streams", "0,1", "-count", "5", "-format", fmt, "-templates", "once"]),
                    self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(q), "-bind", "127.0.2.31",
                                   "-style", "one-to-many", "-streams", "2", "-count", "5", "-format", fmt,
                                   "-templates", "once"])]
                for e in exporters:
                    self.assertEqual(e.wait(10 * SLOW), 0, e.stderr.read())
                out, err = collector.communicate(timeout=15 * SLOW)
                self.assertEqual(collector.returncode, 0, err)
                seen = [LINE.match(line).groups() for line in out.splitlines()]
                self.assertEqual(sorted((a, int(port), int(s)) for a, port, s, _ in seen),
                                 sorted([("127.0.2.30", p, 0)] * 3 + [("127.0.2.30", p, 1)] * 2 +
                                        [("127.0.2.31", q, 2)] * 5))
                self.assertTrue(all(rest.startswith(summary) for _, _, _, rest in seen), seen)
                if counts:
                    self.assertEqual(sorted(rest.split()[3] for _, _, _, rest in seen), counts)
                self.assertExit(daemon, 0)

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_collector_against_a_daemon_played_by_the_test(self):
        # One want per record on top of the first -ahead, and a stream that
        # is not a record stream ends the collector with status 2; a daemon
        # leaving before -count records is status 1.
        for name, tail, status in [("truncated record", record(b"abc")[:20], 2),
                                   ("bad address prefix", b"\x01" + record(b"abc")[1:], 2),
                                   ("daemon leaves early", b"", 1)]:
            with self.subTest(name):
                collector, cport = self.collector_tool("-ports", "2055,9", "-ahead", "3", "-count", "3", "-quiet")
                daemon = socket.create_connection(("127.0.0.1", cport), timeout=5 * SLOW)
                self.cleanups.append(daemon.close)
                expected = struct.pack(">Bi", 1, 2) + struct.pack(">ii", 2055, 9) + b"\x00" * 3
                got = b""
                while len(got) < len(expected) and select.select([daemon], [], [], 5 * SLOW)[0]:
                    got += daemon.recv(len(expected) - len(got))
                self.assertEqual(got, expected)
                for i in range(2):
                    daemon.sendall(record(b"payload %d" % i))
                    self.assertEqual(daemon.recv(1), b"\x00")
                self.assertEqual(select.select([daemon], [], [], 0.3 * SLOW)[0], [])
                daemon.sendall(tail)
                daemon.close()
                collector.wait(5 * SLOW)
                self.assertEqual(collector.returncode, status, collector.stderr.read())

    def service(self, *args, activate=False):
        """The collector as a service runs it: no -count, its standard error in a file."""
        port, path = ports(1)[0], os.path.join(self.tmpdir(), "stderr")
        argv = [COLLECTOR_BIN, "-listen", str(port)] + list(args)
        if activate:
            argv = [SOCKET_ACTIVATE, "-l", "127.0.0.1:%d" % port] + argv
        with open(path, "w") as err:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        self.cleanups.append(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        wait_until(lambda: tcp_listening(port), "the collector's port")

        def stderr():
            with open(path) as f:
                return f.read()
        return proc, port, stderr

    def stop(self, proc, stderr):
        """SIGTERM ends the collector at once, with its exit counter line."""
        proc.terminate()
        self.assertEqual(proc.wait(1 * SLOW), 0, stderr())
        self.assertIn("exit stats", stderr())
        return stderr()

    @AS_ROOT
    def test_only_the_daemon_gets_in_and_is_waited_for_again_after_it_dies(self):
        payloads = [b"datagram %d" % i for i in range(3)]
        raw = raw_file(self.tmpdir(), payloads)
        for activate in (False, True):
            with self.subTest(socket_activated=activate):
                if activate and not SOCKET_ACTIVATE:
                    self.skipTest("systemd-socket-activate is not installed")
                (sctp, moved), target, portsfile = ports(2), sink(), os.path.join(self.tmpdir(), "ports")
                self.cleanups.append(target.close)
                with open(portsfile, "w") as f:
                    f.write("# where exporters send\n%d\n" % sctp)
                proc, cport, stderr = self.service("-portsfile", portsfile, "-quiet", "-forward",
                                                   "127.0.0.1:%d" % target.getsockname()[1], activate=activate)
                self.assertEqual(forge(cport, record(b"forged", stream=0)), "")
                wait_until(lambda: re.search(r"warning: refused a connection from uid 65534, 127\.0\.0\.1 port "
                                             r"\d+: not an allowed user", stderr()), "the refusal")
                for n in (1, 2):
                    daemon = self.start(pool=16, maxsize=65535, forwardingport=cport, connect=False)
                    wait_until(lambda: port_taken(sctp), "the daemon to listen")
                    self.export(sctp, "127.0.2.60", raw)
                    self.assertEqual([target.recv(65535) for _ in payloads], payloads)
                    if n == 1:   # a reload moves this daemon, and the next one starts where it was moved
                        with open(portsfile, "w") as f:
                            f.write(str(moved))
                        proc.send_signal(signal.SIGHUP)
                        wait_until(lambda: port_taken(moved) and not port_taken(sctp), "the move")
                        sctp = moved
                    daemon.kill()
                    wait_until(lambda: stderr().count("waiting for the daemon to connect again") == n, "re-accept")
                self.assertEqual(drain(target), [])
                self.assertRegex(self.stop(proc, stderr), r"exit stats records=6 refused=1 exporters=2 evictions=0 target=\S+ sent=6 errors=0")
                self.assertEqual(activate, "using the listening socket passed by systemd" in stderr())

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_a_daemon_that_floods_and_never_reads_cannot_hold_the_collector(self):
        proc, cport, stderr = self.service("-ports", "2055", "-quiet", "-stats", "300", "-ahead", "1000000")
        daemon = socket.socket()
        daemon.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        daemon.connect(("127.0.0.1", cport))
        self.cleanups.append(daemon.close)

        def flood():
            chunk = record(b"") * 10000
            try:
                while True:
                    daemon.sendall(chunk)
            except OSError:   # the collector has gone
                pass
        threading.Thread(target=flood, daemon=True).start()
        # Until its wants fill the connection: blocked in send, or (never
        # blocking) the same number of want bytes queued on three reads.
        me, seen = daemon.getsockname()[1], []

        def wants_queued():
            with open("/proc/net/tcp") as f:   # sl local rem st tx_queue:rx_queue ...
                rows = [r.split() for r in f.read().splitlines()[1:]]
            return next(int(r[4].split(":")[0], 16) for r in rows
                        if int(r[1].split(":")[1], 16) == cport and int(r[2].split(":")[1], 16) == me)
        wait_until(lambda: in_send(proc.pid) or (seen.append(wants_queued()) or seen[-3:] == [seen[-1]] * 3
                                                 and seen[-1] > 0), "the collector's wants to fill", timeout=30)
        self.stop(proc, stderr)
        self.stop(proc, stderr)

    @emul_only("files are the same on either transport")
    @AS_ROOT
    def test_raw_file_is_private_and_never_someone_elses(self):
        d = self.tmpdir()
        theirs, link = os.path.join(d, "theirs"), os.path.join(d, "link")
        open(theirs, "w").close()
        os.chown(theirs, 65534, 65534)
        os.symlink(os.path.join(d, "elsewhere"), link)
        for path, refused in [(os.path.join(d, "new"), False), (theirs, True), (link, True)]:
            with self.subTest(os.path.basename(path)):
                p = self.run_tool([COLLECTOR_BIN, "-listen", "0", "-ports", "1", "-raw", path],
                                  preexec_fn=lambda: os.umask(0o022))
                if refused:
                    self.assertEqual(p.wait(5 * SLOW), 1)
                    self.assertIn(path, p.stderr.read())
                else:
                    self.assertRegex(p.stdout.readline(), "^listening on")
                    self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        self.assertFalse(os.path.exists(os.path.join(d, "elsewhere")))

    def relay(self, count, *args, portsfile=None, port=None, **kw):
        """The collector relaying -count records, and a daemon listening."""
        port = port or ports(1)[0]
        where = ["-portsfile", portsfile] if portsfile else ["-ports", str(port)]
        collector, cport = self.collector_tool(*where, "-quiet", "-count", str(count), *args, **kw)
        self.start(pool=256, maxsize=65535, bufsize=1 << 20, forwardingport=cport, connect=False)
        wait_until(lambda: port_taken(port), "the daemon to listen")
        return port, collector

    def finish(self, collector):
        out, err = collector.communicate(timeout=15 * SLOW)
        self.assertEqual(collector.returncode, 0, err)
        return err

    def nfcapd(self, port=None):
        port, files = port or ports(1)[0], self.tmpdir()
        proc = self.run_tool(["nfcapd", "-w", files, "-p", str(port)])
        wait_until(lambda: udp_queue(port) is not None, "nfcapd to bind")

        def flows():
            wait_until(lambda: udp_queue(port) == 0, "nfcapd to read every datagram")
            proc.terminate()
            proc.communicate(timeout=10 * SLOW)
            out = subprocess.run(["nfdump", "-R", files, "-q", "-N", "-o", NFDUMP_FIELDS], capture_output=True,
                                 text=True, timeout=10 * SLOW, check=True).stdout
            return sorted(" ".join(line.split()) for line in out.splitlines() if line.strip())
        return port, flows

    def nfacctd(self, port):
        work = self.tmpdir()
        conf, out = os.path.join(work, "nfacctd.conf"), os.path.join(work, "flows.csv")
        with open(conf, "w") as f:
            f.write("daemonize: false\nnfacctd_ip: 127.0.0.1\nnfacctd_port: %d\nplugins: print\nprint_output: csv\n"
                    "print_refresh_time: 1\nprint_output_file: %s\nprint_output_file_append: true\n"
                    "aggregate: peer_src_ip,src_host,src_port,dst_host,dst_port,proto\n"
                    % (port, out))
        log = os.path.join(work, "log")
        with open(log, "w") as f:
            proc = subprocess.Popen(["nfacctd", "-f", conf], stdin=subprocess.DEVNULL, stdout=f, stderr=f)
        self.cleanups.append(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        # What arrives before its plugin has purged its cache twice may be lost.
        wait_until(lambda: pathlib.Path(log).read_text().count("Purging cache - END") > 1, "nfacctd to be ready")

        def flows(n):
            def rows():
                with open(out) if os.path.exists(out) else open(os.devnull) as f:
                    # An IPFIX message without data records shows as a row without a flow.
                    return sorted(r.strip() for r in f if r[0].isdigit() and ",," not in r and r[:10] != "127.0.0.9,")

            # Records wait in its core until a buffer to the plugin fills: a
            # filler exporter pushes them through.
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as filler:
                filler.bind(("127.0.0.9", 0))
                filled = netflow(9, 0, (0, TEMPLATE), (256, flow(0)), records=2)
                wait_until(lambda: filler.sendto(filled, ("127.0.0.1", port)) and len(rows()) >= n,
                           "nfacctd to write %d flows" % n)
            proc.kill()
            return rows()
        return flows

    def softflowd(self, version, port, *args):
        pcap = os.path.join(self.tmpdir(), "flows.pcap")
        write_pcap(pcap)
        sf = self.run_tool(["softflowd", "-r", pcap, "-v", str(version), "-d", "-c", "none", "-p", pcap + ".pid",
                            "-n", "127.0.0.1:%d" % port] + list(args))
        err = sf.communicate(timeout=20 * SLOW)[1]
        self.assertEqual(sf.returncode, 0, err)

    def export(self, port, source, raw):
        e = self.run_tool([EXPORTER_BIN, "-host", "127.0.0.1", "-port", str(port), "-bind", source, "-file", raw])
        err = e.communicate(timeout=10 * SLOW)[1]
        self.assertEqual(e.returncode, 0, err)

    def softflowd_datagrams(self, version):
        with sink() as tap:
            self.softflowd(version, tap.getsockname()[1])
            return drain(tap)

    @kernel_only("softflowd exports over real SCTP; softflowd and nfcapd are in the VM")
    def test_nfcapd_gets_from_the_relay_the_flows_softflowd_sends_it_over_udp(self):
        for version in (9, 10):
            with self.subTest(version=version):
                port, flows = self.nfcapd()
                self.softflowd(version, port)
                want, datagrams = flows(), self.softflowd_datagrams(version)
                self.assertEqual((len(want), len(datagrams) > 1), (60, True), want)
                port, flows = self.nfcapd()
                sctp, collector = self.relay(len(datagrams), "-forward", "127.0.0.1:%d" % port)
                self.softflowd(version, sctp, "-P", "sctp")
                self.assertIn("sent=%d errors=0" % len(datagrams), self.finish(collector))
                self.assertEqual(flows(), want)

    @kernel_only("nfcapd is in the VM")
    def test_spoof_keeps_two_exporters_apart_in_nfcapd(self):
        datagrams = self.softflowd_datagrams(9)
        raw = raw_file(self.tmpdir(), datagrams)
        port, flows = self.nfcapd()
        sctp, collector = self.relay(2 * len(datagrams), "-spoof", "-forward", "127.0.0.1:%d" % port)
        for source in ("127.0.0.2", "127.0.0.3"):
            self.export(sctp, source, raw)
        self.finish(collector)
        got = flows()
        self.assertEqual((sorted({line.split()[0] for line in got}), len(got)), (["127.0.0.2", "127.0.0.3"], 120))

    def test_every_payload_to_every_target_one_source_per_exporter_and_a_target_that_goes_away(self):
        payloads = [b"a", bytes(range(256)) * 4, b"\xff" * 1500, b"z" * 9000]
        raw = raw_file(self.tmpdir(), payloads)
        gone, stays = sink(), sink(socket.AF_INET6, "::1")
        sctp, collector = self.relay(8, "-forward", "127.0.0.1:%d" % gone.getsockname()[1],
                                     "-forward", "[::1]:%d" % stays.getsockname()[1])
        got = []
        for source in ("127.0.2.40", "127.0.2.41"):
            self.export(sctp, source, raw)
            if not got:
                self.assertEqual([gone.recv(65535) for _ in payloads], payloads)
                gone.close()
            got += [stays.recvfrom(65535) for _ in payloads]
        self.assertEqual([d for d, _ in got], payloads * 2)
        self.assertEqual([len({a[1] for _, a in got[i:i + 4]}) for i in (0, 4)], [1, 1])
        self.assertNotEqual(got[0][1], got[4][1])
        m = re.search(r"exit stats records=8 refused=0 exporters=2 evictions=0 target=\S+ sent=(\d+) errors=(\d+) "
                      r"shared=0 target=\[::1\]:\d+ sent=8 errors=0 shared=0 templates=0 ",
                      self.finish(collector), re.M)
        self.assertTrue(m and int(m[1]) + int(m[2]) == 8 and int(m[2]) >= 1, m)
        stays.close()

    def test_a_flood_of_exporters_under_a_low_descriptor_limit_stops_neither_the_relay_nor_a_reload(self):
        # 64 descriptors: 31 exporter sockets beside the reserve and the shared socket.
        tap, portsfile, (p, q) = sink(), os.path.join(self.tmpdir(), "ports"), ports(2)
        with open(portsfile, "w") as f:
            f.write("# NetFlow\n%d\n" % p)
        target = "127.0.0.1:%d" % tap.getsockname()[1]
        _, collector = self.relay(105, "-forward", target, portsfile=portsfile, port=p,
                                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64)))
        for i in range(100):
            self.exporter("127.1.%d.%d" % (i // 50, i % 50 + 1)).send(p, b"flood %d" % i)
        self.assertEqual(sorted(tap.recv(100) for _ in range(100)), sorted(b"flood %d" % i for i in range(100)))
        with open(portsfile, "a") as f:
            f.write("%d  # IPFIX\n" % q)
        collector.send_signal(signal.SIGHUP)
        wait_until(lambda: port_taken(q), "the reload to reach the daemon")
        known = self.exporter("127.0.2.50")
        for i in range(5):
            known.send(q, b"known %d" % i)
        got = [tap.recvfrom(100) for _ in range(5)]
        self.assertEqual(([d for d, _ in got], len({a for _, a in got})), ([b"known %d" % i for i in range(5)], 1))
        self.assertIn("exit stats records=105 refused=0 exporters=31 evictions=70 target=%s sent=105 errors=0 shared=0" % target,
                      self.finish(collector))
        tap.close()

    def test_spoof_over_a_1500_byte_link_sends_datagrams_whole_from_the_exporter(self):
        ns, net = "qv%d" % os.getpid(), "198.18.%d." % (os.getpid() % 250)
        # Into the namespace with nsenter, which only switches the network:
        # `ip -n` and `ip netns exec` also remount /sys, absent in a chroot.
        inside = ["nsenter", "--net=/run/netns/" + ns]
        ip = lambda *args: subprocess.run((inside + ["ip"] + list(args[1:])) if args[0] == "-n" else ["ip"] + list(args),
                                          capture_output=True, text=True, timeout=10 * SLOW)
        made = ip("netns", "add", ns) if shutil.which("ip") else None
        if not made or made.returncode != 0:
            why = (made.stderr.strip().splitlines() or [""])[0] if made else "no ip command"
            self.skipTest("no network namespace of our own here: " + why)
        self.cleanups.append(lambda: ip("netns", "del", ns))
        for args in [("link", "add", ns + "a", "type", "veth", "peer", "name", ns + "b", "netns", ns),
                     ("addr", "add", net + "1/30", "dev", ns + "a"), ("addr", "add", net + "5/32", "dev", ns + "a"),
                     ("link", "set", ns + "a", "up", "mtu", "1500"), ("-n", "link", "set", ns + "b", "up"),
                     ("-n", "addr", "add", net + "2/30", "dev", ns + "b"),
                     ("-n", "route", "add", "default", "via", net + "1")]:
            done = ip(*args)
            self.assertEqual(done.returncode, 0, (args, done.stderr))
        sizes = [4000, 65000]
        receiver = self.run_tool(inside + ["python3", "-c", RECEIVER, net + "2", str(10 * SLOW), str(len(sizes))])
        self.assertEqual(receiver.stdout.readline(), "ready\n")
        sctp, collector = self.relay(len(sizes), "-spoof", "-forward", net + "2:9995")
        exporter = self.exporter(net + "5", net + "1")
        payloads = [bytes(range(256)) * (n // 256) + bytes(n % 256) for n in sizes]
        for payload in payloads:
            exporter.send(sctp, payload)
        self.assertIn("sent=2 errors=0", self.finish(collector))
        out = receiver.communicate(timeout=10 * SLOW)[0]
        self.assertEqual(out.splitlines(), ["%d %s %d %s" % (len(d), net + "5", sctp, hashlib.sha1(d).hexdigest())
                                            for d in payloads])

    @unittest.skipUnless(shutil.which("nfcapd"), "nfcapd (nfdump) absent here; the VM has it")
    def test_udp_collectors_started_after_the_templates_decode_from_the_first_resend_on(self):
        # Datagram 0 carries the only template, and only sinks see it; the
        # relay sends it again ahead of datagrams 20 and 40. IPFIX then
        # withdraws it, and it is sent no more.
        acct = shutil.which("nfacctd")
        if not acct:
            print("nfacctd (pmacct) absent: nfcapd alone", file=sys.stderr)
        for version, tset, args, source in [(10, 2, [], "127.0.0.1"), (9, 0, ["-spoof"], "127.0.0.2")]:
            with self.subTest(version=version):
                taps = [sink() for _ in range(2 if acct else 1)]
                targets = [t.getsockname()[1] for t in taps]
                forward = sum((["-forward", "127.0.0.1:%d" % t] for t in targets), [])
                sctp, collector = self.relay(66 if version == 10 else 45, *forward, *args)
                exporter = self.exporter("127.0.0.2")
                exporter.send(sctp, netflow(version, 0, (tset, TEMPLATE), (256, flow(0)), records=2))
                for t in taps:
                    self.assertEqual(t.recv(65535)[:2], bytes([0, version]))
                    t.close()
                _, flows = self.nfcapd(targets[0])
                acct_flows = self.nfacctd(targets[1]) if acct else None
                for i in range(1, 45):
                    exporter.send(sctp, netflow(version, i, (256, flow(i))))
                want = [(source, "10.0.1.%d" % i, 1024 + i, "192.0.2.%d" % i, i + 1, 64 * (i + 1)) for i in range(20, 45)]
                if acct:   # before the withdrawal, which leaves nfacctd losing records
                    self.assertEqual(acct_flows(len(want)), sorted("%s,%s,%s,%d,53,udp,%d,%d" % (
                        w[0], w[1], w[3], w[2], w[4], w[5]) for w in want))
                if version == 10:
                    exporter.send(sctp, netflow(10, 45, (2, struct.pack(">HH", 256, 0))))
                    for i in range(46, 66):
                        exporter.send(sctp, netflow(10, i, (256, flow(i))))
                self.assertIn("templates=1 resent=%d withdrawn=%d malformed=0" % (2 * len(taps), version == 10),
                              self.finish(collector))
                self.assertEqual(flows(), sorted("%s %s %d %s 53 17 %d %d" % w for w in want))

    def test_malformed_template_sets_pass_untouched_and_are_never_cached(self):
        # Template 257 is in every malformed message, template 256 in the good
        # one; datagram 20 after it brings exactly 256 again, with its header.
        other = struct.pack(">HH", 257, len(FIELDS)) + TEMPLATE[4:]
        beyond = bytearray(netflow(10, 1, (2, other)))
        beyond[18:20] = struct.pack(">H", 8 + len(other))
        bad = [netflow(10, 1, (2, other[:-2])),                                       # a field cut short
               netflow(10, 1, (2, other + struct.pack(">HHHH", 200, 1, 8, 4))),       # an id below 256 after it
               bytes(beyond),                                                         # set beyond the message
               netflow(10, 1, (2, other)) + bytes(4),                                 # message length short
               netflow(9, 1, (0, other[:-4]))]                                        # v9 fields beyond the flowset
        datagrams = [netflow(10, 0, (2, TEMPLATE))] + bad + [netflow(10, i, (256, flow(i))) for i in range(1, 16)]
        tap = sink()
        sctp, collector = self.relay(len(datagrams), "-forward", "127.0.0.1:%d" % tap.getsockname()[1])
        exporter = self.exporter("127.0.0.2")
        for d in datagrams:
            exporter.send(sctp, d)
        got = [tap.recvfrom(65535) for _ in range(len(datagrams) + 1)]
        self.assertEqual([d for d, _ in got], datagrams[:20] + [netflow(10, 15, (2, TEMPLATE))] + datagrams[20:])
        self.assertEqual(len({a for _, a in got}), 1)
        self.assertIn("templates=1 resent=1 withdrawn=0 malformed=5 overcap=0", self.finish(collector))
        tap.close()

    def relay_played(self, items, *args):
        """The collector relaying to a sink what the test, as its daemon, hands it: every datagram of items (a
        number there lets that many seconds pass). Returns, per datagram, what reached the sink ahead of it,
        and the exit counter line."""
        tap = sink()
        self.cleanups.append(tap.close)
        sent = [i for i in items if isinstance(i, bytes)]
        collector, cport = self.collector_tool("-ports", "1", "-quiet", "-count", str(len(sent)),
                                               "-forward", "127.0.0.1:%d" % tap.getsockname()[1], *args)
        daemon = socket.create_connection(("127.0.0.1", cport), timeout=5 * SLOW)
        self.cleanups.append(daemon.close)
        ahead = []
        for item in items:
            if not isinstance(item, bytes):
                time.sleep(item)   # the clock is what is tested here
                continue
            daemon.sendall(record(item))
            got = [tap.recv(65535)]
            while got[-1] != item and len(got) < 100:
                got.append(tap.recv(65535))
            self.assertEqual(got[-1], item, "the datagram itself after %d others" % len(got))
            ahead.append(got[:-1])
        return ahead, self.finish(collector)

    @emul_only("the collector's connection is TCP whatever the transport")
    def test_the_templates_kept_are_the_ones_resent(self):
        # -template-refresh 2,0 resends ahead of the third datagram, 0,1 after a second.
        other = template(256, FIELDS[::-1])
        withdraw_all = struct.pack(">HH", 2, 0)
        for name, refresh, items, resent, counters in [
            ("withdraw-all removes templates, not options templates", "2,0",
             [netflow(10, 0, (2, TEMPLATE + template(257, FIELDS[:2])), (3, OPTIONS)), netflow(10, 1, (2, withdraw_all)),
              netflow(10, 2, (256, flow(2)))],
             [[], [], [netflow(10, 2, (3, OPTIONS))]], "templates=3 resent=1 withdrawn=2 malformed=0 overcap=0"),
            ("v9 options templates, and zeros padding the datagram", "2,0",
             [netflow(9, 0, (0, TEMPLATE), (1, V9_OPTIONS)) + bytes(8), netflow(9, 1, (256, flow(1))),
              netflow(9, 2, (256, flow(2)))],
             [[], [], [netflow(9, 2, (0, TEMPLATE), (1, V9_OPTIONS), records=2)]],
             "templates=2 resent=1 withdrawn=0 malformed=0 overcap=0"),
            ("after a second without a resend", "0,1",
             [netflow(10, 0, (2, TEMPLATE)), 1.2, netflow(10, 1, (256, flow(1)))],
             [[], [netflow(10, 1, (2, TEMPLATE))]], "templates=1 resent=1 "),
            ("64 KiB per exporter, bookkeeping included", "2,0",
             [netflow(10, 0, (2, b"".join(BIG[:16]))), netflow(10, 1, (2, b"".join(BIG[16:]))),
              netflow(10, 2, (256, flow(2)))], None, None),
        ] + [("each domain's own header, v%d" % v, "2,0",
              [netflow(v, 1000, (t, TEMPLATE), domain=1), netflow(v, 5, (t, other), domain=2),
               netflow(v, 1001, (256, flow(1)), domain=1)],
              [[], [], [netflow(v, 1001, (t, TEMPLATE), domain=1), netflow(v, 5, (t, other), domain=2)]],
              "templates=2 resent=2 ") for v, t in ((9, 0), (10, 2))]:
            with self.subTest(name):
                ahead, err = self.relay_played(items, "-template-refresh", refresh)
                if resent is not None:
                    self.assertEqual(ahead, resent)
                    self.assertIn(counters, err)
                    continue
                # The first templates fill the cache, and all it sends again are they.
                kept = len(ahead[2])
                self.assertEqual(ahead, [[], [], [netflow(10, 2, (2, t)) for t in BIG[:kept]]])
                held = int(re.search(r" templates=%d resent=%d withdrawn=0 malformed=0 overcap=%d held=(\d+)$"
                                     % (kept, kept, 32 - kept), err, re.M)[1])
                self.assertTrue(8 <= kept and 4004 * kept < held <= 65536, (kept, held))

    @emul_only("a command line is the same on either transport")
    def test_bad_forward_spoof_or_ports_file_ends_the_collector_before_it_listens(self):
        def refused(*args, prefix=(), ports_=("-ports", "1"), status=1):
            # A resolver that cannot reach its servers gives up within seconds.
            p = subprocess.run(list(prefix) + [COLLECTOR_BIN, "-listen", "0", *ports_] + list(args),
                               capture_output=True, text=True, timeout=10 * SLOW,
                               env=dict(os.environ, RES_OPTIONS="timeout:1 attempts:1"))
            self.assertEqual((p.returncode, p.stdout), (status, ""), p.stderr)
            return p.stderr
        broken = os.path.join(self.tmpdir(), "ports")
        with open(broken, "w") as f:
            f.write("2055 NetFlow\n")
        for path in (broken, broken + ".missing"):
            self.assertIn(path, refused(ports_=("-portsfile", path), status=3))
        for bad in ["127.0.0.1", "127.0.0.1:0", "127.0.0.1:x", "::1:9", "[::1:9", "nosuch.invalid:9"]:
            self.assertIn(bad, refused("-forward", bad))
        self.assertIn("IPv4", refused("-spoof", "-forward", "[::1]:9"))
        for bad in ["20", "20,", "-1,30", "20,86401"]:
            self.assertIn("bad -template-refresh", refused("-template-refresh", bad))
        no_raw = ["setpriv", "--bounding-set", "-net_raw"] if os.getuid() == 0 else []
        self.assertIn("CAP_NET_RAW", refused("-spoof", "-forward", "127.0.0.1:9", prefix=no_raw))


if __name__ == "__main__":
    unittest.main()
