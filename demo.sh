#!/usr/bin/env bash
# Installs what is needed, builds, and runs the demo: an SCTP exporter sends
# NetFlow v9 datagrams to quorvane, which hands them to the example collector.
# On a kernel without SCTP the demo runs inside the project's test VM.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
if ! python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_SEQPACKET, 132).close()' 2>/dev/null; then
  scripts/vm/prepare.sh >/dev/null
fi
cmake -S . -B build/plain -DQUORVANE_SANITIZE= >/dev/null
cmake --build build/plain -j"$(nproc)" --target quorvane quorvane-collector quorvane-exporter >/dev/null
exec scripts/demo.sh build/plain
