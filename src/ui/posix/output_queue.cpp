// The output queue: a ring of bytes filled by the window thread and emptied by
// the queue's writer thread, which alone calls write(2) and may block there.
//
// Lines are kept or dropped whole. A line is dropped when it begins while the
// ring is nearly full (less than kLineRoom free); a line already begun is kept
// as long as the ring has room for it. From a dropped line on, everything is
// dropped up to a line's end at which the ring is at most half full again: the
// report of the dropped lines is queued there (or by the writer, when no more
// text comes), and the output goes on.
#include "ui/posix/output_queue.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {
constexpr size_t kLineRoom = 2048; // room a new line needs to be kept
} // namespace

struct OutputQueue {
    int fd;
    size_t capacity;
    char* ring;
    size_t head = 0;  // next byte to write out
    size_t count = 0; // bytes queued
    uint64_t written = 0;
    bool dropping = false;
    bool atLineStart = true; // the text given so far ends a line
    bool queuedLineEnds = true; // the text queued so far ends a line
    unsigned long dropped = 0;
    const char* droppedFormat;
    bool broken = false; // the reader is gone: nothing more is queued
    bool stopping = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::thread writer;

    void put(const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i) ring[(head + count + i) % capacity] = text[i];
        count += length;
        if (length > 0) queuedLineEnds = text[length - 1] == '\n';
    }

    // Back from dropping, where the ring has room again and a line begins (or
    // the queue is being finished).
    void resumeIfRoom() {
        if (!dropping || count > capacity / 2 || !(atLineStart || stopping)) return;
        char line[160];
        int n = std::snprintf(line, sizeof line, droppedFormat, dropped);
        if (n < 0) n = 0;
        if (size_t(n) >= sizeof line) n = int(sizeof line - 1);
        if (!queuedLineEnds) put("\r\n", 2); // a line cut short ends here
        put(line, size_t(n));
        dropping = false;
        dropped = 0;
        changed.notify_all();
    }

    void accept(const char* text, size_t length) {
        while (length > 0) {
            if (dropping) {
                const void* end = std::memchr(text, '\n', length);
                if (end == nullptr) {
                    atLineStart = false;
                    return;
                }
                const size_t taken = size_t(static_cast<const char*>(end) - text) + 1;
                text += taken;
                length -= taken;
                ++dropped;
                atLineStart = true;
                resumeIfRoom();
                continue;
            }
            const void* end = std::memchr(text, '\n', length);
            const size_t piece =
                end == nullptr ? length : size_t(static_cast<const char*>(end) - text) + 1;
            const size_t room = capacity - count;
            if ((atLineStart && room < kLineRoom) || piece > room) {
                dropping = true; // this line, from its start or from here on
                continue;
            }
            put(text, piece);
            changed.notify_all();
            atLineStart = end != nullptr;
            text += piece;
            length -= piece;
        }
    }

    void writeOut() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr); // signals are the window thread's
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return count > 0 || stopping; });
            if (count == 0 && stopping) {
                resumeIfRoom();
                if (count == 0) return;
            }
            const size_t chunk = count < capacity - head ? count : capacity - head;
            const char* from = ring + head;
            lock.unlock();
            ssize_t n = write(fd, from, chunk);
            const int error = n < 0 ? errno : 0; // before poll and the lock touch errno
            if (n < 0 && error == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
            }
            lock.lock();
            if (n < 0 && error != EINTR && error != EAGAIN) {
                broken = true; // no reader any more: drop what waits and what comes
                count = 0;
            } else if (n > 0) {
                head = (head + size_t(n)) % capacity;
                count -= size_t(n);
                written += uint64_t(n);
                resumeIfRoom();
            }
            changed.notify_all();
        }
    }
};

OutputQueue* outputQueueStart(int fd, size_t capacity, const char* droppedFormat) {
    if (capacity < 2 * kLineRoom) capacity = 2 * kLineRoom;
    OutputQueue* q = new OutputQueue;
    q->fd = fd;
    q->capacity = capacity;
    q->ring = new char[capacity];
    q->droppedFormat = droppedFormat;
    q->writer = std::thread([q] { q->writeOut(); });
    return q;
}

void outputQueueWrite(OutputQueue* q, const char* text, size_t length) {
    if (q == nullptr) return;
    std::lock_guard<std::mutex> lock(q->mutex);
    if (q->broken || q->stopping) return;
    q->accept(text, length);
}

bool outputQueueFinish(OutputQueue* q, uint32_t idleMs) {
    if (q == nullptr) return true;
    bool drained;
    {
        std::unique_lock<std::mutex> lock(q->mutex);
        q->stopping = true; // nothing more is queued; a report of dropped lines still is
        q->resumeIfRoom();
        for (;;) {
            const uint64_t before = q->written;
            if (q->changed.wait_for(lock, std::chrono::milliseconds(idleMs),
                                    [q] { return q->count == 0 && !q->dropping; })) {
                break;
            }
            if (q->written == before) break; // the reader took nothing for idleMs
        }
        drained = q->count == 0 && !q->dropping && !q->broken;
    }
    q->changed.notify_all();
    if (!drained) {
        // The writer may be held in write(2) by its reader: it ends with the process.
        q->writer.detach();
        return false;
    }
    q->writer.join();
    delete[] q->ring;
    delete q;
    return true;
}
