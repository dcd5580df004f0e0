// Datagrams, the console, the buttons, the timers and the clock's wrap, in any
// order.
#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runLinkScript(data, size, FuzzDatagrams | FuzzConsole | FuzzButtons);
    return 0;
}
