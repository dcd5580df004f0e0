#!/usr/bin/env bash
# Beds for `zavik check` and for IPv6 links, made of network namespaces
# (root). Run inside `netbed.sh run`, whose clean-up removes every namespace
# of the run; names are BED-..., BED starting with $NETBED_RUN.
#
#   checkbed.sh nat BED KIND
#       home ---- router ---- server, the server on the public side with two
#       addresses, 198.51.100.100 and .101 (a STUN server goes there):
#         none     the home has a public address, 203.0.113.10; the router
#                  only routes
#         keep     the router masquerades the home (192.0.2.10) behind
#                  198.51.100.1 and keeps the home's port (nftables masquerade)
#         random   the same, each new flow on a random port (masquerade random)
#         blocked  the same as keep, but the router passes no UDP out
#       The home's resolver is its own loopback (nothing answers there) and
#       its hosts file names the server stun.bed.test: names never leave the bed.
#   checkbed.sh v6 BED [pinhole=PORT]
#       two homes, each behind its own router, joined by a public link:
#         home A 2001:db8:a::10, 192.0.2.10 --- router A 2001:db8:ff::a, 203.0.113.1
#         home B 2001:db8:b::10, 198.51.100.10 --- router B 2001:db8:ff::b, 203.0.113.2
#       IPv4: each router masquerades its home. IPv6: routed, no NAT; each
#       router's firewall lets in only what is established or related (a
#       home's own flows) and drops the rest; pinhole=PORT: router A also
#       lets in UDP PORT to home A. Unasked IPv4 to a router itself is
#       dropped, not answered (an answer would spoil the both-connect way).
#   checkbed.sh down BED    ends the processes in BED's namespaces, removes them.
set -euo pipefail

die() { echo "checkbed: $*" >&2; exit 1; }
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

make_ns() { # bed names...
  local bed=$1 n; shift
  for n in "$@"; do
    ip netns add "$bed-$n"
    in_ns "$bed-$n" ip link set lo up
  done
}

no_ipv6() { in_ns "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1; }

nat() {
  local bed=$1 kind=$2 masq="masquerade" udp_out=""
  case $kind in
    none | keep) ;;
    random) masq="masquerade random" ;;
    blocked) udp_out='meta l4proto udp drop' ;;
    *) die "unknown kind $kind" ;;
  esac
  make_ns "$bed" h r s
  local n
  for n in h r s; do no_ipv6 "$bed-$n"; done
  ip -n "$bed-r" link add lan type veth peer name lan netns "$bed-h"
  ip -n "$bed-r" link add wan type veth peer name wan netns "$bed-s"
  ip -n "$bed-s" addr add 198.51.100.100/24 dev wan
  ip -n "$bed-s" addr add 198.51.100.101/24 dev wan
  ip -n "$bed-r" addr add 198.51.100.1/24 dev wan
  if [[ $kind == none ]]; then
    ip -n "$bed-h" addr add 203.0.113.10/24 dev lan
    ip -n "$bed-r" addr add 203.0.113.1/24 dev lan
  else
    ip -n "$bed-h" addr add 192.0.2.10/24 dev lan
    ip -n "$bed-r" addr add 192.0.2.1/24 dev lan
  fi
  ip -n "$bed-h" link set lan up
  ip -n "$bed-r" link set lan up
  ip -n "$bed-r" link set wan up
  ip -n "$bed-s" link set wan up
  if [[ $kind == none ]]; then
    ip -n "$bed-h" route add default via 203.0.113.1
    ip -n "$bed-s" route add 203.0.113.0/24 via 198.51.100.1
  else
    ip -n "$bed-h" route add default via 192.0.2.1
  fi
  in_ns "$bed-r" sysctl -qw net.ipv4.ip_forward=1
  if [[ $kind != none ]]; then
    in_ns "$bed-r" nft -f - <<NFT
