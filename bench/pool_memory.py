#!/usr/bin/env python3
"""Start-up time and resident memory of the daemon for given pool sizes.

    bench/pool_memory.py QUORVANE_BINARY POOLxMAXPACKET ...

For each size: a collector socket on an ephemeral loopback port, the daemon
started against it, and, once it has connected (its pool is filled by then),
wall time from exec to connection, its CPU time, and VmRSS. Closing the
connection then ends the daemon with status 0.
"""
import os
import socket
import subprocess
import sys
import time


def measure(binary, pool, maxpacket):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(300)
    port = listener.getsockname()[1]
    start = time.monotonic()
    daemon = subprocess.Popen([binary, "-forwardingport", str(port), "-udpsocketbufsize", "65536",
                               "-packetpoolsize", str(pool), "-maxpacketsize", str(maxpacket)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        conn, _ = listener.accept()
    except socket.timeout:
        daemon.kill()
        daemon.wait()
        return "no connection: %s" % daemon.stderr.read().decode().strip()
    wall = time.monotonic() - start
    with open("/proc/%d/status" % daemon.pid) as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    with open("/proc/%d/stat" % daemon.pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    conn.close()
    daemon.wait(timeout=60)
    pool_kib = pool * (maxpacket + 36) // 1024
    return "%d x %d: wall %.2f s, cpu %.2f s, VmRSS %d KiB (%.4f of the %d KiB pool)" % (
        pool, maxpacket, wall, cpu, rss, rss / pool_kib if pool_kib else 0, pool_kib)


if __name__ == "__main__":
    for size in sys.argv[2:]:
        pool, maxpacket = (int(n) for n in size.split("x"))
        print(measure(sys.argv[1], pool, maxpacket), flush=True)
