#!/usr/bin/env python3
"""The size of a -metrics scrape, and the collector's CPU per scrape, with N
exporters in its table: plays the daemon, sends one NetFlow v9 datagram with
a template from each of N addresses, then scrapes /metrics R times.

usage: scrape_size.py COLLECTOR [N [R [EXTRA COLLECTOR ARGS...]]]
  e.g. scrape_size.py build/plain/tools/quorvane-collector 65536 200 -spoof   (root)

Without -spoof every exporter takes a socket: the script raises the
descriptor limit to N + 1024 where it may.
"""
import http.client
import os
import resource
import socket
import struct
import subprocess
import sys
import time

collector, n, rounds, extra = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 65536, \
    int(sys.argv[3]) if len(sys.argv) > 3 else 100, sys.argv[4:]


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def record(source, payload):
    return (bytes(10) + b"\xff\xff" + source + struct.pack(">IIQI", 2055, 0, int(time.time() * 1000), len(payload))
            + payload)


template = struct.pack(">HH", 256, 7) + b"".join(struct.pack(">HH", *f) for f in
                                                 ((8, 4), (12, 4), (2, 4), (1, 4), (7, 2), (11, 2), (4, 1)))
flowset = struct.pack(">HH", 0, 4 + len(template)) + template
datagram = struct.pack(">HHIIII", 9, 1, 3600000, 1700000000, 0, 0) + flowset

sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sink.bind(("127.0.0.1", 0))
mport = free_port(socket.SOCK_STREAM)
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
if "-spoof" not in extra and soft < n + 1024:
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (n + 1024, max(hard, n + 1024)))
    except (ValueError, OSError):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        print("descriptor limit %d: fewer exporters than %d get a slot" % (hard, n), file=sys.stderr)
proc = subprocess.Popen([collector, "-listen", "0", "-ports", "2055", "-quiet", "-forward",
                         "127.0.0.1:%d" % sink.getsockname()[1], "-metrics", "127.0.0.1:%d" % mport] + extra,
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
try:
    cport = int(proc.stdout.readline().rsplit(":", 1)[1])
    daemon = socket.create_connection(("127.0.0.1", cport))
    daemon.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    for i in range(0, n, 1000):
        daemon.sendall(b"".join(record(struct.pack(">I", 0x0a000000 + k), datagram) for k in range(i, min(n, i + 1000))))

    def scrape():
        conn = http.client.HTTPConnection("127.0.0.1", mport, timeout=60)
        conn.request("GET", "/metrics")
        body = conn.getresponse().read()
        conn.close()
        return body

    # Every record in: the exporters gauge says so.
    while b"\nquorvane_collector_records_total %d\n" % n not in scrape():
        time.sleep(0.1)
    body = scrape()
    tick = os.sysconf("SC_CLK_TCK")

    def cpu():
        with open("/proc/%d/stat" % proc.pid) as f:
            return sum(int(v) for v in f.read().rsplit(")", 1)[1].split()[11:13]) / tick
    c0, t0 = cpu(), time.monotonic()
    for _ in range(rounds):
        scrape()
    c1, t1 = cpu(), time.monotonic()
    exporters = [line for line in body.split(b"\n") if line.startswith(b"quorvane_collector_exporters ")]
    with open("/proc/%d/status" % proc.pid) as f:
        rss = [line.split()[1] for line in f if line.startswith("VmRSS")][0]
    print("%s; scrape %d bytes, %d lines, %d exporter_info series; collector CPU %.2f ms per scrape, wall %.2f ms "
          "(%d scrapes); collector VmRSS %s KiB"
          % (exporters[0].decode(), len(body), body.count(b"\n"), body.count(b"\nquorvane_collector_exporter_info{"),
             (c1 - c0) * 1000 / rounds, (t1 - t0) * 1000 / rounds, rounds, rss))
finally:
    proc.kill()
    proc.wait()
