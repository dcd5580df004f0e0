// Datagrams read in every state of the link, also inside a console transfer.
#include "fuzz/fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    runLinkScript(data, size, FuzzDatagrams);
    return 0;
}