table ip nat {
  chain postrouting { type nat hook postrouting priority srcnat; policy accept;
    oifname "wan" $masq
  }
}
table ip filter {
  chain forward { type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" oifname "wan" $udp_out
    iifname "lan" oifname "wan" accept
  }
}
NFT
  fi
  mkdir -p "/etc/netns/$bed-h"
  echo "nameserver 127.0.0.1" >"/etc/netns/$bed-h/resolv.conf"
  printf '127.0.0.1 localhost\n198.51.100.100 stun.bed.test\n' >"/etc/netns/$bed-h/hosts"
}

# A router's IPv6 firewall: a home's own flows and their answers; pinhole.
firewall6() { # pinhole home
  local hole=""
  [[ -n $1 ]] && hole="iifname \"wan\" ip6 daddr $2 udp dport $1 accept"
  cat <<NFT
table ip6 filter {
  chain forward { type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" oifname "wan" accept
    $hole
  }
}
table ip nat {
  chain postrouting { type nat hook postrouting priority srcnat; policy accept;
    oifname "wan" masquerade
  }
}
table ip filter {
  chain forward { type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" oifname "wan" accept
  }
  chain input { type filter hook input priority filter; policy accept;
    iifname "wan" ct state established,related accept
    iifname "wan" drop
  }
}
NFT
}

v6() {
  local bed=$1 pinhole="" arg; shift
  for arg in "$@"; do
    case $arg in
      pinhole=*) pinhole=${arg#pinhole=} ;;
      *) die "unknown option $arg" ;;
    esac
  done
  make_ns "$bed" a ra rb b
  ip -n "$bed-ra" link add lan type veth peer name lan netns "$bed-a"
  ip -n "$bed-rb" link add lan type veth peer name lan netns "$bed-b"
  ip -n "$bed-ra" link add wan type veth peer name wan netns "$bed-rb"
  ip -n "$bed-a" addr add 192.0.2.10/24 dev lan
  ip -n "$bed-a" addr add 2001:db8:a::10/64 dev lan nodad
  ip -n "$bed-ra" addr add 192.0.2.1/24 dev lan
  ip -n "$bed-ra" addr add 2001:db8:a::1/64 dev lan nodad
  ip -n "$bed-ra" addr add 203.0.113.1/24 dev wan
  ip -n "$bed-ra" addr add 2001:db8:ff::a/64 dev wan nodad
  ip -n "$bed-rb" addr add 203.0.113.2/24 dev wan
  ip -n "$bed-rb" addr add 2001:db8:ff::b/64 dev wan nodad
  ip -n "$bed-rb" addr add 198.51.100.1/24 dev lan
  ip -n "$bed-rb" addr add 2001:db8:b::1/64 dev lan nodad
  ip -n "$bed-b" addr add 198.51.100.10/24 dev lan
  ip -n "$bed-b" addr add 2001:db8:b::10/64 dev lan nodad
  local n
  for n in a ra rb b; do
    ip -n "$bed-$n" link set lan up 2>/dev/null || true
    ip -n "$bed-$n" link set wan up 2>/dev/null || true
  done
  ip -n "$bed-a" route add default via 192.0.2.1
  ip -n "$bed-a" -6 route add default via 2001:db8:a::1
  ip -n "$bed-b" route add default via 198.51.100.1
  ip -n "$bed-b" -6 route add default via 2001:db8:b::1
  ip -n "$bed-ra" -6 route add 2001:db8:b::/64 via 2001:db8:ff::b
  ip -n "$bed-rb" -6 route add 2001:db8:a::/64 via 2001:db8:ff::a
  for n in ra rb; do
    in_ns "$bed-$n" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
  done
  firewall6 "$pinhole" 2001:db8:a::10 | in_ns "$bed-ra" nft -f -
  firewall6 "" "" | in_ns "$bed-rb" nft -f -
}

down() {
  local bed=$1 ns pid
  for ns in $(ip netns list | awk -v p="$bed-" 'index($1, p) == 1 {print $1}'); do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
  done
}

[[ $(id -u) -eq 0 ]] || die "network namespaces need root"
case ${1:-} in
  nat) shift; nat "$@" ;;
  v6) shift; v6 "$@" ;;
  down) shift; down "$1" ;;
  *) die "usage: checkbed.sh nat BED none|keep|random|blocked | v6 BED [pinhole=PORT] | down BED" ;;
esac
