#!/usr/bin/env python3
"""Each man page renders without a single groff warning and still documents
every option of its program (and the daemon's page its request codes).

usage: man_page_check.py GROFF MANPAGE...
"""
import os
import re
import subprocess
import sys

NEEDED = {
    "quorvane.8": ["-forwardingport", "-udpsocketbufsize", "-packetpoolsize", "-maxpacketsize",
                   "-logstats", "-poolusagewarnpct", "-cancelpoolusagewarnpct", "-debug",
                   "EXIT STATUS", "COLLECTOR PROTOCOL", "0 — want", "1 — port update",
                   "00 00 00 00 00 00 00 00 00 00 FF FF", "quorvane-collector", "quorvane-exporter"],
    "quorvane-collector.1": ["-listen", "-ports", "-portsfile", "-ahead", "-count", "-raw", "-forward",
                             "-spoof", "-max-exporters", "-stats", "-quiet", "EXIT STATUS", "CAP_NET_RAW", "-maxpacketsize",
                             "stats records=N refused=N", "exit stats records=N", "target=HOST:PORT sent=N errors=N",
                             "-peer-user", "WHO MAY CONNECT", "SOCKET ACTIVATION",
                             "-template-refresh", "TEMPLATES", "aliases=N lookups=N deferred=N", "sctp_diag",
                             "SEQUENCE NUMBERS", "bytes=N datarecords=N missing=N disorder=N untracked=N",
                             "-metrics", "METRICS", "quorvane_collector_records_total", "quorvane_collector_exporter_info"],
    "quorvane-exporter.1": ["-host", "-port", "-bind", "-assocs", "-style", "-streams", "-count", "-rate",
                            "-format", "-templates", "-size", "-file", "-quiet", "EXIT STATUS", "SIGNALS"],
}

groff, pages = sys.argv[1], sys.argv[2:]
failures = []
for page in pages:
    name = os.path.basename(page)
    p = subprocess.run([groff, "-ww", "-man", "-Tutf8", page], capture_output=True, timeout=30,
                       env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})
    if p.returncode != 0:
        failures.append("%s: groff exited with %d" % (name, p.returncode))
    if p.stderr:
        failures.append("%s: groff warnings:\n%s" % (name, p.stderr.decode(errors="replace")))
    # Strip overstriking (bold, underline) so the text can be searched.
    text = re.sub(".\b", "", p.stdout.decode(errors="replace"))
    text = text.replace("\u2010", "-").replace("\u2212", "-")
    for needed in NEEDED[name]:
        if needed not in text:
            failures.append("%s: rendered page lacks %r" % (name, needed))

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("man pages render cleanly")
