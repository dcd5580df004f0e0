// A front end's output to a file descriptor (standard output, standard error)
// that never holds up the window thread: writing only queues the text, in
// order, in a buffer of a fixed size, and a thread of the queue's own writes it
// out. When the reader does not keep up and the buffer is full, whole lines are
// dropped; once the reader takes the output again, one line says how many.
#pragma once

#include <cstddef>
#include <cstdint>

struct OutputQueue;

// Starts a queue for fd holding up to capacity bytes. droppedFormat is the line
// that reports dropped lines, with one %lu for their number. Null on failure.
OutputQueue* outputQueueStart(int fd, size_t capacity, const char* droppedFormat);

// Queues text; never waits for the reader.
void outputQueueWrite(OutputQueue* queue, const char* text, size_t length);

// Waits for what is queued to be written, for as long as the reader takes some
// of it at least every idleMs, then ends the queue. Returns whether everything
// was written. A writer still held up by its reader is left to the end of the
// process.
bool outputQueueFinish(OutputQueue* queue, uint32_t idleMs);
