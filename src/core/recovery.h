// Loss recovery between two Zavik sides. Each side offers it with an 8-byte
// RecoveryOffer beside its ConnectRequests and ConnectAccepts; a side sends
// anything else new only once it has heard the peer's offer and knows the peer
// heard its own. Then every console packet travels in four DataBundles, its
// first copy exactly when a plain DataPacket would have gone, its three later
// copies in the next datagrams or, when no packet follows, in repeats spaced
// 25, 25 and 50 ms apart. Bundles also carry an echo of the peer's newest one,
// which gives the path's round trip for the Ping counter.
//
// A peer that never offers (a program that knows only the four first datagram
// types) gets exactly the datagrams it would without recovery, plus the
// offers, which such a program ignores in every state. The layouts are in
// docs/protocol.md.
#pragma once

#include <cstdint>

#include "core/link_state.h"

constexpr uint32_t kOfferHeard = 1; // RecoveryOffer flags: "I have heard your offer"
constexpr uint32_t kOfferOn = 2;    //   "and you heard mine: I send bundles"

constexpr int kBundleHeader = 16;
constexpr int kBundleEntryHeader = 5;
constexpr int kMaxDatagram = kBundleHeader + kRecoveryCopies * (kBundleEntryHeader + kMaxPayload);
constexpr uint8_t kBundleEcho = 1;  // bundle flags: the echo fields are valid
constexpr uint8_t kBundleFresh = 2; //   the first entry is sent for the first time

// Both sides agree: this side sends bundles to the peer. Takes the link lock.
bool recoveryOn();
// The peer has offered from where this side sends, so it may send bundles,
// which are longer than the data reads of a side without recovery.
bool recoveryReadsBundles(ConnectionState state);

// A new attempt, a new listen or the end of a link: nothing heard, nothing owed.
void recoveryForget();
// This side's offer, after a ConnectRequest or ConnectAccept it sent.
void sendRecoveryOffer();
// A RecoveryOffer from the peer (already checked to come from it).
void onRecoveryOffer(ConnectionState state, const SocketAddress& from, uint32_t flags);
// Packets of the current or last link that came only in later copies.
uint32_t recoveredPackets();
// The side has just become Connected: says so when recovery is on.
void recoveryConnected();
// The line that ends a link with recovery on: how many packets came only from
// later copies. Nothing when recovery was off.
void recoveryLinkEnded();

// The datagram that carries the packet of LocalRing slot i: a bundle with it and
// the copies still owed. Returns its length in out (at most kMaxDatagram).
// Link lock held.
int buildBundle(int slot, uint32_t now, uint8_t* out);
// After a plain DataPacket while the agreement is not complete: an offer, a few
// times per link. Link lock held.
void offerWithData();
// Files a bundle from the peer (its entries in sequence order), takes its echo
// for the ping. Returns the number of entries in it, or -1 when it is malformed
// (then nothing is taken from it).
int fileBundle(const uint8_t* datagram, int length, uint32_t now);
// A whole bundle with a packet of this number in it.
bool bundleHolds(const uint8_t* datagram, int length, uint32_t sequence);

// The port thread's share: milliseconds until the next repeat of owed copies
// (kNoTimeout when none is owed), and sending it when due.
uint32_t msUntilCopiesDue(uint32_t now);
void sendDueCopies(uint32_t now);

// A DisconnectNotice to a peer with recovery on goes out more than once: the
// extra copies to send, `wanted`, or none with recovery off.
int extraNoticeCopies(int wanted);
