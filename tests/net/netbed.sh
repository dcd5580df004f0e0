#!/usr/bin/env bash
# Two homes on the internet, made of network namespaces on this machine:
#
#   home A ---- router A ==== hop ==== router B ---- home B
#   192.0.2.10  192.0.2.1             198.51.100.1   198.51.100.10
#               203.0.113.1           203.0.113.2
#
# Each router is a home router: it masquerades its home behind its public
# address (nftables), forwards nothing into the home that the home did not
# ask for (forward policy drop, but established and related traffic), and
# drops whatever comes unasked from the public side to itself. The public
# link runs through a third namespace, where tests/net/hop.py passes the
# frames from one side to the other (and may delay, drop, reorder or copy
# them); without it running the link is cut.
#
#   netbed.sh run COMMAND...    checks that namespaces can be made here,
#       removes beds of runs that are gone, runs COMMAND with NETBED_RUN set
#       to this run's name prefix, and removes every bed of the run at the
#       end, whatever happened (trap).
#   netbed.sh up BED [forward=PORT] [open] [random]
#       builds a bed: namespaces BED-a, BED-ra, BED-hop, BED-rb, BED-b.
#       forward=PORT: router A forwards UDP PORT to home A's host.
#       open: the routers take unasked traffic to themselves (answering it
#       with ICMP, as a host does) instead of dropping it.
#       random: the routers give each new flow a random public port
#       (masquerade random), as routers that map each destination apart do.
#   netbed.sh forward BED PORT  router A forwards UDP PORT from now on.
#   netbed.sh down BED          ends the processes in BED's namespaces and
#       removes them.
#
# Root is needed. Only documentation address ranges are used.
set -euo pipefail

NAMESPACES=(a ra hop rb b)
PREFIX=zk13 # every namespace of a run is named zk13-<the run's pid>-...

die() { echo "netbed: $*" >&2; exit 1; }

in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

# A home router's rules; with guard=1 it drops what comes unasked from the
# public side to itself.
router_rules() { # guard [masquerade options]
  local guard="" how="masquerade ${2:-}"
  [[ $1 == 1 ]] && guard='iifname "wan" ct state established,related accept
    iifname "wan" drop'
  cat <<EOF
table ip nat {
  chain prerouting { type nat hook prerouting priority dstnat; policy accept;
  }
  chain postrouting { type nat hook postrouting priority srcnat; policy accept;
    oifname "wan" $how
  }
}
table ip filter {
  chain forward { type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" oifname "wan" accept
  }
  chain input { type filter hook input priority filter; policy accept;
    $guard
  }
}
EOF
}

quiet_ns() { # no IPv6 chatter on the links
  in_ns "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 \
    net.ipv6.conf.default.disable_ipv6=1 || true
}

up() {
  local bed=$1; shift
  local forward="" guard=1 how="" arg
  for arg in "$@"; do
    case $arg in
      forward=*) forward=${arg#forward=} ;;
      open) guard=0 ;;
      random) how=random ;;
      *) die "unknown option $arg" ;;
    esac
  done
  local ns
  for ns in "${NAMESPACES[@]}"; do
    ip netns add "$bed-$ns"
    quiet_ns "$bed-$ns"
    in_ns "$bed-$ns" ip link set lo up
  done
  # Homes and their routers.
  ip -n "$bed-ra" link add lan type veth peer name lan netns "$bed-a"
  ip -n "$bed-rb" link add lan type veth peer name lan netns "$bed-b"
  # The public link, through the hop.
  ip -n "$bed-ra" link add wan type veth peer name west netns "$bed-hop"
  ip -n "$bed-rb" link add wan type veth peer name east netns "$bed-hop"

  ip -n "$bed-a" addr add 192.0.2.10/24 dev lan
  ip -n "$bed-ra" addr add 192.0.2.1/24 dev lan
  ip -n "$bed-ra" addr add 203.0.113.1/24 dev wan
  ip -n "$bed-rb" addr add 203.0.113.2/24 dev wan
  ip -n "$bed-rb" addr add 198.51.100.1/24 dev lan
  ip -n "$bed-b" addr add 198.51.100.10/24 dev lan
  for ns in a ra rb b; do
    for dev in lan wan; do
      ip -n "$bed-$ns" link show "$dev" >/dev/null 2>&1 && ip -n "$bed-$ns" link set "$dev" up
    done
  done
  ip -n "$bed-hop" link set west up
  ip -n "$bed-hop" link set east up
  ip -n "$bed-a" route add default via 192.0.2.1
  ip -n "$bed-b" route add default via 198.51.100.1

  for ns in ra rb; do
    in_ns "$bed-$ns" sysctl -qw net.ipv4.ip_forward=1
  done
  router_rules "$guard" "$how" | in_ns "$bed-ra" nft -f -
  router_rules "$guard" "$how" | in_ns "$bed-rb" nft -f -
  [[ -z $forward ]] || forward "$bed" "$forward"
}

# Router A forwards a UDP port of its public address to home A's host.
forward() { # bed port
  in_ns "$1-ra" nft add rule ip nat prerouting iifname wan udp dport "$2" dnat to 192.0.2.10
  in_ns "$1-ra" nft add rule ip filter forward ct status dnat accept
}

# Every namespace whose name starts with $1.
namespaces_of() {
  ip netns list | awk -v p="$1" 'index($1, p) == 1 {print $1}'
}

# Ends the processes in the namespaces named PREFIX... and removes them.
remove() { # prefix
  local spaces ns pid
  spaces=$(namespaces_of "$1")
  for ns in $spaces; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
      kill -KILL "$pid" 2>/dev/null || true
    done
  done
  for ns in $spaces; do
    ip netns del "$ns" 2>/dev/null || true
  done
}

check() {
  [[ $(id -u) -eq 0 ]] || die "network namespaces need root; this is uid $(id -u)"
  command -v ip >/dev/null || die "no 'ip' command (Debian package iproute2)"
  command -v nft >/dev/null || die "no 'nft' command (Debian package nftables)"
  local probe="$PREFIX-$$-probe"
  ip netns add "$probe" 2>/dev/null ||
    die "cannot make a network namespace here (ip netns add failed)"
  local ok=1
  printf 'table ip t {\n chain c {\n type nat hook postrouting priority srcnat;\n masquerade\n }\n}\n' |
    ip netns exec "$probe" nft -f - 2>/dev/null || ok=0
  ip netns del "$probe"
  [[ $ok == 1 ]] || die "nftables cannot masquerade in a network namespace here"
}

run() {
  if [[ ${ZAVIK_SKIP_NETNS:-} == 1 ]]; then
    echo "netbed: skipped (ZAVIK_SKIP_NETNS=1)"
    exit 77
  fi
  check
  # Beds of earlier runs whose process is gone (a run killed before its trap).
  local ns pid
  for ns in $(namespaces_of "$PREFIX-"); do
    pid=${ns#"$PREFIX-"}
    pid=${pid%%-*}
    [[ $pid =~ ^[0-9]+$ ]] || continue
    kill -0 "$pid" 2>/dev/null && continue
    remove "$PREFIX-$pid-"
  done
  export NETBED_RUN="$PREFIX-$$"
  trap 'remove "$NETBED_RUN-"' EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  "$@"
}

case ${1:-} in
  run) shift; run "$@" ;;
  up) shift; up "$@" ;;
  forward) shift; forward "$@" ;;
  down) shift; remove "$1-" ;;
  *) die "usage: netbed.sh run COMMAND... | up BED [forward=PORT] [open] [random]" \
         "| forward BED PORT | down BED" ;;
esac
