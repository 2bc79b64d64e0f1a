#!/usr/bin/env bash
# Installs, on Debian 12, every package that building, testing and the demo
# need, or only the packages named on its command line. Installs only what is
# missing, so a second run costs a second.
#   scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=("$@")
[ "$#" -gt 0 ] || packages=(
  cmake g++ make pkg-config
  libsctp-dev lksctp-tools            # the SCTP API the daemon links against
  libmicrohttpd-dev                   # the collector's -metrics server
  googletest libgtest-dev libgmock-dev
  python3                             # end-to-end test harness
  systemd                             # systemd-socket-activate, for the socket-activated collector
  groff-base man-db                   # the man page check
  clang libclang-rt-14-dev            # fuzzing
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
