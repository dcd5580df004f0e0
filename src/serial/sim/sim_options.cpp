// The simulated console's options, parsed from its port name, and the packets
// it builds: control packets, transfer packets and the PC's fillers. The
// options and their meaning are listed in the README (The simulated console).
#include "serial/sim/sim_options.h"

#include <cstring>

namespace {

// Parses a whole decimal number of at most maxValue.
bool parseNumber(const char* text, size_t length, uint64_t maxValue, uint64_t* value) {
    if (length == 0 || length > 10) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + uint64_t(text[i] - '0');
    }
    if (v > maxValue) return false;
    *value = v;
    return true;
}

bool keyIs(const char* key, size_t length, const char* name) {
    return strlen(name) == length && memcmp(key, name, length) == 0;
}

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

} // namespace

bool simConsoleNamed(const char* name) {
    return name != nullptr && strncmp(name, "sim", 3) == 0 && (name[3] == '\0' || name[3] == ':');
}

bool simParseOptions(const char* name, SimOptions* options) {
    SimOptions o;
    o.size = 10;
    o.size2 = 0;
    o.packets = 60;
    o.frameMs = 16;
    o.starts = true;
    o.transfers = 1;
    o.silentAfter = 0;
    o.pauseMs = 0;
    o.seed = 1;
    o.helloMs = 1000;
    o.times = false;
    o.logPath[0] = '\0';
    if (name == nullptr || strncmp(name, "sim", 3) != 0) return false;
    const char* p = name + 3;
    if (*p == '\0') {
        *options = o;
        return true;
    }
    if (*p != ':') return false;
    ++p;
    if (*p == '\0') {
        *options = o;
        return true;
    }
    for (;;) {
        const char* end = strchr(p, ',');
        size_t itemLength = end != nullptr ? size_t(end - p) : strlen(p);
        const char* eq = static_cast<const char*>(memchr(p, '=', itemLength));
        if (eq == nullptr) return false;
        size_t keyLength = size_t(eq - p);
        const char* value = eq + 1;
        size_t valueLength = itemLength - keyLength - 1;
        uint64_t v = 0;
        if (keyIs(p, keyLength, "log")) {
            if (valueLength == 0 || valueLength >= sizeof o.logPath) return false;
            memcpy(o.logPath, value, valueLength);
            o.logPath[valueLength] = '\0';
        } else if (keyIs(p, keyLength, "size")) {
            if (!parseNumber(value, valueLength, kSimMaxSize, &v) || v < 2) return false;
            o.size = uint32_t(v);
        } else if (keyIs(p, keyLength, "size2")) {
            if (!parseNumber(value, valueLength, kSimMaxSize, &v) || v < 2) return false;
            o.size2 = uint32_t(v);
        } else if (keyIs(p, keyLength, "packets")) {
            if (!parseNumber(value, valueLength, 100000, &v) || v < 1) return false;
            o.packets = uint32_t(v);
        } else if (keyIs(p, keyLength, "frame")) {
            if (!parseNumber(value, valueLength, 20, &v) || (v != 16 && v != 20)) return false;
            o.frameMs = uint32_t(v);
        } else if (keyIs(p, keyLength, "start")) {
            if (!parseNumber(value, valueLength, 1, &v)) return false;
            o.starts = v == 1;
        } else if (keyIs(p, keyLength, "transfers")) {
            if (!parseNumber(value, valueLength, 10000, &v)) return false;
            o.transfers = uint32_t(v);
        } else if (keyIs(p, keyLength, "silent")) {
            if (!parseNumber(value, valueLength, 100000, &v)) return false;
            o.silentAfter = uint32_t(v);
        } else if (keyIs(p, keyLength, "pause")) {
            if (!parseNumber(value, valueLength, 600000, &v)) return false;
            o.pauseMs = uint32_t(v);
        } else if (keyIs(p, keyLength, "times")) {
            if (!parseNumber(value, valueLength, 1, &v)) return false;
            o.times = v == 1;
        } else if (keyIs(p, keyLength, "seed")) {
            if (!parseNumber(value, valueLength, 0xFFFFFFFFu, &v)) return false;
            o.seed = uint32_t(v);
        } else if (keyIs(p, keyLength, "hello")) {
            if (!parseNumber(value, valueLength, 60000, &v)) return false;
            o.helloMs = uint32_t(v);
        } else {
            return false;
        }
        if (end == nullptr) break;
        p = end + 1;
    }
    *options = o;
    return true;
}

uint8_t simChecksum(const uint8_t* bytes, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    return uint8_t(sum);
}

namespace {
void makeControl(uint8_t kind, uint8_t counter, uint8_t byte3, uint8_t byte4, uint8_t byte5,
                 uint8_t* out) {
    out[0] = 0xFD;
    out[1] = kind;
    out[2] = counter;
    out[3] = byte3;
    out[4] = byte4;
    out[5] = byte5;
    out[6] = 0;
    out[7] = simChecksum(out, 7);
}
} // namespace

void simMakeCPacket(uint8_t counter, uint32_t frameMs, uint8_t* out) {
    makeControl('C', counter, 0, 0, frameMs == 20 ? 1 : 0, out);
}

void simMakeSPacket(uint8_t counter, uint32_t size, uint8_t* out) {
    makeControl('S', counter, uint8_t(size - 2), 0, 0, out);
}

void simMakeAPacket(uint8_t counter, uint8_t byte4, uint8_t* out) {
    makeControl('A', counter, 0, byte4, 0, out);
}

void simMakeTransferPacket(uint32_t seed, bool starts, uint32_t transfer, uint32_t index,
                           uint32_t count, uint32_t size, uint8_t* out) {
    uint32_t state = mix(seed ^ (starts ? 0x9E3779B9u : 0x7F4A7C15u)) ^ mix(transfer + 0x1000u) ^
                     mix(index * 0x85EBCA6Bu + 1u);
    for (uint32_t i = 0; i + 2 < size; ++i) {
        state = mix(state + 0x6D2B79F5u);
        out[i] = uint8_t(state >> 8);
    }
    state = mix(state + 0x6D2B79F5u);
    // The high nibble of the flags is not looked at by the link: let it vary.
    out[size - 2] = uint8_t((state >> 12) & 0xF0) | (index + 1 == count ? 0x02 : 0x00);
    out[size - 1] = simChecksum(out, size - 1);
}

bool simIsFiller(const uint8_t* bytes, size_t count) {
    if (count < 2 || bytes[count - 2] != 4 || bytes[count - 1] != 4) return false;
    for (size_t i = 0; i + 2 < count; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}
