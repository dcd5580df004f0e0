// The simulated console's transcript (log=PATH): a record of every packet it
// sent and received and of its phases, kept in memory while it runs and written
// out as text when it closes, one line per packet in the order the console saw
// them:
//   "# <port name>"            the options it ran with
//   "phase control"            outside a transfer (also the first line after #)
//   "phase transfer <size>"    a transfer begins
//   "tx <hex bytes>"           a packet it wrote
//   "rx <hex bytes>"           a packet it received
//   "fill <hex bytes>"         a filler it received (zeros, then 04 04)
//   "part <hex bytes>"         bytes that did not make a whole packet
//   "dropped <n>"              records lost because the record buffer filled
// Hex bytes are upper-case pairs separated by single spaces. With times=1 the
// lines but "#" and "dropped" end with " @<ms>", in ms since the open with
// three decimals (e.g. "tx 01 @1234.567").
#pragma once

#include <cstddef>
#include <cstdint>

enum SimRecordKind : uint8_t {
    RecControl,  // "phase control"
    RecTransfer, // "phase transfer <size>"
    RecTx,       // "tx <bytes>": a packet it wrote
    RecRx,       // "rx <bytes>": a packet it received
    RecFill,     // "fill <bytes>": a filler it received
    RecPart,     // "part <bytes>": bytes that did not make a whole packet
};

struct SimTranscript {
    uint8_t* record = nullptr; // kSimRecordBytes, allocated at the start
    size_t used = 0;
    uint32_t dropped = 0; // records that did not fit
};

constexpr size_t kSimRecordBytes = 512 * 1024;

// Takes the record's memory; false when there is none.
bool transcriptStart(SimTranscript* t);
void transcriptEnd(SimTranscript* t);

// One record at atUs microseconds since the console started.
void transcriptAdd(SimTranscript* t, SimRecordKind kind, const uint8_t* bytes, uint32_t length,
                   uint64_t atUs);
// A phase: control, or transfer of packets of size bytes.
void transcriptPhase(SimTranscript* t, SimRecordKind kind, uint32_t size, uint64_t atUs);

// Writes the transcript to path: "# <title>", then one line per record, with
// " @<ms>" after each when times is set, then "dropped <n>" if any were lost.
void transcriptWrite(const SimTranscript* t, const char* path, const char* title, bool times);
