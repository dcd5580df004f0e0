#!/usr/bin/env bash
# Two homes with IPv6, made of network namespaces (root) named BED-..., BED
# starting with $NETBED_RUN: `netbed.sh run` removes them at its end,
# `netbed.sh down BED` at once.
#
#   checkbed.sh BED [pinhole=PORT]
#       home A 2001:db8:a::10, 192.0.2.10 --- router A 2001:db8:ff::a, 203.0.113.1
#       home B 2001:db8:b::10, 198.51.100.10 --- router B 2001:db8:ff::b, 203.0.113.2
#       The routers masquerade IPv4 and route IPv6; both families come in only
#       when established or related (a home's own flows), and pinhole=PORT lets
#       UDP PORT in to home A. Unasked IPv4 to a router itself is dropped, not
#       answered (an answer would spoil the both-connect way).
set -euo pipefail

bed=$1 pinhole=${2:-}
pinhole=${pinhole#pinhole=}
addr() { ip -n "$bed-$1" addr add "$3" dev "$2" nodad; } # namespace device address

for n in a ra rb b; do
  ip netns add "$bed-$n"
  ip -n "$bed-$n" link set lo up
done
ip -n "$bed-ra" link add wan type veth peer name wan netns "$bed-rb"
addr ra wan 203.0.113.1/24
addr rb wan 203.0.113.2/24
for s in a b; do
  ip -n "$bed-r$s" link add lan type veth peer name lan netns "$bed-$s"
  addr r$s wan 2001:db8:ff::$s/64
  addr r$s lan 2001:db8:$s::1/64
  addr $s lan 2001:db8:$s::10/64
done
addr a lan 192.0.2.10/24
addr ra lan 192.0.2.1/24
addr b lan 198.51.100.10/24
addr rb lan 198.51.100.1/24
for n in a ra rb b; do
  for dev in lan wan; do ip -n "$bed-$n" link set "$dev" up 2>/dev/null || true; done
done
ip -n "$bed-a" route add default via 192.0.2.1
ip -n "$bed-b" route add default via 198.51.100.1
ip -n "$bed-ra" -6 route add 2001:db8:b::/64 via 2001:db8:ff::b
ip -n "$bed-rb" -6 route add 2001:db8:a::/64 via 2001:db8:ff::a
for s in a b; do
  ip -n "$bed-$s" -6 route add default via 2001:db8:$s::1
  hole="iifname \"wan\" ip6 daddr 2001:db8:a::10 udp dport $pinhole accept"
  [[ $s == a && -n $pinhole ]] || hole=""
  ip netns exec "$bed-r$s" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
  ip netns exec "$bed-r$s" nft -f - <<NFT
table ip nat {
  chain postrouting { type nat hook postrouting priority srcnat; policy accept;
    oifname "wan" masquerade
  }
}
table inet filter {
  chain forward { type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" oifname "wan" accept
    $hole
  }
  chain input { type filter hook input priority filter; policy accept;
    iifname "wan" ct state established,related accept
    iifname "wan" meta nfproto ipv4 drop
  }
}
NFT
done
