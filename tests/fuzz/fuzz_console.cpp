// The console's side: its bytes and line events, capture, delivery and the
// tracking of its transfers, with reads and writes that fall short or fail.
#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runLinkScript(data, size, FuzzConsole);
    return 0;
}
