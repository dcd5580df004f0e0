// The front end's output queue over a pipe whose reader stops: writing never
// waits, whole lines are dropped when the queue is full, and once the reader
// goes on one line says how many.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "ui/posix/output_queue.h"

// While set, every poll() leaves errno at ENOMEM, as a call that succeeds may.
static std::atomic<bool> pollSpoilsErrno{false};
extern "C" int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    using Poll = int (*)(pollfd*, nfds_t, int);
    static const Poll real = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
    const int r = real(fds, count, timeoutMs);
    if (pollSpoilsErrno.load()) errno = ENOMEM;
    return r;
}

namespace {

TEST(OutputQueue, DropsWholeLinesWhileNotReadAndSaysHowMany) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096); // the smallest pipe: it is full at once
    OutputQueue* q = outputQueueStart(fds[1], 8192, "dropped %lu\r\n");
    ASSERT_NE(q, nullptr);

    // Nobody reads: the writer thread is held up, the caller never is.
    std::string expected;
    const int kLines = 2000;
    for (int i = 0; i < kLines; ++i) {
        std::string line = "line " + std::to_string(i) + "\r\n";
        outputQueueWrite(q, line.data(), line.size());
    }

    std::mutex mutex;
    std::string got;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
            std::lock_guard<std::mutex> lock(mutex);
            got.append(buffer, size_t(n));
        }
    });
    auto seen = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        return got.find(text) != std::string::npos;
    };
    for (int i = 0; i < 500 && !seen("dropped"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    outputQueueWrite(q, "after\r\n", 7);
    EXPECT_TRUE(outputQueueFinish(q, 5000));
    close(fds[1]);
    reader.join();
    close(fds[0]);

    // The first lines in order, then the report, then what came after it.
    int kept = 0;
    std::string head;
    while (got.compare(head.size(), 5, "line ") == 0) {
        head += "line " + std::to_string(kept++) + "\r\n";
        ASSERT_EQ(got.compare(0, head.size(), head), 0) << got.substr(0, head.size() + 40);
    }
    EXPECT_GT(kept, 100);
    EXPECT_LT(kept, kLines);
    EXPECT_EQ(got.substr(head.size()),
              "dropped " + std::to_string(kLines - kept) + "\r\nafter\r\n");
}

// A full non-blocking pipe is waited for, not taken for a reader gone, whatever
// poll() leaves in errno after the failed write.
TEST(OutputQueue, AFullNonBlockingPipeIsWaitedForNotTakenAsGone) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    pollSpoilsErrno = true;
    OutputQueue* q = outputQueueStart(fds[1], 1 << 20, "dropped %lu\r\n");
    ASSERT_NE(q, nullptr);
    std::string expected, got;
    for (int i = 0; i < 3000; ++i) expected += "line " + std::to_string(i) + "\r\n";
    outputQueueWrite(q, expected.data(), expected.size());
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
            got.append(buffer, size_t(n));
    });
    EXPECT_TRUE(outputQueueFinish(q, 5000));
    close(fds[1]);
    reader.join();
    close(fds[0]);
    pollSpoilsErrno = false;
    EXPECT_EQ(got, expected);
}

} // namespace
