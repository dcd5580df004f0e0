// The console write times the benchmark reads (link_bench.py), linked into
// zavik-headless-timed in place of the record that keeps nothing
// (src/serial/posix/write_times_none.cpp), so the programs users run carry
// none of it. When the environment
// names a file in ZAVIK_WRITE_TIMES as a port opens, each write to the console
// is noted in a fixed table as it starts, and the table is added to the file as
// the port closes, a line per write: the monotonic time in nanoseconds, and
// lastWriteTime as the write began (the clock value of the write before, which
// the frame rule measures from). Without the variable nothing is kept and a
// write costs one test of a flag.
//
// It reads the link state, which the device layer below the core may not: this
// file belongs to the benchmark's program, at the top.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "core/link_lock.h"
#include "core/link_state.h"
#include "serial/posix/device_posix.h"

namespace {

constexpr uint32_t kMaxTimes = 16384; // beyond this, later writes are not kept

const char* timesPath = nullptr; // read at open, on the window thread
std::atomic<bool> recording{false};
struct WriteTime {
    int64_t ns;
    uint32_t lastWriteTime;
};
WriteTime times[kMaxTimes];      // written by the port thread only
std::atomic<uint32_t> timesKept{0};

} // namespace

void writeTimesOpen() {
    timesPath = getenv("ZAVIK_WRITE_TIMES");
    timesKept.store(0);
    recording.store(timesPath != nullptr && timesPath[0] != '\0');
}

void writeTimesNote(int64_t ns) {
    if (!recording.load(std::memory_order_relaxed)) return;
    uint32_t n = timesKept.load(std::memory_order_relaxed);
    if (n == kMaxTimes) return;
    times[n].ns = ns;
    {
        LinkLock lock; // a delivery holds it already, a filler does not
        times[n].lastWriteTime = linkState.lastWriteTime;
    }
    timesKept.store(n + 1, std::memory_order_release);
}

// After the port thread has ended.
void writeTimesSave() {
    if (!recording.exchange(false)) return;
    int fd = open(timesPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const uint32_t n = timesKept.load(std::memory_order_acquire);
    char line[48];
    for (uint32_t i = 0; i < n; ++i) {
        int len = snprintf(line, sizeof line, "%lld %lu\n", static_cast<long long>(times[i].ns),
                           static_cast<unsigned long>(times[i].lastWriteTime));
        if (write(fd, line, size_t(len)) != len) break;
    }
    close(fd);
}
