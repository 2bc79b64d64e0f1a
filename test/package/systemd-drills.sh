#!/bin/bash
# Inside the systemd VM (scripts/vm/vm-run.sh -S): the package set up as the
# README's "Run it under systemd" tells an operator, softflowd exporting over
# SCTP to it and the relay feeding nfcapd, then faults, each timed until the
# next record reaches nfcapd. Prints a drill table; exit status 1 on any failure.
#   systemd-drills.sh DEB PCAP ROUTERS
set -u
deb=$1 pcap=$2 routers=$3
units=(quorvane-collector.service quorvane.service)
failed=0
say() { echo "drills: $*"; }
fail() { say "FAIL: $*"; failed=1; }
# Datagrams that UDP sockets have read: in this VM only nfcapd reads any.
received() { awk '$1 == "Udp:" && $2 ~ /^[0-9]/ { print $2 }' /proc/net/snmp; }
nfcapd_queue() { awk '$2 ~ /:270B$/ { print $5 }' /proc/net/udp; }
listening() { awk -v p="$1" 'NR > 1 && $6 == p { f = 1 } END { exit !f }' /proc/net/sctp/eps; }
active() { systemctl is-active --quiet "${units[@]}"; }
# wait_for SECS COMMAND...: polls COMMAND until it succeeds, at most SECS.
# This VM is qemu without KVM on a shared machine: starting a process or
# a systemctl call can take many seconds under load, so a bound here is
# only there to end a run that is stuck, never a measure of speed.
wait_for() {
	local end=$((SECONDS + $1)); shift
	until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.05; done
}
newer() { [ "$(received)" -gt "$1" ]; }
mainpid() { systemctl show -p MainPID --value "$1"; }
gone() { ! kill -0 "$1" 2>/dev/null; }
logs() { journalctl -q --no-pager -o cat -u quorvane.service -u quorvane-collector.service "$@"; }

# drill NAME COMMAND...: the fault, then the time until a new record reaches
# nfcapd with both units active.
drill() {
	local name=$1 base t0 t; shift
	t0=$EPOCHREALTIME
	"$@" || { fail "$name: $* failed"; return; }
	# What was already on its way when the fault landed does not count.
	wait_for 5 eval '[ "$(nfcapd_queue)" = 00000000:00000000 ]'
	base=$(received)
	if wait_for 60 newer "$base" && wait_for 120 active; then
		t=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
		echo "$t $name" >>/tmp/times
		say "$name: next record after ${t}s"
	else
		fail "$name: no new record within 60 s, or a unit down: $(systemctl is-active "${units[@]}" | tr '\n' ' ')"
		logs -n 20
	fi
}
kill9() { local pid; pid=$(mainpid "$1"); [ "$pid" -gt 0 ] && kill -9 "$pid" && wait_for 120 gone "$pid"; }
ports_then_reload() { echo "$1" >/etc/quorvane/ports && systemctl reload quorvane-collector.service; }

# The operator's steps, as the README gives them.
cp "$deb" /tmp/ && apt-get install -y -q "/tmp/$(basename "$deb")" >/tmp/apt.log 2>&1 ||
	{ cat /tmp/apt.log; fail "apt install"; }
mkdir -p /etc/quorvane && echo 2055 >/etc/quorvane/ports
systemctl enable --now quorvane-collector.socket "${units[@]}" || fail "systemctl enable --now"

# The peers: nfcapd where the shipped unit relays to, and softflowd as an
# exporter that sends the flows of a capture over SCTP about every second.
mkdir -p /var/cache/flows
systemd-run -q --unit=flows-nfcapd nfcapd -w /var/cache/flows -p 9995
wait_for 300 listening 2055 || fail "the daemon does not listen on 2055"
(while :; do
	softflowd -r "$pcap" -v 9 -P sctp -n 127.0.0.1:2055 -d -c none -p /run/softflowd.pid >/dev/null 2>&1
	sleep 0.5
done) &
drill "first record" true
if [ "$failed" = 1 ]; then
	systemctl status --no-pager -n 5 flows-nfcapd
	cat /proc/net/sctp/assocs /proc/net/snmp
	say "no records flow: no drills"; exit 1
fi

for _ in 1 2 3 4 5; do drill "kill -9 quorvane" kill9 quorvane.service; done
for _ in 1 2 3 4 5; do drill "kill -9 quorvane-collector" kill9 quorvane-collector.service; done
drill "restart quorvane" systemctl restart quorvane.service
drill "restart quorvane-collector" systemctl restart quorvane-collector.service
drill "reload with port 2056 added" ports_then_reload "2055 2056"
wait_for 120 listening 2056 || fail "the daemon does not listen on 2056 after the reload"
quorvane-exporter -host 127.0.0.1 -port 2056 -count 3 >/dev/null || fail "no association with port 2056"

# Another local user: the port stays taken while the collector restarts,
# and a connection from it is refused by the collector's peer check.
# nc fails at once when the port is held; the bound only ends an nc that
# could listen, and is long enough for nc to start under any load.
kill9 quorvane-collector.service
setpriv --reuid=nobody --regid=nogroup --clear-groups timeout 120 nc -l 127.0.0.1 9500 &&
	fail "nobody listened on 127.0.0.1:9500 while the collector restarted"
