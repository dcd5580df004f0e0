// The console write times, as the programs users run have them: none kept.
// The benchmark's build of zavik-headless links its own record in their place
// (bench/write_times.cpp); nothing else belongs in this file, so that the one
// given first is the one the linker takes.
#include <cstdint>

#include "serial/posix/device_posix.h"

void writeTimesOpen() {}

void writeTimesNote(int64_t) {}

void writeTimesSave() {}
