#!/usr/bin/env python3
"""The man page renders without a single groff warning and still documents
every option and request code of the daemon.

usage: man_page_check.py GROFF MANPAGE
"""
import re
import subprocess
import sys

groff, page = sys.argv[1], sys.argv[2]
p = subprocess.run([groff, "-ww", "-man", "-Tutf8", page], capture_output=True, timeout=30,
                   env={"LC_ALL": "C.UTF-8", "PATH": "/usr/bin:/bin"})
failures = []
if p.returncode != 0:
    failures.append("groff exited with %d" % p.returncode)
if p.stderr:
    failures.append("groff warnings:\n" + p.stderr.decode(errors="replace"))

# Strip overstriking (bold, underline) so the text can be searched.
text = re.sub(".\b", "", p.stdout.decode(errors="replace"))
text = text.replace("\u2010", "-").replace("\u2212", "-")
for needed in ["-forwardingport", "-udpsocketbufsize", "-packetpoolsize", "-maxpacketsize",
               "-logstats", "-poolusagewarnpct", "-cancelpoolusagewarnpct", "-debug",
               "EXIT STATUS", "COLLECTOR PROTOCOL", "0 — want", "1 — port update",
               "00 00 00 00 00 00 00 00 00 00 FF FF", "quorvane-collector", "quorvane-exporter"]:
    if needed not in text:
        failures.append("rendered page lacks %r" % needed)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("man page renders cleanly")