[ $? = 124 ] && fail "nobody held 127.0.0.1:9500 while the collector restarted"
wait_for 120 active
# The collector takes the next connection only once its daemon has gone: a
# stranger queued in the backlog is refused when the daemon restarts. It
# says when its connect has returned, which is the event waited for (the
# start of setpriv and bash alone can take seconds here), and stays
# connected until the collector closes the connection, however long the
# drill takes, so that what is refused is its open socket.
exec 4< <(exec setpriv --reuid=nobody --regid=nogroup --clear-groups \
	bash -c 'exec 3<>/dev/tcp/127.0.0.1/9500 && echo connected && exec cat <&3 >/dev/null' 2>/dev/null)
stranger=$!
read -r -t 600 answer <&4
[ "${answer-}" = connected ] &&
	awk '$3 ~ /:251C$/ && $8 == 65534 { f = 1 } END { exit !f }' /proc/net/tcp ||
	fail "nobody could not connect to 127.0.0.1:9500"
drill "restart quorvane, a stranger queued" systemctl restart quorvane.service
wait_for 120 eval 'logs | grep -q "uid 65534"' || fail "no warning naming uid 65534"
logs | grep 65534
kill "$stranger" 2>/dev/null
exec 4<&-

drill "stop and start both" eval 'systemctl stop "${units[@]}" && t0=$EPOCHREALTIME && systemctl start "${units[@]}"'
logs | grep -q 'refused=[1-9]' || fail "the collector's counters do not show the refused connection"
logs | grep 'stats' | tail -n 2

# The shipped unit's metrics, as a scraper on this host reads them.
scrape() { exec 3<>/dev/tcp/127.0.0.1/9501 && printf 'GET /metrics HTTP/1.0\r\n\r\n' >&3 && timeout 30 cat <&3; exec 3<&-; }
records=$(scrape 2>/dev/null | awk '$1 == "quorvane_collector_records_total" { print $2 }')
say "metrics: quorvane_collector_records_total ${records:-absent}"
[ "${records:-0}" -gt 0 ] 2>/dev/null || fail "the collector's metrics on 127.0.0.1:9501 show no records"

echo "drills: hardening (systemd-analyze security, overall exposure)"
for u in "${units[@]}"; do
	e=$(systemd-analyze security --no-pager "$u" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
	echo "  $u ${e:-?}"
	awk -v e="$e" 'BEGIN { exit !(e != "" && e <= 1.4) }' || fail "$u exposure ${e:-unknown} above 1.4"
done

# Two routers, both source id 0 and template 256 in different field orders,
# from 127.0.0.2 and .3: with the exporters' own addresses nfcapd keeps them
# apart and decodes each flow as sent. The collector relays them holding no
# capability at all.
kill %1
pid=$(mainpid quorvane-collector.service)
caps=$(grep -E '^Cap(Inh|Prm|Eff|Amb):' "/proc/$pid/status" | tr -s '\t\n' '  ')
say "collector: $caps"
[ -z "$(echo "$caps" | tr ' ' '\n' | grep -E '^[0-9a-f]{16}$' | grep -v '^0*$')" ] ||
	fail "the collector holds capabilities while relaying: $caps"
wait_for 5 eval '[ "$(nfcapd_queue)" = 00000000:00000000 ]'
base=$(received)
for r in 2 3; do
	quorvane-exporter -host 127.0.0.1 -port 2055 -bind "127.0.0.$r" -file "$routers/router$r.raw" >/dev/null ||
		fail "router 127.0.0.$r could not send"
done
# 20 datagrams, and the templates the relay sends again ahead of some.
wait_for 60 eval '[ "$(received)" -ge $((base + 20)) ] && [ "$(nfcapd_queue)" = 00000000:00000000 ]' ||
	fail "nfcapd did not get the routers' datagrams"
systemctl stop flows-nfcapd
n=$(nfdump -R /var/cache/flows -q -N -o 'fmt:%sa %da %dp' 'net 10.1.0.0/24' | grep -c .)
say "nfdump shows $n flows from 10.1.0.0/24"
[ "$n" -gt 0 ] || fail "nfdump shows no flows"
nfdump -R /var/cache/flows -q -N -o 'fmt:%ra %sa %sp %da %dp %pr %pkt %byt' 'src net 172.16.0.0/12' |
	awk '{ $1 = $1; print }' | sort >/tmp/routers.got
if cmp -s /tmp/routers.got "$routers/routers.expected"; then
	say "nfdump shows both routers' $(grep -c . /tmp/routers.got) flows as sent"
else
	fail "the routers' flows differ from what they sent (<: sent, >: nfdump)"
	diff "$routers/routers.expected" /tmp/routers.got | head -20
fi

echo "drills: fault, count, seconds to the next record at nfcapd (min median max)"
sort -n /tmp/times | awk '{ t = $1; k = substr($0, length(t) + 2); n[k]++; v[k, n[k]] = t }
	END { for (k in n) { m = n[k]; printf "  %-38s %d  %s %s %s\n", k, m, v[k, 1], v[k, int((m + 1) / 2)], v[k, m] } }' |
	sort
exit "$failed"
