// The simulated console's transcript: fixed-size records in one buffer taken at
// the start (kind, length, time in microseconds, the bytes), turned into text
// only when it is written.
#include "serial/sim/sim_transcript.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {
constexpr size_t kRecordHead = 7; // kind, length (2), time in us (4)
} // namespace

bool transcriptStart(SimTranscript* t) {
    t->record = new (std::nothrow) uint8_t[kSimRecordBytes];
    t->used = 0;
    t->dropped = 0;
    return t->record != nullptr;
}

void transcriptEnd(SimTranscript* t) {
    delete[] t->record;
    t->record = nullptr;
}

void transcriptAdd(SimTranscript* t, SimRecordKind kind, const uint8_t* bytes, uint32_t length,
                   uint64_t atUs) {
    if (t->used + kRecordHead + length > kSimRecordBytes) {
        ++t->dropped;
        return;
    }
    uint8_t* p = t->record + t->used;
    const uint32_t at = uint32_t(atUs); // wraps after 71 minutes
    p[0] = kind;
    p[1] = uint8_t(length);
    p[2] = uint8_t(length >> 8);
    for (int i = 0; i < 4; ++i) p[3 + i] = uint8_t(at >> (8 * i));
    if (length > 0 && bytes != nullptr) memcpy(p + kRecordHead, bytes, length);
    t->used += kRecordHead + length;
}

void transcriptPhase(SimTranscript* t, SimRecordKind kind, uint32_t size, uint64_t atUs) {
    uint8_t b[2] = {uint8_t(size), uint8_t(size >> 8)};
    transcriptAdd(t, kind, b, kind == RecTransfer ? 2 : 0, atUs);
}

void transcriptWrite(const SimTranscript* t, const char* path, const char* title, bool times) {
    FILE* f = fopen(path, "w");
    if (f == nullptr) return;
    fprintf(f, "# %s\n", title);
    size_t at = 0;
    while (at + kRecordHead <= t->used) {
        const uint8_t* p = t->record + at;
        uint32_t length = uint32_t(p[1]) | uint32_t(p[2]) << 8;
        uint32_t us = 0;
        for (int i = 0; i < 4; ++i) us |= uint32_t(p[3 + i]) << (8 * i);
        const uint8_t* bytes = p + kRecordHead;
        switch (p[0]) {
        case RecControl: fputs("phase control", f); break;
        case RecTransfer:
            fprintf(f, "phase transfer %u", unsigned(bytes[0]) | unsigned(bytes[1]) << 8);
            break;
        default: {
            const char* tag = p[0] == RecTx ? "tx" : p[0] == RecRx ? "rx" : p[0] == RecFill ? "fill" : "part";
            fputs(tag, f);
            for (uint32_t i = 0; i < length; ++i) fprintf(f, " %02X", unsigned(bytes[i]));
            break;
        }
        }
        if (times) fprintf(f, " @%u.%03u", unsigned(us / 1000u), unsigned(us % 1000u));
        fputc('\n', f);
        at += kRecordHead + length;
    }
    if (t->dropped != 0) fprintf(f, "dropped %u\n", unsigned(t->dropped));
    fclose(f);
}
