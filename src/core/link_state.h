// The one record of the program's working data, and the resets that put groups
// of its fields back to their starting values.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "os/types.h"

struct SerialPort;   // an open serial device (os/serial_device.h)
struct WakeEvent;    // an auto-reset event (os/system.h)
struct ThreadHandle; // a started thread (os/system.h)

enum DatagramType : uint32_t {
    ConnectRequest = 1,
    ConnectAccept = 2,
    DisconnectNotice = 3,
    DataPacket = 4,
    // Between two Zavik sides only (core/recovery.h); a program that knows only
    // the four above ignores these types in every state.
    RecoveryOffer = 16,
    DataBundle = 17,
};

enum ConnectionState : int32_t {
    Idle = 0,
    Connecting = 1,
    Listening = 2,
    Connected = 3,
};

constexpr int kRingSlots = 32;
constexpr int kMaxPayload = 68;
constexpr int kHeaderSize = 8;
constexpr int kSlotSize = kHeaderSize + kMaxPayload; // 76: the largest datagram

// One ring slot: byte for byte the image of a data datagram.
struct PacketSlot {
    LeU32 type;     // 0 = empty; 4 = DataPacket
    LeU32 sequence; // packet number given by the capturing side
    uint8_t payload[kMaxPayload];
};
static_assert(sizeof(PacketSlot) == 76, "a slot is the image of the largest datagram");

struct LocalRing {
    PacketSlot slots[kRingSlots];
    int32_t localSize[kRingSlots];
    uint32_t localSendTime[kRingSlots]; // 0 = no ping measurement pending
    uint32_t localCaptured;
    uint32_t localSent;
    uint32_t localStored;
};

struct RemoteRing {
    PacketSlot slots[kRingSlots];
    int32_t remoteSize[kRingSlots];
    uint32_t remoteDelivered;
    uint32_t remoteStored;
    uint32_t remoteReceived;
};

constexpr int kMaxLocalAddresses = 10;

// What the counters last showed and when they were last refreshed.
struct StatsDisplay {
    uint32_t lastStatsRefresh;
    uint32_t shownLocalCaptured;
    uint32_t shownLocalSent;
    uint32_t shownLocalStored;
    uint32_t shownRemoteReceived;
    uint32_t shownRemoteDelivered;
    uint32_t shownRemoteStored;
    uint32_t shownPing;
    uint32_t shownExpectedSize;
    uint32_t shownTransferStage;
    uint32_t shownErrorCount;
};

constexpr int kRecoveryCopies = 4; // datagrams that carry each packet with recovery on

// One packet sent with recovery on, kept for its later copies.
struct RecoveryCopy {
    uint32_t sequence;
    int32_t size;
    int32_t sendsLeft; // datagrams still to carry it
    uint8_t payload[kMaxPayload];
};

// Loss recovery between two Zavik sides (core/recovery.h). Under the link lock.
struct LinkRecovery {
    bool enabled;           // this side offers recovery (a switch on the Linux front ends)
    bool peerOffered;       // offerFrom has offered recovery
    bool peerHeardMine;     // and has said it heard this side's offer
    bool announced;         // "Loss recovery on" written for this link
    bool wasOn;             // recovery was on at some time during this link
    SocketAddress offerFrom;
    uint32_t offersWithData; // offers sent beside data packets this link
    RecoveryCopy copies[kRecoveryCopies]; // newest first
    int32_t copyCount;
    uint32_t lastSendMs;    // when the last bundle went
    int32_t repeats;        // repeats sent since the last new packet
    bool echoValid;         // the peer's newest bundle: its stamp, when it came
    uint32_t echoStamp;
    uint32_t echoArrivedMs;
    uint32_t recovered;     // packets filed from a later copy, this link
};

// Fields that the two threads read and write outside the link lock are atomic;
// every other field shared by the threads is touched only under the link lock
// (core/link_lock.h).
struct LinkState {
    LocalRing local;
    RemoteRing remote;

    // settings
    char localIp[kAddressTextSize]; // dialogs keep netAddressTextSize() bytes of it
    uint16_t localPort;
    char remoteIp[kAddressTextSize];
    uint16_t remotePort;
    char serialPortName[256]; // "COM1".."COM4" on Windows; a device path on Linux
    uint32_t baudRate;
    std::atomic<int32_t> portWaitMs;
    std::atomic<int32_t> vsyncAdjustMs;
    int32_t vsyncAdjustIndex;
    bool highPriority;
    uint32_t localAddresses[kMaxLocalAddresses];
    int32_t localAddressCount;

    // connection and handles
    std::atomic<ConnectionState> connectionState;
    SocketAddress remoteAddress;
    SerialPort* serialPort;
    CommTimeouts savedTimeouts;
    uintptr_t udpSocket; // 0 = none
    WakeEvent* packetEvent;
    ThreadHandle* portThread;
    std::atomic<bool> stopPortThread;

    // console timing and transfer
    bool psxSendFlag;
    uint32_t lastReadTime;
    uint32_t lastWriteTime;
    int32_t framePeriodMs;
    int32_t expectedSize;
    int32_t transferStage;
    bool transferActive;
    int32_t endMarkerCount;
    bool psxActive;

    LinkRecovery recovery;

    // statistics
    uint32_t pingTotalMs;
    uint32_t pingSamples;
    uint32_t errorCount;
    StatsDisplay stats;
};

extern LinkState linkState;

// Puts every field back to its value at process start (used at start and by tests).
void initLinkState();

void resetLocalSide();
void resetRemoteSide();
void clearRemoteSlots();
void clearStatistics();

// The ring slot of a sequence number.
inline int slotIndex(uint32_t sequence) { return int(sequence & (kRingSlots - 1)); }

// Copies at most size-1 bytes of text and always ends with a zero.
void copyText(char* dest, size_t size, const char* text);
