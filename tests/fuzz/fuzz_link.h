// What the fuzz targets share: an input read as a script of operations on the
// link (datagrams from the peer and from others, the console's bytes and line
// events, reads and writes that fall short or fail, the buttons, the timers and
// the clock), run against the test doubles, with the link's invariants checked
// after every operation. Each target lets its script use some of the operations.
#pragma once

#include <cstddef>
#include <cstdint>

enum FuzzOperations : unsigned {
    FuzzDatagrams = 1, // datagrams read in the state the script set up
    FuzzConsole = 2,   // console bytes, line events, short and failed reads and writes
    FuzzButtons = 4,   // Listen, Connect, Cancel, Disconnect, Settings, close, a lost port
};

// Runs one input; aborts (a finding) when an invariant does not hold.
void runLinkScript(const uint8_t* data, size_t size, unsigned operations);
