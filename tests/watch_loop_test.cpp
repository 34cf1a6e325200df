// The watch loop against a player window on this thread: the decision table one poll at a
// time, then the real thread for its interval, its stop and quit.
#include "test_support.h"

class WatchLoop : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        setSettings(1, 0, 0, 100);  // the simulated lock alone decides, cheaply and exactly
        installFilter();
    }
};

struct DecisionRow {
    int row;
    LONG pausedByPlugin;
    LONG state;
    BOOL hold;
    WORD pressedDuringProbes;  // the user's command while the conditions are evaluated, or 0
    LONG toggles;
    LONG pausedAfter;
    LONG probes;  // lock probes: 0 when the conditions are not evaluated at all
};

static WORD commandDuringProbes;
static void pressDuringProbes(void)
{
    if (commandDuringProbes != 0)
        pressPlayerButton(commandDuringProbes);
}

// The toggle pauses and resumes alike: it is sent only while the player still stands where
// the decision needs it, so it never undoes what the user did meanwhile.
TEST_F(WatchLoop, OnePollFollowsTheDecisionTable)
{
    static const DecisionRow rows[] = {
        {1, 0, PLAY_STATE_PLAYING, TRUE, 0, 1, 1, 1},
        {2, 0, PLAY_STATE_PLAYING, FALSE, 0, 0, 0, 1},
        {3, 0, PLAY_STATE_PAUSED, TRUE, 0, 0, 0, 0},
        {4, 0, PLAY_STATE_STOPPED, TRUE, 0, 0, 0, 0},
        {5, 1, PLAY_STATE_PAUSED, TRUE, 0, 0, 1, 1},
        {6, 1, PLAY_STATE_PAUSED, FALSE, 0, 1, 0, 1},
        {7, 1, PLAY_STATE_STOPPED, FALSE, 0, 0, 0, 1},  // stopped meanwhile: nothing to resume
        {8, 1, PLAY_STATE_STOPPED, TRUE, 0, 0, 1, 1},
        {9, 1, PLAY_STATE_PLAYING, FALSE, 0, 0, 0, 1},  // the user pressed play before the poll
        {10, 1, PLAY_STATE_PAUSED, FALSE, CMD_PLAY, 0, 0, 1},
        {11, 0, PLAY_STATE_PLAYING, TRUE, CMD_PAUSE, 0, 0, 1},
        {12, 0, PLAY_STATE_PLAYING, TRUE, CMD_STOP, 0, 0, 1},
    };
    for (const DecisionRow &row : rows) {
        playerWindow.playState = row.state;
        pluginState.pausedByPlugin = row.pausedByPlugin;
        setWorkstationLocked(row.hold);
        clearPlayerLog();
        commandDuringProbes = row.pressedDuringProbes;
        duringLockProbe = pressDuringProbes;
        startCountingCalls();
        pollOnce();
        stopCountingCalls();
        duringLockProbe = NULL;
        EXPECT_EQ(pauseTogglesSeen() - (row.pressedDuringProbes == CMD_PAUSE), row.toggles) << "row " << row.row;
        EXPECT_EQ(pluginState.pausedByPlugin, row.pausedAfter) << "row " << row.row;
        EXPECT_EQ(callCounts.lockProbes, row.probes) << "row " << row.row;
        EXPECT_EQ(pluginState.issuingCommand, 0) << "row " << row.row;
    }
}

static LONG issuingCommandSeenByPlayer = -1;
static void recordIssuingCommand(const PlayerEvent &)
{
    issuingCommandSeenByPlayer = pluginState.issuingCommand;
}

TEST_F(WatchLoop, PausesOncePerEpisodeAndResumesOnceAfterIt)
{
    playerWindow.onEvent = recordIssuingCommand;
    playerWindow.playState = PLAY_STATE_PLAYING;
    setWorkstationLocked(TRUE);
    for (int poll = 0; poll < 4; ++poll)
        pollOnce();
    EXPECT_EQ(pauseTogglesSeen(), 1);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED);
    EXPECT_EQ(issuingCommandSeenByPlayer, 1);

    setWorkstationLocked(FALSE);
    for (int poll = 0; poll < 4; ++poll)
        pollOnce();
    EXPECT_EQ(pauseTogglesSeen(), 2);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    EXPECT_EQ(pluginState.pausedByPlugin, 0);
    playerWindow.onEvent = NULL;
}

TEST_F(WatchLoop, LeavesAPauseThatIsNoLongerItsOwn)
{
    playerWindow.playState = PLAY_STATE_PLAYING;
    setWorkstationLocked(TRUE);
    pollOnce();
    ASSERT_EQ(pluginState.pausedByPlugin, 1);
    pluginState.pausedByPlugin = 0;  // as the filter does on a manual start
    for (int poll = 0; poll < 3; ++poll) {
        setWorkstationLocked(poll % 2 == 0 ? FALSE : TRUE);
        pollOnce();
    }
    EXPECT_EQ(pauseTogglesSeen(), 1);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED);
}

struct IntervalRow {
    int row;
    LONG checkTime;
    DWORD waitMs;
};

