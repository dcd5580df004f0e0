// The counter display: when a refresh runs and which fields it writes.
#include <utility>
#include <vector>

#include "core/counters.h"
#include "core/view.h"
#include "doubles/fakes.h"
#include "ui/resource.h"

namespace {

using Writes = std::vector<std::pair<int, uint32_t>>;

class Statistics : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        linkState.psxActive = true;
    }
    // The writes of one refresh at now.
    Writes refreshAt(uint32_t now) {
        fakeWindow.counterWrites.clear();
        refreshStatistics(now);
        return fakeWindow.counterWrites;
    }
};

TEST_F(Statistics, RunsOnlyWhenMoreThan250MsHavePassedAcrossTheClockWrap) {
    linkState.local.localCaptured = 5;
    EXPECT_EQ(refreshAt(1000), (Writes{{IDC_LOCAL_RECVD, 5}}));
    EXPECT_EQ(linkState.stats.lastStatsRefresh, 1000u);

    linkState.local.localCaptured = 6;
    EXPECT_TRUE(refreshAt(1250).empty());
    EXPECT_EQ(linkState.stats.lastStatsRefresh, 1000u); // a refused tick leaves the time
    EXPECT_EQ(refreshAt(1251), (Writes{{IDC_LOCAL_RECVD, 6}}));

    // Just before the wrap, then just after it.
    linkState.local.localCaptured = 7;
    EXPECT_EQ(refreshAt(0xFFFFFF9Cu), (Writes{{IDC_LOCAL_RECVD, 7}})); // 2^32 - 100
    linkState.local.localCaptured = 8;
    EXPECT_TRUE(refreshAt(150).empty()); // 250 ms later
    EXPECT_EQ(refreshAt(151), (Writes{{IDC_LOCAL_RECVD, 8}}));
    EXPECT_EQ(fakeWindow.counters[IDC_LOCAL_RECVD], 8u);
}

TEST_F(Statistics, FirstRefreshWritesEveryNonZeroCounterInDisplayOrder) {
    LinkState& s = linkState;
    s.local.localCaptured = 11;
    s.local.localSent = 10;
    s.local.localStored = 1;
    s.remote.remoteReceived = 9;
    s.remote.remoteDelivered = 8;
    s.remote.remoteStored = 1;
    s.pingTotalMs = 7;
    s.pingSamples = 2;
    s.expectedSize = -1; // shown as the unsigned word
    s.transferStage = 8;
    s.errorCount = 0xFFFFFFFFu;
    EXPECT_EQ(refreshAt(5000), (Writes{{IDC_LOCAL_RECVD, 11},
                                       {IDC_LOCAL_SENT, 10},
                                       {IDC_LOCAL_STORED, 1},
                                       {IDC_REMOTE_RECVD, 9},
                                       {IDC_REMOTE_SENT, 8},
                                       {IDC_REMOTE_STORED, 1},
                                       {IDC_PING, 3},
                                       {IDC_SIZE, 4294967295u},
                                       {IDC_TFR_STAT, 8},
                                       {IDC_ERRORS, 4294967295u}}));

    // A zero field is not written at the first refresh: it already shows 0.
    resetFakes();
    linkState.psxActive = true;
    linkState.remote.remoteStored = 2;
    EXPECT_EQ(refreshAt(5000), (Writes{{IDC_REMOTE_STORED, 2}}));
}

TEST_F(Statistics, PingIsTheTruncatedAverageAndZeroWithoutSamples) {
    linkState.pingTotalMs = 7;
    linkState.pingSamples = 2;
    EXPECT_EQ(refreshAt(1000), (Writes{{IDC_PING, 3}}));
    linkState.pingTotalMs = 9;
    linkState.pingSamples = 0;
    EXPECT_EQ(refreshAt(1300), (Writes{{IDC_PING, 0}}));
    linkState.pingTotalMs = 0;
    linkState.pingSamples = 4;
    EXPECT_TRUE(refreshAt(1600).empty());
}

TEST_F(Statistics, OnlyChangedValuesAreWritten) {
    linkState.remote.remoteReceived = 4;
    linkState.errorCount = 2;
    refreshAt(1000);
    // Changes and changes back between two refreshes: nothing to write.
    linkState.remote.remoteReceived = 5;
    linkState.remote.remoteReceived = 4;
    linkState.errorCount = 3;
    EXPECT_EQ(refreshAt(1300), (Writes{{IDC_ERRORS, 3}}));
    EXPECT_TRUE(refreshAt(1600).empty());

    // After a reset the local and remote counters go back to 0 on the display.
    linkState.local.localCaptured = 3;
    refreshAt(1900);
    resetLocalSide();
    resetRemoteSide();
    EXPECT_EQ(refreshAt(2200), (Writes{{IDC_LOCAL_RECVD, 0}, {IDC_REMOTE_RECVD, 0}}));
}

TEST_F(Statistics, ClearedStatisticsKeepTheirLastNumbersWhileZero) {
    LinkState& s = linkState;
    s.expectedSize = 10;
    s.transferStage = 8;
    s.errorCount = 2;
    s.pingTotalMs = 40;
    s.pingSamples = 2;
    s.local.localCaptured = 1;
    refreshAt(1000);

    // The end of a transfer: size and stage back to 0, then the block cleared.
    s.expectedSize = 0;
    s.transferStage = 0;
    s.local.localCaptured = 2;
    clearStatistics();
    EXPECT_EQ(refreshAt(1300), (Writes{{IDC_LOCAL_RECVD, 2}}));
    EXPECT_EQ(fakeWindow.counters[IDC_SIZE], 10u);
    EXPECT_EQ(fakeWindow.counters[IDC_TFR_STAT], 8u);
    EXPECT_EQ(fakeWindow.counters[IDC_ERRORS], 2u);
    EXPECT_EQ(fakeWindow.counters[IDC_PING], 20u);

    // A value that becomes non-zero again is written, even the number shown.
    s.errorCount = 2;
    s.transferStage = 1;
    EXPECT_EQ(refreshAt(1600), (Writes{{IDC_TFR_STAT, 1}, {IDC_ERRORS, 2}}));
}

TEST_F(Statistics, NothingIsWrittenWhileTheConsoleIsInactive) {
    linkState.psxActive = false;
    linkState.local.localCaptured = 5;
    linkState.errorCount = 1;
    EXPECT_TRUE(refreshAt(1000).empty());
    EXPECT_TRUE(refreshAt(5000).empty());
    EXPECT_EQ(linkState.stats.lastStatsRefresh, 0u);
    EXPECT_EQ(linkState.stats.shownLocalCaptured, 0u);

    // Active again: the first tick writes at once.
    linkState.psxActive = true;
    EXPECT_EQ(refreshAt(5001), (Writes{{IDC_LOCAL_RECVD, 5}, {IDC_ERRORS, 1}}));
}

} // namespace
