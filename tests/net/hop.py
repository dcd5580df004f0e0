#!/usr/bin/env python3
"""The public link of the test bed (netbed.sh): passes Ethernet frames between
two interfaces of the hop namespace, like a cable, and may impair the IPv4
traffic on the way, like a long path across the internet.

Usage: hop.py [--delay MS] [--jitter MS] [--loss P] [--burst N] [--reorder P]
              [--duplicate P] [--seed N] [--lifetime S] [--max-frames N]

It reads every frame that arrives on `west` and `east` (raw packet sockets)
and sends it out of the other one. Frames other than IPv4 (ARP) pass at once.
Each IPv4 frame, in each direction on its own:
  - is lost with probability P (--loss), whatever it carries, and so are the
    N - 1 frames after it in the same direction (--burst, 1 by default); the
    frame after a burst of more than one passes, so bursts never join up;
  - else is held back with probability P (--reorder) until the next frame in
    the same direction has gone, so the two arrive the other way round (or
    until 3 x --delay have passed, when no other frame comes);
  - else is sent twice with probability P (--duplicate);
  - leaves after --delay ms plus a jitter drawn evenly from +-(--jitter) ms,
    but never before the frame in front of it: jitter alone reorders nothing,
    as on one path through routers with queues.
The draws come from a generator seeded with --seed and the direction, one set
per frame in arrival order, so the same traffic meets the same fate.

UDP checksums are computed afresh on the way: frames read from a virtual
Ethernet link may carry a checksum the sender left for the hardware to fill in.

Bounded: it ends after --lifetime seconds or --max-frames frames, whichever
comes first, and holds at most 1000 frames in flight (more are lost and
counted). It also ends when its standard input closes. It prints "ready" once
it passes frames, and at the end what it did as one JSON object.
"""
import argparse
import heapq
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
PACKET_OUTGOING = 4
MAX_IN_FLIGHT = 1000


def udp_checksum_fixed(frame):
    """The frame with its UDP checksum computed afresh (IPv4 frames only)."""
    ip = 14
    ihl = (frame[ip] & 0x0F) * 4
    if frame[ip + 9] != socket.IPPROTO_UDP or len(frame) < ip + ihl + 8:
        return frame
    udp = ip + ihl
    length = struct.unpack_from("!H", frame, udp + 4)[0]
    if len(frame) < udp + length or length < 8:
        return frame
    out = bytearray(frame)
    out[udp + 6:udp + 8] = b"\0\0"
    data = bytes(out[ip + 12:ip + 20]) + struct.pack("!BBH", 0, socket.IPPROTO_UDP, length) \
        + bytes(out[udp:udp + length])
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    checksum = ~total & 0xFFFF
    struct.pack_into("!H", out, udp + 6, checksum or 0xFFFF)
    return bytes(out)


def udp_flow(frame):
    """(source, destination, payload) of a UDP frame as 'a.b.c.d:port', or None."""
    ip = 14
    ihl = (frame[ip] & 0x0F) * 4
    if frame[ip + 9] != socket.IPPROTO_UDP:
        return None
    udp = ip + ihl
    sport, dport, length = struct.unpack_from("!HHH", frame, udp)
    src = socket.inet_ntoa(frame[ip + 12:ip + 16])
    dst = socket.inet_ntoa(frame[ip + 16:ip + 20])
    return "%s:%d" % (src, sport), "%s:%d" % (dst, dport), frame[udp + 8:udp + length]


