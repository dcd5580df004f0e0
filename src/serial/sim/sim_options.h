// The simulated console's options and packet builders, for the console itself
// and for the tests that play the PC's part against it. The options are those
// of the port name "sim:<options>"; the README lists them with their ranges
// and defaults.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kSimMaxSize = 257; // the largest size an S-packet can announce

struct SimOptions {
    uint32_t size;        // size=
    uint32_t size2;       // size2= (0: as size)
    uint32_t packets;     // packets=
    uint32_t frameMs;     // frame=
    bool starts;          // start=1
    uint32_t transfers;   // transfers=
    uint32_t silentAfter; // silent= (0: never)
    uint32_t pauseMs;     // pause= (0: silent for good)
    uint32_t seed;        // seed=
    uint32_t helloMs;     // hello= (0: once)
    bool times;           // times=1
    char logPath[256];    // log= (empty: no transcript)
};

// True when the port name selects the simulated console: "sim" or "sim:...".
bool simConsoleNamed(const char* name);

// Parses "sim" or "sim:key=value,...". False for anything not understood.
bool simParseOptions(const char* name, SimOptions* options);

// 8-bit sum of the bytes.
uint8_t simChecksum(const uint8_t* bytes, size_t count);

// The console's control packets (8 bytes each). counter goes into byte 2.
void simMakeCPacket(uint8_t counter, uint32_t frameMs, uint8_t* out);
void simMakeSPacket(uint8_t counter, uint32_t size, uint8_t* out);
void simMakeAPacket(uint8_t counter, uint8_t byte4, uint8_t* out);

// Transfer packet `index` (0-based) of `count` for a console with these seed and
// role in its `transfer`-th transfer (0-based): size bytes of contents, flags
// (low nibble 2 on the last packet, else 0) and checksum.
void simMakeTransferPacket(uint32_t seed, bool starts, uint32_t transfer, uint32_t index,
                           uint32_t count, uint32_t size, uint8_t* out);

// A filler as the PC writes it: zeros, then 4, 4.
bool simIsFiller(const uint8_t* bytes, size_t count);
