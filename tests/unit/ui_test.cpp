// The panel, the Settings and Connect dialogs, the link start and the shutdown,
// driven through the widget double as a user would drive the window.
#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "core/link_lock.h"
#include "core/link_state.h"
#include "core/log.h"
#include "core/port_lost.h"
#include "core/protocol.h"
#include "doubles/fake_widgets.h"
#include "doubles/fakes.h"
#include "os/system.h"
#include "os/udp.h"
#include "serial/port_thread.h"
#include "ui/dialog_number.h"
#include "ui/panel.h"
#include "ui/resource.h"

namespace {

using Edit = std::function<void(DialogWindow&)>;

class Ui : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        resetFakeWidgets();
    }

    // A normal start of the panel, with the log emptied afterwards.
    void start() {
        ASSERT_EQ(initPanel(), 1);
        fakeWindow.log.clear();
        fakeWindow.effects.clear();
    }

    // Started, then a link started through Settings... as it opens.
    void startLinked() {
        start();
        acceptSettings();
    }

    // Settings..., the user's edits, OK (and Cancel if the dialog stays open).
    void acceptSettings(const Edit& edit = nullptr) {
        fakeWidgets.onSettingsDialog = [edit](DialogWindow& d) {
            if (edit) edit(d);
            settingsDialogOk(&d);
        };
        EXPECT_TRUE(panelCommand(IDC_SETTINGS));
    }

    void acceptConnect(const std::string& address, const std::string& port) {
        fakeWidgets.onConnectDialog = [address, port](DialogWindow& d) {
            d.type(IDC_REMOTE_ADDRESS, address);
            d.type(IDC_REMOTE_PORT, port);
            connectDialogOk(&d);
        };
        EXPECT_TRUE(panelCommand(IDC_CONNECT));
    }

    // Opens a dialog and cancels it: the dialog as it was shown.
    static DialogWindow& shown(int command) {
        fakeWidgets.onSettingsDialog = nullptr;
        fakeWidgets.onConnectDialog = nullptr;
        panelCommand(command);
        return fakeWidgets.lastDialog;
    }

    static bool enabled(PanelButton b) { return fakeWindow.buttons[b].enabled; }
};

uint32_t address(const char* text) { return netParseAddress(text); }

} // namespace