class Way:
    """One direction of the link, with its own draws and counts."""

    def __init__(self, name, out, seed):
        self.name, self.out = name, out
        self.rng = random.Random("%d/%s" % (seed, name))
        self.last_due = 0.0
        self.held = None  # (frame, deadline)
        self.burst_left = 0  # frames still to lose in the current burst
        self.after_burst = False  # the last frame ended a burst
        self.counts = dict(frames=0, ipv4=0, lost=0, bursts=0, held=0, reordered=0,
                           duplicated=0, overflow=0)
        self.delays = []
        self.flows = {}
        self.types = {}  # the program's datagram types (the first word), counted


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--jitter", type=float, default=0.0)
    parser.add_argument("--loss", type=float, default=0.0)
    parser.add_argument("--burst", type=int, default=1)
    parser.add_argument("--reorder", type=float, default=0.0)
    parser.add_argument("--duplicate", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=180.0)
    parser.add_argument("--max-frames", type=int, default=100000)
    args = parser.parse_args()

    sockets = {}
    for name in ("west", "east"):
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        s.bind((name, 0))
        sockets[name] = s
    print("ready", flush=True)
    ways = {"west": Way("west>east", sockets["east"], args.seed),
            "east": Way("east>west", sockets["west"], args.seed)}
    queue = []  # (due, order, way, frame)
    order = 0
    started = time.monotonic()
    end = started + args.lifetime
    frames = 0
    ended_by = "input closed"
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))

    def schedule(way, due, frame):
        nonlocal order
        if len(queue) >= MAX_IN_FLIGHT:
            way.counts["overflow"] += 1
            return
        order += 1
        heapq.heappush(queue, (due, order, way, frame))

    def arrive(way, frame, now):
        way.counts["ipv4"] += 1
        frame = udp_checksum_fixed(frame)
        flow = udp_flow(frame)
        if flow is not None:
            key = "%s>%s" % flow[:2]
            way.flows[key] = way.flows.get(key, 0) + 1
            if len(flow[2]) >= 4:
                kind = str(int.from_bytes(flow[2][:4], "little"))
                way.types[kind] = way.types.get(kind, 0) + 1
        x = way.rng.random()
        jitter = way.rng.uniform(-args.jitter, args.jitter)
        after_burst, way.after_burst = way.after_burst, False
        if way.burst_left > 0 or (x < args.loss and not (after_burst and args.burst > 1)):
            if way.burst_left == 0:
                way.counts["bursts"] += 1
                way.burst_left = args.burst
            way.burst_left -= 1
            way.after_burst = way.burst_left == 0
            way.counts["lost"] += 1
            return
        delay = max(0.0, args.delay + jitter) / 1000.0
        due = max(now + delay, way.last_due)
        way.last_due = due
        way.delays.append((due - now) * 1000.0)
        p = args.loss
        if p <= x < p + args.reorder and way.held is None:
            way.counts["held"] += 1
            way.held = (frame, due + 3 * args.delay / 1000.0)
            return
        schedule(way, due, frame)
        if way.held is not None:
            schedule(way, due, way.held[0])
            way.held = None
            way.counts["reordered"] += 1
        if p + args.reorder <= x < p + args.reorder + args.duplicate:
            schedule(way, due, frame)
            way.counts["duplicated"] += 1

    watched = list(sockets.values()) + [sys.stdin]
    while not stopping:
        now = time.monotonic()
        if now >= end:
            ended_by = "lifetime"
            break
        while queue and queue[0][0] <= now:
            _, _, way, frame = heapq.heappop(queue)
            way.out.send(frame)
        for way in ways.values():
            if way.held is not None and way.held[1] <= now:
                schedule(way, now, way.held[0])
                way.held = None
        wake = end
        if queue:
            wake = min(wake, queue[0][0])
        for way in ways.values():
            if way.held is not None:
                wake = min(wake, way.held[1])
        try:
            ready, _, _ = select.select(watched, [], [], max(0.0, wake - now))
        except InterruptedError:
            continue
        now = time.monotonic()
        for s in ready:
            if s is sys.stdin:
                if not os.read(sys.stdin.fileno(), 4096):
                    stopping.append(1)
                continue
            frame, address = s.recvfrom(65535)
            if address[2] == PACKET_OUTGOING:
                continue
            way = ways[address[0]]
            way.counts["frames"] += 1
            frames += 1
            if len(frame) >= 34 and struct.unpack_from("!H", frame, 12)[0] == ETH_P_IP:
                arrive(way, frame, now)
            else:
                way.out.send(frame)
        if frames >= args.max_frames:
            ended_by = "frame limit"
            break

    report = {"ended_by": ended_by, "seconds": round(time.monotonic() - started, 3)}
    for way in ways.values():
        d = way.delays
        report[way.name] = dict(way.counts, flows=way.flows, types=way.types,
                                delay_ms=[round(min(d), 1), round(sum(d) / len(d), 1),
                                          round(max(d), 1)] if d else [])
    print(json.dumps(report), flush=True)


if __name__ == "__main__":
    main()
