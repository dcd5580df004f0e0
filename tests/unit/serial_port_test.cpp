#include "serial/serial_port.h"

#include "core/console.h"
#include "doubles/fakes.h"
#include "os/system.h"
#include "ui/panel.h"

namespace {

bool operator==(const CommTimeouts& a, const CommTimeouts& b) {
    return a.readIntervalTimeout == b.readIntervalTimeout &&
           a.readTotalTimeoutMultiplier == b.readTotalTimeoutMultiplier &&
           a.readTotalTimeoutConstant == b.readTotalTimeoutConstant &&
           a.writeTotalTimeoutMultiplier == b.writeTotalTimeoutMultiplier &&
           a.writeTotalTimeoutConstant == b.writeTotalTimeoutConstant;
}

const CommTimeouts kDevice{1, 2, 3, 4, 5}; // what the fake device starts with
const CommTimeouts kLink{5, 0, 10, 0, 30};

int idleThread() { return 0; }

TEST_F(LinkTest, OpenSerialPortConfiguresAndStoresTheHandle) {
    copyText(linkState.serialPortName, sizeof linkState.serialPortName, "COM2");
    linkState.baudRate = 57600;
    fakeSerial.line = {9600, 7, 2, 1};
    EXPECT_EQ(openSerialPort(), 1);
    EXPECT_EQ(fakeWindow.log, "Opening serial port COM2 ...success\r\n");
    EXPECT_EQ(fakeSerial.opened, (std::vector<std::string>{"COM2"}));
    EXPECT_EQ(fakeSerial.queueIn, 1200u);
    EXPECT_EQ(fakeSerial.queueOut, 1200u);
    EXPECT_EQ(fakeSerial.line.baudRate, 57600u);
    EXPECT_EQ(fakeSerial.line.byteSize, 8);
    EXPECT_EQ(fakeSerial.line.parity, 0);
    EXPECT_EQ(fakeSerial.line.stopBits, 0);
    EXPECT_TRUE(linkState.savedTimeouts == kDevice);
    ASSERT_EQ(fakeSerial.timeoutWrites.size(), 1u);
    EXPECT_TRUE(fakeSerial.timeoutWrites[0] == kLink);
    EXPECT_NE(linkState.serialPort, nullptr);
}

TEST_F(LinkTest, OpenSerialPortSaysOnceHowLineChangesAreLearnt) {
    fakeSerial.lineMethod = "polled every ms";
    EXPECT_EQ(openSerialPort(), 1);
    EXPECT_EQ(fakeWindow.log, "Opening serial port COM1 ...success\r\nLine changes polled every ms\r\n");
}

TEST_F(LinkTest, OpenSerialPortFailureLeavesNothingOpen) {
    fakeSerial.openFails = true;
    fakeSerial.openError = 5;
    copyText(linkState.serialPortName, sizeof linkState.serialPortName, "COM3");
    EXPECT_EQ(openSerialPort(), 0);
    EXPECT_EQ(fakeWindow.log, "Opening serial port COM3 ...failed (error #5).\r\n");
    EXPECT_EQ(linkState.serialPort, nullptr);
    EXPECT_TRUE(fakeSerial.timeoutWrites.empty());
    EXPECT_EQ(fakeSerial.queueIn, 0u);

    closeSerialPort();
    EXPECT_EQ(fakeWindow.log, "Opening serial port COM3 ...failed (error #5).\r\n");
    EXPECT_EQ(fakeSerial.closes, 0);
}

TEST_F(LinkTest, CloseLinkWithNothingOpenDoesNothing) {
    closeLink();
    EXPECT_EQ(fakeWindow.allLog, "");
    EXPECT_EQ(fakeSerial.closes, 0);
    EXPECT_FALSE(fakeSerial.endWaitsCalled);
    EXPECT_TRUE(fakeNet.closed.empty());
}

TEST_F(LinkTest, ReopeningRestoresAndSavesTheDevicesOwnTimeouts) {
    ASSERT_EQ(openSerialPort(), 1);
    closeSerialPort();
    EXPECT_EQ(fakeSerial.closes, 1);
    EXPECT_EQ(linkState.serialPort, nullptr);
    EXPECT_TRUE(fakeSerial.timeouts == kDevice) << "the device's time-outs are back";
    EXPECT_EQ(fakeSerial.line.baudRate, 115200u) << "the line settings stay";
    ASSERT_EQ(openSerialPort(), 1);
    EXPECT_TRUE(linkState.savedTimeouts == kDevice);
    ASSERT_EQ(fakeSerial.timeoutWrites.size(), 3u);
    EXPECT_TRUE(fakeSerial.timeoutWrites[1] == kDevice);
    EXPECT_TRUE(fakeSerial.timeoutWrites[2] == kLink);
    EXPECT_EQ(fakeWindow.log,
              "Opening serial port COM1 ...success\r\n"
              "Closing serial port\r\n"
              "Opening serial port COM1 ...success\r\n");
}

TEST_F(LinkTest, CloseLinkEndsThePortThreadBeforeClosing) {
    ASSERT_EQ(openSerialPort(), 1);
    linkState.udpSocket = 42;
    linkState.portThread = threadStart(idleThread);
    fakeSystem.threadWaitsRunning = 3;
    fakeWindow.log.clear();

    closeLink();
    EXPECT_EQ(fakeWindow.log, "Closing socket\r\nClosing serial port\r\n");
    EXPECT_EQ(fakeNet.closed, (std::vector<uintptr_t>{42}));
    EXPECT_EQ(fakeSystem.threadWaits, 4) << "waits until the thread has ended";
    EXPECT_EQ(fakeSystem.threadReleases, 1);
    EXPECT_FALSE(fakeSystem.releasedRunning);
    EXPECT_TRUE(fakeSystem.waitsEndedAtThreadEnd);
    EXPECT_TRUE(fakeSystem.portOpenAtThreadEnd) << "the port closes after the thread ends";
    EXPECT_EQ(linkState.portThread, nullptr);
    EXPECT_EQ(linkState.serialPort, nullptr);
    EXPECT_EQ(fakeSerial.closes, 1);

    // A second close finds nothing left to close.
    closeLink();
    EXPECT_EQ(fakeSerial.closes, 1);
    EXPECT_EQ(fakeSystem.threadReleases, 1);
}

TEST_F(LinkTest, CloseLinkGoesOnWithoutAPortThreadThatDoesNotEnd) {
    ASSERT_EQ(openSerialPort(), 1);
    linkState.portThread = threadStart(idleThread);
    fakeSystem.threadWaitsRunning = 100000; // stuck in the device
    fakeWindow.log.clear();
    const uint32_t start = clockMs();

    closeLink();
    EXPECT_EQ(fakeWindow.log, "WARN: Port thread did not end, serial port not closed\r\n");
    EXPECT_GE(clockMs() - start, 3000u);
    EXPECT_LE(clockMs() - start, 3001u);
    EXPECT_EQ(fakeSystem.threadReleases, 0) << "a running thread is not released";
    EXPECT_EQ(fakeSerial.closes, 0) << "nor is its port closed under it";
    EXPECT_EQ(linkState.portThread, nullptr);
    EXPECT_EQ(linkState.serialPort, nullptr);

    // When it ends at last, it puts the time-outs back and closes its port.
    portThreadEnded(fakeSerial.portsEnding.at(0));
    EXPECT_EQ(fakeSerial.closes, 1);
    EXPECT_TRUE(fakeSerial.timeoutWrites.back() == kDevice);
}

TEST_F(LinkTest, QueryCommErrorsReadsAndClearsTheLineErrors) {
    ASSERT_EQ(openSerialPort(), 1);
    fakeSerial.errors = CeFrame | CeRxParity;
    EXPECT_EQ(queryCommErrors(linkState.serialPort), 12u);
    EXPECT_EQ(queryCommErrors(linkState.serialPort), 0u);
    EXPECT_EQ(fakeSerial.clearErrorCalls, 2);
}

} // namespace