TEST(DialogNumber, ReadsAsGetDlgItemIntDoes) {
    struct Case {
        const char* text;
        bool isSigned;
        int ok;
        uint32_t value;
    };
    const Case cases[] = {
        {"0", false, 1, 0},
        {" 42\t ", false, 1, 42},
        {"4294967295", false, 1, 4294967295u},
        {"4294967296", false, 0, 0}, // one past 32 bits
        {"99999999999", false, 0, 0},
        {"", false, 0, 0},
        {"   ", false, 0, 0},
        {"12a", false, 0, 0},
        {"1 2", false, 0, 0},
        {"-5", false, 0, 0}, // no sign without the signed flag
        {"+5", false, 0, 0},
        {"-2", true, 1, uint32_t(-2)},
        {"+2", true, 1, 2},
        {" -0 ", true, 1, 0},
        {"- 5", true, 0, 0},
        {"-", true, 0, 0},
        {"2147483647", true, 1, 2147483647u},
        {"2147483648", true, 0, 0},
        {"-2147483648", true, 1, 0x80000000u},
        {"-2147483649", true, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t value = 77;
        EXPECT_EQ(parseDialogNumber(c.text, c.isSigned, &value), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

TEST_F(Ui, InitPanelStartsWinsockTheEventAndTheDefaults) {
    fakeNet.hostAddresses = {address("10.0.0.9"), address("10.0.0.1")};
    // Values that the defaults must replace.
    linkState.localPort = 1;
    linkState.remotePort = 2;
    linkState.framePeriodMs = 16;
    linkState.vsyncAdjustIndex = 0;
    copyText(linkState.serialPortName, sizeof linkState.serialPortName, "/dev/x");
    linkState.portWaitMs = 20;
    linkState.psxSendFlag = false;
    linkState.baudRate = 9600;

    ASSERT_EQ(initPanel(), 1);
    EXPECT_EQ(fakeWindow.log,
              "Initializing  WinSock...success\r\nInitializing packet event...success\r\n");
    EXPECT_EQ(fakeSystem.eventsCreated, 1);
    EXPECT_NE(linkState.packetEvent, nullptr);
    EXPECT_STREQ(linkState.localIp, "10.0.0.9");
    EXPECT_EQ(linkState.localPort, 3975);
    EXPECT_EQ(linkState.remotePort, 3975);
    EXPECT_EQ(linkState.framePeriodMs, 20);
    EXPECT_EQ(linkState.vsyncAdjustIndex, 2);
    EXPECT_STREQ(linkState.serialPortName, "COM1");
    EXPECT_EQ(linkState.portWaitMs, 1);
    EXPECT_TRUE(linkState.psxSendFlag);
    EXPECT_EQ(linkState.baudRate, 115200u);
    EXPECT_STREQ(linkState.remoteIp, "");
    EXPECT_EQ(linkState.vsyncAdjustMs, 0);
    EXPECT_FALSE(linkState.highPriority);
    // Only Settings... can be pressed.
    EXPECT_TRUE(enabled(SettingsButton));
    EXPECT_FALSE(enabled(ConnectButton));
    EXPECT_FALSE(enabled(ListenButton));
}

TEST_F(Ui, InitPanelFailuresLeaveSettingsDisabledAndTheDefaultsUnassigned) {
    // WinSock does not start: no event, no defaults.
    fakeNet.startupResult = 10091;
    linkState.localPort = 1;
    EXPECT_EQ(initPanel(), 0);
    EXPECT_EQ(fakeWindow.log, "Initializing  WinSock...WSAStartup() failed (error 10091).\r\n");
    EXPECT_EQ(fakeSystem.eventsCreated, 0);
    EXPECT_EQ(linkState.packetEvent, nullptr);
    EXPECT_EQ(linkState.localPort, 1);
    EXPECT_FALSE(enabled(SettingsButton));

    // The event cannot be created.
    resetFakes();
    fakeSystem.eventCreateFails = true;
    fakeSystem.lastError = 8;
    linkState.localPort = 1;
    EXPECT_EQ(initPanel(), 0);
    EXPECT_EQ(fakeWindow.log, "Initializing  WinSock...success\r\n"
                              "Initializing packet event...CreateEvent() failed (error #8).\r\n");
    EXPECT_EQ(linkState.localPort, 1);
    EXPECT_STREQ(linkState.localIp, "");
    EXPECT_FALSE(enabled(SettingsButton));

    // Shutting down after either failure closes no event and still ends WinSock.
    shutdownProgram();
    EXPECT_EQ(fakeSystem.eventsClosed, 0);
    EXPECT_EQ(fakeNet.cleanups, 1);
    EXPECT_EQ(fakeWindow.log.find("Closing"), std::string::npos);
}

TEST_F(Ui, SettingsDialogShowsTheFirstLocalAddressAndTheLastAcceptedValues) {
    fakeNet.hostAddresses = {address("10.0.0.9"), address("10.0.0.1")};
    start();

    DialogWindow d = shown(IDC_SETTINGS);
    EXPECT_EQ(d.at(IDC_LOCAL_ADDRESS).items, (std::vector<std::string>{"10.0.0.9", "10.0.0.1"}));
    EXPECT_EQ(d.at(IDC_LOCAL_ADDRESS).text, "10.0.0.9");
    EXPECT_EQ(d.at(IDC_LOCAL_PORT).text, "3975");
    EXPECT_EQ(d.at(IDC_SERIAL_PORT).items,
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(d.at(IDC_SERIAL_PORT).text, "COM1");
    EXPECT_EQ(d.at(IDC_PORT_SPEED).items,
              (std::vector<std::string>{"115200", "57600", "19200", "9600"}));
    EXPECT_EQ(d.at(IDC_PORT_SPEED).text, "115200");
    EXPECT_EQ(d.at(IDC_VSYNC_ADJUST).items,
              (std::vector<std::string>{"-2", "-1", "0", "1", "2"}));
    EXPECT_EQ(d.at(IDC_VSYNC_ADJUST).selected, 2);
    EXPECT_FALSE(d.at(IDC_INCREASE_PORT_TIME).checked);
    EXPECT_FALSE(d.at(IDC_HIGH_PRIORITY).checked);
    EXPECT_TRUE(d.ended);
    EXPECT_TRUE(fakeSerial.opened.empty()); // Cancel starts nothing

    acceptSettings([](DialogWindow& dlg) {
        dlg.type(IDC_LOCAL_ADDRESS, "10.0.0.1");
        dlg.type(IDC_LOCAL_PORT, "4000");
        dlg.pick(IDC_SERIAL_PORT, 2);
        dlg.pick(IDC_VSYNC_ADJUST, 0);
        dlg.tick(IDC_INCREASE_PORT_TIME, true);
        dlg.tick(IDC_HIGH_PRIORITY, true);
    });
    EXPECT_STREQ(linkState.localIp, "10.0.0.1");
    EXPECT_EQ(linkState.localPort, 4000);
    EXPECT_STREQ(linkState.serialPortName, "COM3");
    EXPECT_EQ(linkState.baudRate, 115200u); // the speed's text read back
    EXPECT_EQ(linkState.vsyncAdjustMs, -2);
    EXPECT_EQ(linkState.vsyncAdjustIndex, 0);
    EXPECT_EQ(linkState.portWaitMs, 20);
    EXPECT_TRUE(linkState.highPriority);

    d = shown(IDC_SETTINGS);
    EXPECT_EQ(d.at(IDC_LOCAL_ADDRESS).text, "10.0.0.9"); // the first again
    EXPECT_EQ(d.at(IDC_LOCAL_PORT).text, "4000");
    EXPECT_EQ(d.at(IDC_SERIAL_PORT).selected, 2);
    EXPECT_EQ(d.at(IDC_VSYNC_ADJUST).selected, 0);
    EXPECT_TRUE(d.at(IDC_INCREASE_PORT_TIME).checked);
    EXPECT_TRUE(d.at(IDC_HIGH_PRIORITY).checked);

    // Whatever the speed field holds is read back, the vsync entry's text too.
    acceptSettings([](DialogWindow& dlg) {
        dlg.type(IDC_PORT_SPEED, "57600");
        dlg.pick(IDC_VSYNC_ADJUST, 4);
        dlg.tick(IDC_INCREASE_PORT_TIME, false);
    });
    EXPECT_EQ(linkState.baudRate, 57600u);
    EXPECT_EQ(linkState.vsyncAdjustMs, 2);
    EXPECT_EQ(linkState.portWaitMs, 1);
}

TEST_F(Ui, SettingsPortMustBeOneTo49999) {
    struct Case {
        const char* text;
        int port; // 0: refused
    };
    const Case cases[] = {{"0", 0},          {"1", 1},   {"49999", 49999}, {"50000", 0},
                          {"65536", 0},      {"4294967297", 0}, {"1234567890", 0},
                          {"port", 0},       {"", 0},    {" 80 ", 80}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SetUp();
        start();
        acceptSettings([&c](DialogWindow& d) {
            d.type(IDC_LOCAL_ADDRESS, "127.0.0.2");
            d.type(IDC_LOCAL_PORT, c.text);
        });
        EXPECT_STREQ(linkState.localIp, "127.0.0.2");
        if (c.port == 0) {
            EXPECT_EQ(fakeWidgets.errorBoxes, std::vector<std::string>{"Valid socket port required"});
            EXPECT_EQ(linkState.localPort, 3975); // not stored
            EXPECT_TRUE(fakeSerial.opened.empty());
            EXPECT_EQ(fakeWindow.log, "");
        } else {
            EXPECT_TRUE(fakeWidgets.errorBoxes.empty());
            EXPECT_EQ(linkState.localPort, c.port);
            ASSERT_EQ(fakeNet.binds.size(), 1u);
            EXPECT_EQ(fakeNet.binds[0].port, netToNetworkPort(uint16_t(c.port)));
        }
    }
}

TEST_F(Ui, SettingsAddressIsCheckedFirstAndStoredEvenWhenRefused) {
    start();
    // Both wrong: only the address is reported; the port is not even read.
    acceptSettings([](DialogWindow& d) {
        d.type(IDC_LOCAL_ADDRESS, "255.255.255.255");
        d.type(IDC_LOCAL_PORT, "0");
    });
    EXPECT_EQ(fakeWidgets.errorBoxes, std::vector<std::string>{"Valid local IP required"});
    EXPECT_STREQ(linkState.localIp, "255.255.255.255");

    // A valid port after a refused address is not stored either.
    fakeWidgets.errorBoxes.clear();
    acceptSettings([](DialogWindow& d) {
        d.type(IDC_LOCAL_ADDRESS, "no.such.host");
        d.type(IDC_LOCAL_PORT, "1234");
        d.pick(IDC_SERIAL_PORT, 3);
    });
    EXPECT_EQ(fakeWidgets.errorBoxes, std::vector<std::string>{"Valid local IP required"});
    EXPECT_STREQ(linkState.localIp, "no.such.host");
    EXPECT_EQ(linkState.localPort, 3975);
    EXPECT_STREQ(linkState.serialPortName, "COM1");
    EXPECT_TRUE(fakeSerial.opened.empty());

    // A long entry is cut to 19 characters; an address not in the list is taken.
    acceptSettings([](DialogWindow& d) { d.type(IDC_LOCAL_ADDRESS, "1234567890123456789012"); });
    EXPECT_STREQ(linkState.localIp, "1234567890123456789");
    fakeWidgets.errorBoxes.clear();
    acceptSettings([](DialogWindow& d) { d.type(IDC_LOCAL_ADDRESS, "192.0.2.7"); });
    EXPECT_TRUE(fakeWidgets.errorBoxes.empty());
    ASSERT_EQ(fakeNet.binds.size(), 1u);
    EXPECT_EQ(fakeNet.binds[0].address, address("192.0.2.7"));
}

TEST_F(Ui, SerialDevicePathIsKeptWhole) {
    start();
    const std::string path = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    acceptSettings([&path](DialogWindow& d) { d.type(IDC_SERIAL_PORT, path); });
    EXPECT_STREQ(linkState.serialPortName, path.c_str());
    ASSERT_EQ(fakeSerial.opened.size(), 1u);
    EXPECT_EQ(fakeSerial.opened[0], path);
}

TEST_F(Ui, IncreasePortTimeGreysTheGroupsEvenWhenThePortFails) {
    start();
    fakeSerial.openFails = true;
    acceptSettings([](DialogWindow& d) { d.tick(IDC_INCREASE_PORT_TIME, true); });
    EXPECT_EQ(linkState.portWaitMs, 20);
    EXPECT_EQ(fakeWidgets.enables, (std::vector<std::pair<int, bool>>{
                                       {IDC_LOCAL_GROUP, false},
                                       {IDC_REMOTE_GROUP, false},
                                       {IDC_STATUS_GROUP, false}}));
    EXPECT_EQ(fakeWindow.log, "Opening serial port COM1 ...failed (error #2).\r\n");
    EXPECT_EQ(fakeSystem.threadsStarted, 0);
    EXPECT_EQ(fakeNet.binds.size(), 0u);
    EXPECT_FALSE(enabled(ConnectButton));
    EXPECT_FALSE(enabled(ListenButton));

    fakeWidgets.enables.clear();
    acceptSettings([](DialogWindow& d) { d.tick(IDC_INCREASE_PORT_TIME, false); });
    EXPECT_EQ(linkState.portWaitMs, 1);
    EXPECT_EQ(fakeWidgets.enables, (std::vector<std::pair<int, bool>>{
                                       {IDC_LOCAL_GROUP, true},
                                       {IDC_REMOTE_GROUP, true},
                                       {IDC_STATUS_GROUP, true}}));
}

TEST_F(Ui, StartSequenceOpensEverythingSetsPrioritiesAndEnablesTheButtons) {
    startLinked();
    EXPECT_EQ(fakeWindow.log,
              "Opening serial port COM1 ...success\r\n"
              "Opening UDP socket ...success\r\n"
              "Binding socket to 127.0.0.1:3975 ...success\r\n"
              "Starting port thread...success\r\n");
    EXPECT_TRUE(fakeWidgets.lastDialog.ended);
    EXPECT_EQ(fakeWidgets.lastDialog.endResult, 0);
    EXPECT_EQ(fakeNet.arms, 1);
    EXPECT_EQ(fakeSystem.threadsStarted, 1);
    EXPECT_NE(linkState.portThread, nullptr);
    EXPECT_EQ(fakeSystem.processHigh, std::vector<bool>{false});
    EXPECT_EQ(fakeSystem.threadPriorities, std::vector<int>{ThreadPriorityHighest});
    // Connect, then Listen, after the last log line.
    ASSERT_GE(fakeWindow.effects.size(), 2u);
    EXPECT_EQ(fakeWindow.effects[fakeWindow.effects.size() - 2], "enable:1:1");
    EXPECT_EQ(fakeWindow.effects.back(), "enable:2:1");

    // Accepted again: the old link is closed first; High Priority swaps the levels.
    fakeWindow.log.clear();
    acceptSettings([](DialogWindow& d) { d.tick(IDC_HIGH_PRIORITY, true); });
    EXPECT_EQ(fakeWindow.log.rfind("Closing socket\r\nClosing serial port\r\nOpening serial port", 0),
              0u);
    EXPECT_EQ(fakeSystem.threadWaits, 1); // the old port thread ended first
    EXPECT_EQ(fakeSystem.processHigh, (std::vector<bool>{false, true}));
    EXPECT_EQ(fakeSystem.threadPriorities,
              (std::vector<int>{ThreadPriorityHighest, ThreadPriorityNormal}));
}

TEST_F(Ui, FailedStartStepsStopThereAndLeaveConnectAndListenDisabled) {
    start();
    fakeNet.socketFails = true;
    fakeNet.lastError = 10047;
    acceptSettings();
    EXPECT_EQ(fakeWindow.log, "Opening serial port COM1 ...success\r\n"
                              "Opening UDP socket ...failed (error #10047).\r\n");
    EXPECT_TRUE(fakeSerial.isOpen);
    EXPECT_EQ(fakeSystem.threadsStarted, 0);
    EXPECT_FALSE(enabled(ConnectButton));

    // The next acceptance closes what the failed one left open.
    fakeNet.socketFails = false;
    fakeNet.armFails = true;
    fakeNet.lastError = 10022;
    fakeWindow.log.clear();
    acceptSettings();
    EXPECT_EQ(fakeWindow.log, "Closing serial port\r\n"
                              "Opening serial port COM1 ...success\r\n"
                              "Opening UDP socket ...success\r\n"
                              "Binding socket to 127.0.0.1:3975 ...success\r\n"
                              "WSAAsyncSelect() failed (error #10022).\r\n");
    EXPECT_EQ(fakeSystem.threadsStarted, 0);
    EXPECT_FALSE(enabled(ListenButton));

    fakeNet.armFails = false;
    fakeSystem.threadStartFails = true;
    fakeSystem.lastError = 8;
    fakeWindow.log.clear();
    acceptSettings();
    EXPECT_NE(fakeWindow.log.find("Starting port thread...CreateThread() failed (error #8).\r\n"),
              std::string::npos);
    EXPECT_EQ(linkState.portThread, nullptr);
    EXPECT_TRUE(fakeSystem.processHigh.empty()); // priorities untouched
    EXPECT_TRUE(fakeSystem.threadPriorities.empty());
    EXPECT_FALSE(enabled(ConnectButton));
    EXPECT_FALSE(enabled(ListenButton));

    // A failed start after a successful one leaves no socket behind the
    // buttons: they are disabled until a start succeeds again.
    fakeSystem.threadStartFails = false;
    acceptSettings();
    ASSERT_TRUE(enabled(ConnectButton));
    fakeSerial.openFails = true;
    acceptSettings();
    EXPECT_FALSE(enabled(ConnectButton));
    EXPECT_FALSE(enabled(ListenButton));
    fakeSerial.openFails = false;
    fakeNet.bindFails = true;
    acceptSettings();
    EXPECT_FALSE(enabled(ConnectButton));
    fakeNet.bindFails = false;
    acceptSettings();
    EXPECT_TRUE(enabled(ConnectButton));
    EXPECT_TRUE(enabled(ListenButton));
}

TEST_F(Ui, ConnectDialogStoresWhatItReadsAndKeepsThe16BitPort) {
    startLinked();

    // First opening: empty address, port 3975.
    EXPECT_EQ(shown(IDC_CONNECT).at(IDC_REMOTE_ADDRESS).text, "");
    EXPECT_EQ(fakeWidgets.lastDialog.at(IDC_REMOTE_PORT).text, "3975");

    struct Case {
        const char* text;
        int stored; // what remotePort holds afterwards
        bool accepted;
    };
    const Case cases[] = {{"70000", 4464, true}, {"65536", 0, false}, {"65537", 1, true},
                          {"49999", 49999, true}, {"50000", 50000, false}, {"0", 0, false},
                          {"port", 0, false}, {"9999999999", 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        fakeWidgets.errorBoxes.clear();
        linkState.connectionState = Idle;
        fakeNet.sent.clear();
        acceptConnect("127.0.0.2", c.text);
        EXPECT_STREQ(linkState.remoteIp, "127.0.0.2");
        EXPECT_EQ(linkState.remotePort, c.stored);
        if (c.accepted) {
            EXPECT_TRUE(fakeWidgets.errorBoxes.empty());
            ASSERT_EQ(fakeNet.sent.size(), 1u);
            EXPECT_EQ(fakeNet.sent[0].data, datagram(ConnectRequest, 0));
            EXPECT_EQ(fakeNet.sent[0].to.port, netToNetworkPort(uint16_t(c.stored)));
            EXPECT_EQ(fakeNet.sent[0].to.address, address("127.0.0.2"));
        } else {
            EXPECT_EQ(fakeWidgets.errorBoxes,
                      std::vector<std::string>{"Valid socket port required"});
            EXPECT_TRUE(fakeNet.sent.empty());
        }
    }
}

TEST_F(Ui, ConnectDialogRefusesTheAddressBeforeThePortAndShowsRefusalsAgain) {
    startLinked();

    acceptConnect("", "0");
    EXPECT_EQ(fakeWidgets.errorBoxes, std::vector<std::string>{"Valid IP address required"});
    EXPECT_STREQ(linkState.remoteIp, "");
    EXPECT_EQ(linkState.remotePort, 3975); // not stored: the port was never read

    fakeWidgets.errorBoxes.clear();
    acceptConnect("255.255.255.255", "1000");
    EXPECT_EQ(fakeWidgets.errorBoxes, std::vector<std::string>{"Valid IP address required"});
    EXPECT_STREQ(linkState.remoteIp, "255.255.255.255");
    EXPECT_EQ(linkState.remotePort, 3975);
    EXPECT_TRUE(fakeNet.sent.empty());
    EXPECT_EQ(linkState.connectionState, Idle);

    // The refused entries come back at the next opening.
    EXPECT_EQ(shown(IDC_CONNECT).at(IDC_REMOTE_ADDRESS).text, "255.255.255.255");
    acceptConnect("127.0.0.3", "50000");
    EXPECT_EQ(shown(IDC_CONNECT).at(IDC_REMOTE_ADDRESS).text, "127.0.0.3");
    EXPECT_EQ(fakeWidgets.lastDialog.at(IDC_REMOTE_PORT).text, "50000");
    // A refused port whose 16-bit value is 0 leaves the field empty.
    acceptConnect("127.0.0.3", "65536");
    EXPECT_EQ(shown(IDC_CONNECT).at(IDC_REMOTE_PORT).text, "");
}

TEST_F(Ui, ConnectAcceptedEntersConnectingOnlyWhenTheFirstRequestWent) {
    startLinked();

    fakeNet.sendResults = {-1};
    fakeNet.lastError = 10051;
    acceptConnect("127.0.0.2", "5000");
    EXPECT_TRUE(fakeWidgets.lastDialog.ended);
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_FALSE(fakeWindow.timerRunning);
    EXPECT_EQ(fakeWindow.buttons[ConnectButton].id, IDC_CONNECT);
    EXPECT_TRUE(enabled(SettingsButton));
    EXPECT_TRUE(enabled(ListenButton));

    acceptConnect("127.0.0.2", "5000");
    EXPECT_EQ(linkState.connectionState, Connecting);
    EXPECT_TRUE(fakeWindow.timerRunning);
    expectButton(ConnectButton, "Cancel", IDC_CONNECT_CANCEL, true);
    EXPECT_FALSE(enabled(SettingsButton));
    EXPECT_FALSE(enabled(ListenButton));

    // The retry timer sends a request and adds a dot.
    fakeNet.sent.clear();
    fakeWindow.log.clear();
    EXPECT_TRUE(panelTimer(kConnectRetryTimer));
    ASSERT_EQ(fakeNet.sent.size(), 1u);
    EXPECT_EQ(fakeNet.sent[0].data, datagram(ConnectRequest, 0));
    EXPECT_EQ(fakeWindow.log, ".");

    // Cancel under its second id.
    EXPECT_TRUE(panelCommand(IDC_CONNECT_CANCEL));
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_EQ(fakeWindow.buttons[ConnectButton].id, IDC_CONNECT);
}

TEST_F(Ui, ConnectThenCancelLeavesTheStatisticsClearedAndFocusesConnect) {
    startLinked();
    linkState.errorCount = 5;
    linkState.pingTotalMs = 70;
    linkState.pingSamples = 3;
    linkState.stats.shownErrorCount = 5;
    linkState.stats.shownPing = 23;
    linkState.local.localCaptured = 9;

    fakeWidgets.onConnectDialog = [](DialogWindow& d) {
        d.type(IDC_REMOTE_ADDRESS, "127.0.0.2");
        connectDialogCancel(&d);
    };
    EXPECT_TRUE(panelCommand(IDC_CONNECT));
    EXPECT_EQ(fakeWidgets.connectOpened, 1);
    EXPECT_EQ(linkState.errorCount, 0u);
    EXPECT_EQ(linkState.pingTotalMs, 0u);
    EXPECT_EQ(linkState.pingSamples, 0u);
    EXPECT_EQ(linkState.stats.shownErrorCount, 0u);
    EXPECT_EQ(linkState.stats.shownPing, 0u);
    EXPECT_EQ(linkState.local.localCaptured, 9u);
    EXPECT_EQ(fakeWindow.focused, ConnectButton);
    EXPECT_STREQ(linkState.remoteIp, ""); // Cancel reads nothing
    EXPECT_TRUE(fakeNet.sent.empty());
    EXPECT_EQ(linkState.connectionState, Idle);
}

TEST_F(Ui, PanelRoutesItsCommands) {
    startLinked();
    fakeWindow.log.clear();

    EXPECT_FALSE(panelCommand(1));
    EXPECT_FALSE(panelCommand(IDC_LOCAL_GROUP));

    EXPECT_TRUE(panelLogEvent(LogFocused));
    EXPECT_EQ(fakeWidgets.panelFocuses, 1);
    EXPECT_EQ(fakeWindow.clears, 0);
    fakeWindow.log = "full";
    EXPECT_TRUE(panelLogEvent(LogFull));
    EXPECT_EQ(fakeWindow.clears, 1);
    EXPECT_EQ(fakeWidgets.panelFocuses, 1);
    EXPECT_EQ(fakeWindow.log, "");

    linkState.errorCount = 4;
    EXPECT_TRUE(panelCommand(IDC_LISTEN));
    EXPECT_EQ(linkState.connectionState, Listening);
    EXPECT_EQ(linkState.errorCount, 0u);
    EXPECT_EQ(fakeWindow.buttons[ListenButton].id, IDC_LISTEN_CANCEL);
    EXPECT_EQ(fakeWindow.log, "Listening for connection ...");
    EXPECT_TRUE(panelCommand(IDC_LISTEN_CANCEL));
    EXPECT_EQ(linkState.connectionState, Idle);
    EXPECT_EQ(fakeWindow.log, "Listening for connection ...cancelled\r\n");

    EXPECT_TRUE(panelCommand(IDC_SETTINGS));
    EXPECT_EQ(fakeWidgets.settingsOpened, 2);
}

TEST_F(Ui, SocketNotificationLogsItsErrorAndReadsOnlyWhenReadable) {
    startLinked();
    fakeWindow.log.clear();
    linkState.connectionState = Listening;

    // An error with a datagram to read: the warning, then the read all the same.
    fakeNet.incoming.push_back({datagram(DisconnectNotice, 0), address("127.0.0.5"), 7000});
    EXPECT_TRUE(panelSocketEvent(10050, true));
    EXPECT_EQ(fakeWindow.log, "WARN: WSAGETSELECTERROR 10050\r\n");
    EXPECT_EQ(fakeNet.readLengths, std::vector<int>{8});
    EXPECT_STREQ(linkState.remoteIp, "127.0.0.5");
    EXPECT_EQ(linkState.remotePort, 7000);

    // An error with another event (FD_CLOSE on Windows): only the warning.
    fakeWindow.log.clear();
    EXPECT_TRUE(panelSocketEvent(10054, false));
    EXPECT_EQ(fakeWindow.log, "WARN: WSAGETSELECTERROR 10054\r\n");
    EXPECT_EQ(fakeNet.readLengths.size(), 1u);

    // A datagram to read alone reads without a warning.
    fakeWindow.log.clear();
    fakeNet.incoming.push_back({datagram(DisconnectNotice, 0), address("127.0.0.6"), 7001});
    EXPECT_TRUE(panelSocketEvent(0, true));
    EXPECT_EQ(fakeWindow.log, "");
    EXPECT_EQ(fakeNet.readLengths.size(), 2u);
}

TEST_F(Ui, MainWindowCloseAsksOnlyDuringATransfer) {
    startLinked();

    linkState.transferStage = 8;
    fakeWindow.answerYes = false;
    onMainWindowClose();
    EXPECT_EQ(fakeWindow.questions,
              std::vector<std::string>{"Program Exit|Packet transfer in progress, are you sure?"});
    EXPECT_EQ(fakeWidgets.windowsDestroyed, 0);

    linkState.transferStage = 0;
    linkState.connectionState = Connected;
    onMainWindowClose();
    EXPECT_EQ(fakeWindow.questions.size(), 1u);
    EXPECT_EQ(fakeWidgets.windowsDestroyed, 1);
    ASSERT_EQ(fakeNet.sent.size(), 1u);
    EXPECT_EQ(fakeNet.sent[0].data, datagram(DisconnectNotice, 0));
}

TEST_F(Ui, TheFineTimerSpansEveryPortThreadFromStartUpToShutdown) {
    startLinked();
    acceptSettings(); // the first thread ends before the second starts
    shutdownProgram();
    EXPECT_EQ(fakeSystem.sequence,
              (std::vector<std::string>{"timer:begin", "thread:start", "thread:ended",
                                        "thread:start", "thread:ended", "timer:end"}));
}

TEST_F(Ui, ShutdownStopsThePortThreadClosesTheLinkAndEndsWinsock) {
    startLinked();
    fakeWindow.log.clear();
    linkState.connectionState = Connected;

    shutdownProgram();
    EXPECT_TRUE(linkState.stopPortThread);
    EXPECT_EQ(fakeWindow.log, "Closing socket\r\nClosing serial port\r\n");
    EXPECT_EQ(fakeSystem.threadWaits, 1);
    EXPECT_FALSE(fakeSerial.isOpen);
    EXPECT_EQ(fakeSystem.eventsClosed, 1);
    EXPECT_EQ(linkState.packetEvent, nullptr);
    EXPECT_EQ(fakeNet.cleanups, 1);
    EXPECT_TRUE(fakeNet.sent.empty()); // nothing goes to the peer here
    EXPECT_EQ(linkState.connectionState, Connected);

    // Before any link was started: no close lines, WinSock still ends.
    SetUp();
    start();
    shutdownProgram();
    EXPECT_EQ(fakeWindow.log, "");
    EXPECT_EQ(fakeSystem.eventsClosed, 1);
    EXPECT_EQ(fakeNet.cleanups, 1);
}

// The port thread ended because its device stopped answering: the window thread
// ends the link, tells a connected peer, and leaves Settings... to choose a port.
TEST_F(Ui, ALostSerialDeviceEndsTheLinkAndTellsThePeer) {
    for (bool connected : {true, false}) {
        SCOPED_TRACE(connected);
        SetUp();
        startLinked();
        if (connected) {
            EXPECT_TRUE(panelCommand(IDC_LISTEN));
            fakeNet.incoming.push_back({datagram(ConnectRequest, 0), address("127.0.0.2"), 4000});
            EXPECT_TRUE(panelSocketEvent(0, true));
            ASSERT_EQ(linkState.connectionState, Connected);
        } else {
            acceptConnect("127.0.0.2", "4000");
            ASSERT_EQ(linkState.connectionState, Connecting);
        }
        fakeNet.sent.clear();
        fakeWindow.log.clear();

        handOverPortLost(linkState.serialPort);
        panelHandOffs();
        EXPECT_EQ(linkState.connectionState, Idle);
        if (connected) {
            ASSERT_EQ(fakeNet.sent.size(), 2u); // as a local disconnect
            for (const FakeNet::Sent& s : fakeNet.sent) {
                EXPECT_EQ(s.data, datagram(DisconnectNotice, 0));
                EXPECT_EQ(s.to.address, address("127.0.0.2"));
            }
            EXPECT_EQ(fakeWindow.log, "Serial device lost, link stopped\r\n"
                                      "Sending disconnect packet...disconnected\r\n"
                                      "Closing serial port\r\n");
        } else {
            EXPECT_TRUE(fakeNet.sent.empty());
            EXPECT_FALSE(fakeWindow.timerRunning);
            EXPECT_EQ(fakeWindow.log, "Serial device lost, link stopped\r\ncancelled\r\n"
                                      "Closing serial port\r\n");
        }
        EXPECT_FALSE(fakeSerial.isOpen);
        EXPECT_EQ(linkState.portThread, nullptr);
        expectButton(SettingsButton, "Settings...", IDC_SETTINGS, true);
        expectButton(ConnectButton, "Connect...", IDC_CONNECT, false);
        expectButton(ListenButton, "Listen", IDC_LISTEN, false);
    }
}

TEST_F(Ui, NewsOfAPortClosedSinceIsOld) {
    startLinked();
    SerialPort* old = linkState.serialPort;
    acceptSettings(); // a new start: the old port closed, a new one opened
    fakeWindow.log.clear();
    linkState.serialPort = reinterpret_cast<SerialPort*>(&fakeSerial); // not the old one
    handOverPortLost(old);
    panelHandOffs();
    EXPECT_EQ(fakeWindow.log, "");
    EXPECT_TRUE(enabled(ConnectButton));
    linkState.serialPort = old;
}

// A port thread hangs in a read past the 3 s that closing waits for it, while
// the window thread accepts Settings again, then shuts down: the link lock is
// free meanwhile, and the thread, when the read returns, takes nothing into the
// new link, uses no port but its own, and at its end closes its port and the
// packet event that shutdown left to it.
TEST_F(Ui, APortThreadStuckInTheDeviceReachesNoLaterPortNorAClosedHandle) {
    fakeSerial.distinctPorts = true;
    startLinked();
    SerialPort* first = linkState.serialPort;
    feed(controlPacket(0x43, 0, 1, 1));
    fakeSerial.waitSteps.push_back(FakeSerial::WaitStep{0, EvRxChar});
    std::future<void> otherThread;
    fakeSerial.duringRead = [&] {
        otherThread = std::async(std::launch::async, [] { LinkLock lock; });
        EXPECT_EQ(otherThread.wait_for(std::chrono::seconds(2)), std::future_status::ready)
            << "the link lock was held across the read";
        fakeSystem.threadWaitsRunning = 100000;
        acceptSettings();
        fakeSystem.threadWaitsRunning = 0; // the second thread ends as asked
        shutdownProgram();
        ASSERT_EQ(fakeSerial.portsClosed.size(), 1u); // the second port only
        EXPECT_NE(fakeSerial.portsClosed[0], first);
        EXPECT_EQ(fakeSystem.eventsClosed, 0) << "closed under the running thread";
        fakeSerial.portsUsed.clear();
    };
    EXPECT_EQ(portThreadMain(), 0);
    EXPECT_EQ(linkState.local.localCaptured, 0u);
    for (SerialPort* used : fakeSerial.portsUsed) EXPECT_EQ(used, first);
    ASSERT_EQ(fakeSerial.portsClosed.size(), 2u);
    EXPECT_EQ(fakeSerial.portsClosed[1], first);
    EXPECT_EQ(fakeSystem.eventsClosed, 1);
}