TEST(WatchLoopInterval, IsTheSettingButNeverBelow100)
{
    static const IntervalRow rows[] = {
        {1, 500, 500}, {2, 550, 550}, {3, 199, 199}, {4, 100, 100},  {5, 10000, 10000},
        {6, 99, 100},  {7, 50, 100},  {8, 0, 100},   {9, -1, 100},   {10, 2147483647, 2147483647u},
    };
    for (const IntervalRow &row : rows)
        EXPECT_EQ(pollInterval(row.checkTime), row.waitMs) << "row " << row.row << ", checkTime " << row.checkTime;
}

static char settingsText[96];

static void runThreadWithCheckTime(const char *checkTime)
{
    wsprintfA(settingsText, "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=%s\r\n", checkTime);
    writeTestSettings(settingsText);
    startCountingCalls();
    pluginHeader.init();
}

class WatchThread : public PluginTest {
protected:
    void TearDown() override
    {
        if (pluginState.watchThread != NULL)
            pluginHeader.quit();
        PluginTest::TearDown();
    }
};

TEST_F(WatchThread, WaitsTheIntervalBetweenPolls)
{
    static const struct {
        int row;
        const char *checkTime;
        LONG waitMs;
    } rows[] = {{1, "500", 500}, {2, "199", 199}, {3, "50", 100}, {4, "0", 100}, {5, "-20", 100}};
    for (const auto &row : rows) {
        clearPlayerLog();
        runThreadWithCheckTime(row.checkTime);
        EXPECT_TRUE(waitForWatchThreadWaits(2, 3000)) << "row " << row.row;
        EXPECT_EQ(callCounts.lastWaitMs, row.waitMs) << "row " << row.row;
        // No poll storm: every poll is followed by a wait.
        EXPECT_LE(playerWindow.queryCount, callCounts.watchThreadWaits + 1) << "row " << row.row;
        pluginHeader.quit();
        removeTestSettings();
    }
}

// A long interval does not delay quit: the stop request ends the wait under way at once, so
// the thread has ended by the time quit returns, and it never waits again.
TEST_F(WatchThread, AStopEndsALongWaitAtOnceAndClosesItsHandle)
{
    LONG handlesBefore = countOpenHandles();
    runThreadWithCheckTime("10000");
    ASSERT_TRUE(waitForWatchThreadWaits(1, 2000));
    HANDLE watched = NULL;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), pluginState.watchThread, GetCurrentProcess(), &watched,
                                SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, 0));
    HANDLE threadHandle = pluginState.watchThread;
    pluginHeader.quit();
    EXPECT_EQ(WaitForSingleObject(watched, 0), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    EXPECT_TRUE(GetExitCodeThread(watched, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(watched);
    EXPECT_EQ(callCounts.watchThreadWaitsAfterStop, 0);
    EXPECT_EQ(pluginState.modulePinned, 0);
    DWORD flags;
    EXPECT_FALSE(GetHandleInformation(threadHandle, &flags)) << "quit leaves the thread handle open";
    EXPECT_EQ(countOpenHandles(), handlesBefore);
}

static BOOL playerPausedByPlugin(void)
{
    return playerWindow.playState == PLAY_STATE_PAUSED && pluginState.pausedByPlugin == 1;
}

TEST_F(WatchThread, QuitWhileHoldingItsPauseLeavesThePlayerPaused)
{
    playerWindow.playState = PLAY_STATE_PLAYING;
    setWorkstationLocked(TRUE);
    writeTestSettings("[Hushgate]\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=100\r\n");
    pluginHeader.init();
    ASSERT_TRUE(pumpMessagesUntil(2000, playerPausedByPlugin));
    LONG events = playerWindow.eventCount;
    pluginHeader.quit();
    setWorkstationLocked(FALSE);
    pumpMessagesFor(300);
    EXPECT_EQ(playerWindow.eventCount, events);
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED);
    EXPECT_EQ(pluginState.pausedByPlugin, 1);
}

// The host may have looked at its queue after the send arrived (GetQueueStatus marks it as
// seen, and a seen send no longer wakes a message wait): quit still serves it at once.
TEST_F(WatchThread, QuitServesASendBlockedOnThisThreadEvenOnceTheHostHasSeenIt)
{
    WNDPROC original = (WNDPROC)GetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC);
    pluginHeader.init();
    HANDLE watched = NULL;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), pluginState.watchThread, GetCurrentProcess(), &watched,
                                SYNCHRONIZE, FALSE, 0));
    // Not pumping: the first poll's query comes to wait for this thread, which looks at its
    // queue (and so marks the send as seen) and then enters quit.
    BOOL sendWaiting = FALSE;
    for (int attempt = 0; attempt < 200 && !sendWaiting; ++attempt) {
        Sleep(10);
        sendWaiting = (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0;
    }
    ASSERT_TRUE(sendWaiting) << "no send came to wait";
    DWORD start = GetTickCount();
    pluginHeader.quit();
    EXPECT_LT(GetTickCount() - start, 1000u) << "quit slept through the waiting send";
    EXPECT_EQ(WaitForSingleObject(watched, 0), WAIT_OBJECT_0);
    CloseHandle(watched);
    EXPECT_EQ((WNDPROC)GetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC), original);
    EXPECT_EQ(pluginState.watchThread, (HANDLE)NULL);
    EXPECT_EQ(pluginState.modulePinned, 0);
}
