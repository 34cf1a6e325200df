// The watch loop against a player window on this thread: the decision table one poll at a
// time, then the real thread for its interval, its stop and quit.
#include "engine/call_capture.h"
#include "engine/player_sessions.h"
#include "engine/session_lock.h"
#include "engine/settings_in_force.h"
#include "engine/sleep_hold.h"
#include "engine/wake_signals.h"
#include "engine/watch_build.h"
#include "engine/watch_loop.h"
#include "simulated_jacks.h"
#include "simulated_sessions.h"
#include "simulated_speakers.h"
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
        // Played over, seen by the filter or only by the poll: pausing nothing more, resuming nothing.
        {13, 1, PLAY_STATE_PLAYING, TRUE, 0, 0, PLAYED_OVER_BY_USER, 1},
        {14, PLAYED_OVER_BY_USER, PLAY_STATE_PLAYING, TRUE, 0, 0, PLAYED_OVER_BY_USER, 1},
        {15, PLAYED_OVER_BY_USER, PLAY_STATE_PAUSED, FALSE, 0, 0, 0, 1},
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

struct OkDuringPollRow {
    int row;
    Settings published;  // by an OK while the poll reads the lock
    LONG togglesInThatPoll, togglesAtTheNext;
};

static Settings settingsOfTheOk;
static void pressOkDuringProbes(void)
{
    publishSettings(settingsOfTheOk);
}

// The screen saver runs and the sound is muted; the loop holds its pause for the mute. An OK
// that lands inside a poll counts from the next poll: the poll under way decides on the set it
// began with, never on the screen saver's old switch and the mute's new one.
TEST_F(WatchLoop, AnOkDuringAPollCountsFromTheNextPoll)
{
    static const OkDuringPollRow rows[] = {
        {1, {1, 1, 0, 100, 1, 0}, 0, 0},  // the screen saver's switch on, the mute's off
        {2, {1, 0, 0, 100, 1, 0}, 0, 1},  // both off: the pause ends, one poll later
    };
    setScreenSaverRunning(TRUE);
    setSpeakersMuted(TRUE);
    for (const OkDuringPollRow &row : rows) {
        setSettings(1, 0, 1, 100);
        pluginState.settings.isCall = 0;
        playerWindow.playState = PLAY_STATE_PAUSED;
        pluginState.pausedByPlugin = 1;
        clearPlayerLog();
        settingsOfTheOk = row.published;
        duringLockProbe = pressOkDuringProbes;
        pollOnce();
        duringLockProbe = NULL;
        EXPECT_EQ(pauseTogglesSeen(), row.togglesInThatPoll) << "row " << row.row;
        pollOnce();
        EXPECT_EQ(pauseTogglesSeen(), row.togglesAtTheNext) << "row " << row.row;
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

// --- what wakes the loop ------------------------------------------------------------------

static HWND signalWindow(void)
{
    return ownSignalWindow();
}

static void lockNotice(BOOL on)
{
    setWorkstationLocked(on);  // the simulated session tells the registered window
}

static void speakersMuteNotice(BOOL on)
{
    setSpeakersMuted(on);  // the simulated speakers call the registered mute callback
}

// Wine's mixer announces nothing: the notice the driver would send is sent here, to the
// window the plug-in gave mixerOpen, naming the mute control as the mixer itself numbers it.
static void mixerMuteNotice(BOOL on)
{
    (void)setSystemMute(on);
    HMIXER mixer;
    DWORD muteControl = 0;
    EXPECT_TRUE(conditionMuteControl(mixer, muteControl));
    EXPECT_EQ(callCounts.mixerOpenFlags, (DWORD)CALLBACK_WINDOW);
    (void)SendMessageA((HWND)callCounts.mixerOpenCallback, MM_MIXM_CONTROL_CHANGE, (WPARAM)mixer, (LPARAM)muteControl);
}

// The new default device is muted: the loop holds at once, then follows the move back.
static void defaultMovesToMutedHeadphones(BOOL on)
{
    simulatedSpeakers.muted[HEADPHONES] = 1;
    chooseDefaultDevice(on ? HEADPHONES : SPEAKERS);
}

// After a move the mute notices come from the new default: the registration moved with it.
static void newDefaultMutes(BOOL on)
{
    if (on) {
        chooseDefaultDevice(HEADPHONES);
        (void)waitForWatchThreadWaits(callCounts.watchThreadWaits + 1, 2000);
    }
    setSpeakersMuted(on);
}

static void consoleConnectNotice(BOOL)
{
    (void)SendMessageA(signalWindow(), WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, 0);
}

// Windows XP switches users rather than locks; a remote client may go without locking.
static void consoleDisconnectNotice(BOOL on)
{
    (void)SendMessageA(signalWindow(), WM_WTSSESSION_CHANGE, on ? WTS_CONSOLE_DISCONNECT : WTS_CONSOLE_CONNECT, 0);
}

static void remoteDisconnectNotice(BOOL on)
{
    (void)SendMessageA(signalWindow(), WM_WTSSESSION_CHANGE, on ? WTS_REMOTE_DISCONNECT : WTS_REMOTE_CONNECT, 0);
}

static LONG signalRowSession = NO_SESSION;

// The audio service stops (the player's session hears it cut off) and starts again; the mute
// then set is told only to what was registered since its return.
static void restartAudioService(void)
{
    LONG waits = callCounts.watchThreadWaits;
    stopAudioService();
    (void)waitForWatchThreadWaits(waits + 1, 2000);
    startAudioService();
    // Past the first try's wake, so that only a watch built again can tell what comes next.
    pumpMessagesFor(300);
}

static void speakersMuteAfterAudioServiceRestart(BOOL on)
{
    if (on)
        restartAudioService();
    setSpeakersMuted(on);
}

// The look the shutdown's notice wakes runs while the service still answers.
static void lookWhileGoingDown(void)
{
    (void)waitForWatchThreadWaits(callCounts.watchThreadWaits + 1, 2000);
}

// Once the shutdown has settled the loop waits its interval again.
static void speakersMuteAfterASlowShutdown(BOOL on)
{
    simulatedSpeakers.whileGoingDown = lookWhileGoingDown;
    speakersMuteAfterAudioServiceRestart(on);
    if (on)
        return;
    (void)waitForWatchThreadWaits(callCounts.watchThreadWaits + 1, 2000);
    moveClockOn(5000);
    (void)waitForWatchThreadWaits(callCounts.watchThreadWaits + 2, 3000);
    EXPECT_EQ(callCounts.lastWaitMs, 10000) << "the loop still wakes for a shutdown long over";
}

static LONG signalRowCapture = NO_SESSION;

// Only new-session notices registered since the return can tell it: no look at the
// microphones comes otherwise.
static void captureAfterAudioServiceRestart(BOOL on)
{
    if (!on) {
        setSimulatedSessionState(signalRowCapture, AudioSessionStateInactive);
        return;
    }
    restartAudioService();
    signalRowCapture = addSimulatedSession(MICROPHONE, 4, AudioSessionStateActive, FALSE);
}

// Wine's session manager tells of no session: these come from the simulated ones.
static void otherProgramStartsSound(BOOL)
{
    (void)addSimulatedSession(SPEAKERS, 4, AudioSessionStateActive, FALSE);
}

static void playerSessionGoesIdle(BOOL)
{
    setSimulatedSessionState(signalRowSession, AudioSessionStateInactive);
}

// The speakers' endpoint also serves the headphone jack (merged for every row), and its driver
// tells the pull one way.
static void headphonesPulledTold(LONG telling)
{
    simulatedJacks.telling = telling;
    pullHeadphoneJack();
}

static void jackNoticeTellsPull(BOOL)
{
    headphonesPulledTold(JACK_TELLS_CONTROL);
}

static void propertyNoticeTellsPull(BOOL)
{
    headphonesPulledTold(JACK_TELLS_PROPERTY);
}

static BOOL pausedForTheUserAtOnce(void)
{
    return playerWindow.playState == PLAY_STATE_PAUSED && pluginState.pausedByPlugin == 0;
}

static BOOL playsOnAgain(void)
{
    return playerWindow.playState == PLAY_STATE_PLAYING && pluginState.pausedByPlugin == 0;
}

struct SignalRow {
    int row;
    const char *signal;
    void (*change)(BOOL on);
    LONG holds;  // FALSE: nothing holds, so the poll it brings sends nothing; else one of these
};
static const LONG PAUSES_FOR_THE_USER = 2;  // the output goes: a pause that is the user's to undo
static const LONG HOLDS_A_CALL = 3;  // holds; its end resumes once the capture has been quiet a while

static void expectNothingOfOursLeft(const char *when)
{
    WNDCLASSA windowClass;
    EXPECT_EQ(signalWindow(), (HWND)NULL) << when;
    EXPECT_FALSE(GetClassInfoA(pluginHeader.hDllInstance, "HushgateSignals", &windowClass)) << when;
    EXPECT_EQ(simulatedSession.registeredWindows, 0) << when;
    EXPECT_EQ(simulatedSpeakers.deviceClients, 0) << when;
    EXPECT_EQ(simulatedSpeakers.muteCallbacks, 0) << when;
    EXPECT_EQ(simulatedJacks.callbacks, 0) << when;
    EXPECT_EQ(simulatedSessions.creationListeners + simulatedSessions.stateListeners, 0) << when;
    EXPECT_EQ(InterlockedExchange(&wakeSignals.callbacksMayCome, 0), 0)
        << when << ": a callback was taken for one that may still come";
}

// At an interval of 10 s, only a signal can bring a poll within the 2 s each row allows.
TEST_F(WatchThread, EachSignalBringsAPollAtOnceAndItsReadDecides)
{
    BOOL machineHasMixer = mixerGetNumDevs() > 0;
    static const SignalRow rows[] = {
        {1, "session lock notice", lockNotice, TRUE},
        {2, "speakers' mute notice", speakersMuteNotice, TRUE},
        {3, "mixer's change notice", mixerMuteNotice, TRUE},
        {4, "default output moved", defaultMovesToMutedHeadphones, TRUE},
        {5, "mute of the new default", newDefaultMutes, TRUE},
        {6, "console connect, nothing holds", consoleConnectNotice, FALSE},
        {7, "another program's new audio session, nothing holds", otherProgramStartsSound, FALSE},
        {8, "the player's session goes idle, nothing holds", playerSessionGoesIdle, FALSE},
        {9, "a user switched away: the console disconnects", consoleDisconnectNotice, TRUE},
        {10, "the remote client went without locking", remoteDisconnectNotice, TRUE},
        {11, "headphones pulled from the merged output, told to the jack's part", jackNoticeTellsPull,
         PAUSES_FOR_THE_USER},
        {12, "the same told as a property of the endpoint", propertyNoticeTellsPull, PAUSES_FOR_THE_USER},
        {13, "speakers' mute notice after the audio service stopped and started again",
         speakersMuteAfterAudioServiceRestart, TRUE},
        {14, "another program captures after the audio service stopped and started again",
         captureAfterAudioServiceRestart, HOLDS_A_CALL},
        {15, "speakers' mute notice after the audio service, still answering a moment after it told its shutdown, "
             "came back", speakersMuteAfterASlowShutdown, TRUE},
    };
    // Windows calls its notices from threads of its own, concurrently with the looks: each row
    // again so.
    for (LONG pass = 0; pass < 2 * (LONG)(sizeof rows / sizeof rows[0]); ++pass) {
        const SignalRow &row = rows[pass % (sizeof rows / sizeof rows[0])];
        if (row.change == mixerMuteNotice && !machineHasMixer)
            continue;
        resetConditions();
        noticeThreads.fromOwnThreads = pass >= (LONG)(sizeof rows / sizeof rows[0]);
        SCOPED_TRACE(noticeThreads.fromOwnThreads ? "notices from the platform's threads" : "notices on the changing thread");
        signalRowSession = addSimulatedSession(SPEAKERS, GetCurrentProcessId(), AudioSessionStateActive, FALSE);
        playerWindow.playState = PLAY_STATE_PLAYING;
        mergeSpeakersAndHeadphones(TRUE);
        writeTestSettings("[Hushgate]\r\nISSCREENSAVE=0\r\nCHECKTIME=10000\r\n");
        startCountingCalls();
        pluginHeader.init();
        ASSERT_TRUE(waitForWatchThreadWaits(1, 2000)) << row.signal;
        LONG waits = callCounts.watchThreadWaits, events = playerWindow.eventCount;
        row.change(TRUE);
        if (row.holds == PAUSES_FOR_THE_USER) {
            EXPECT_TRUE(pumpMessagesUntil(2000, pausedForTheUserAtOnce)) << "row " << row.row << ": " << row.signal;
        } else if (row.holds) {
            EXPECT_TRUE(pumpMessagesUntil(2000, playerPausedByPlugin)) << "row " << row.row << ": " << row.signal;
            row.change(FALSE);
            DWORD endsWithin = row.holds == HOLDS_A_CALL ? 2000 + CALL_QUIET_MS : 2000;
            EXPECT_TRUE(pumpMessagesUntil(endsWithin, playsOnAgain)) << "row " << row.row << ": " << row.signal << " ended";
        } else {
            EXPECT_TRUE(waitForWatchThreadWaits(waits + 1, 2000)) << "row " << row.row << ": no poll";
            EXPECT_EQ(playerWindow.eventCount, events) << "row " << row.row << ": sent something";
        }
        pluginHeader.quit();
        expectNothingOfOursLeft(row.signal);
    }
}

// The system may still call a mute callback whose unregistration it refused: the event the
// callback sets stays open with the pinned module, and the next start takes it over.
TEST_F(WatchThread, ACallbackTheSystemKeptAfterQuitStillFindsItsEvent)
{
    playerWindow.playState = PLAY_STATE_PLAYING;
    writeTestSettings("[Hushgate]\r\nISSCREENSAVE=0\r\nCHECKTIME=10000\r\n");
    startCountingCalls();
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(1, 2000));
    simulatedSpeakers.muteUnregistrationRefused = 1;
    pluginHeader.quit();
    EXPECT_EQ(pluginState.modulePinned, 1);
    HANDLE wake = wakeSignals.wakeEvent;
    DWORD flags;
    ASSERT_TRUE(wake != NULL && GetHandleInformation(wake, &flags)) << "closed under a callback still registered";
    setSpeakersMuted(TRUE);
    EXPECT_EQ(WaitForSingleObject(wake, 0), (DWORD)WAIT_OBJECT_0) << "the callback reached no event";
    simulatedSpeakers.muteUnregistrationRefused = 0;
    setSpeakersMuted(FALSE);
    pluginHeader.init();
    EXPECT_EQ(wakeSignals.wakeEvent, wake) << "the next start made a second event beside the one still signalled";
    ASSERT_TRUE(waitForWatchThreadWaits(callCounts.watchThreadWaits + 1, 2000));
    setSpeakersMuted(TRUE);
    EXPECT_TRUE(pumpMessagesUntil(2000, playerPausedByPlugin)) << "the kept event no longer wakes the loop";
    pluginHeader.quit();
    dropMuteCallbacks();
    wakeSignals.callbacksMayCome = 0;
    closeWakeEvents();
}

// The suspend broadcast is answered only once the player is paused; the pause stays the
// plug-in's until the system has resumed and no condition holds, a lock that came with the
// sleep included.
TEST_F(WatchThread, SleepPausesBeforeTheMachineSleepsAndHoldsUntilResumedAndUnlocked)
{
    playerWindow.playState = PLAY_STATE_PLAYING;
    writeTestSettings("[Hushgate]\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=10000\r\n");
    startCountingCalls();
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(1, 2000));
    broadcastSuspend();
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED) << "the machine would sleep with the music on";
    EXPECT_EQ(pluginState.pausedByPlugin, 1);
    setWorkstationLocked(TRUE);  // locked for the sleep
    broadcastResume();
    LONG waits = callCounts.watchThreadWaits;
    EXPECT_TRUE(waitForWatchThreadWaits(waits + 1, 2000)) << "no poll on resume";
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED) << "resumed on a locked workstation";
    setWorkstationLocked(FALSE);
    EXPECT_TRUE(pumpMessagesUntil(2000, playsOnAgain)) << "not resumed at the unlock";
    pluginHeader.quit();
}

struct FallbackRow {
    int row;
    const char *what;
    LONG sessionFailures;  // registrations refused before the session service is ready
    BOOL olderSystem;      // no wtsapi32 and no Core Audio, as on Windows 2000
    BOOL coreAudioRefuses;
    LONG registerCalls, registeredWindows, deviceClients;
};

// Whatever signal is missing, the loop polls at the interval as it always did; a session
// registration that failed is tried again at each poll until it holds, then never again.
TEST_F(WatchThread, WithoutItsSignalsItPollsAtTheIntervalAsBefore)
{
    static const FallbackRow rows[] = {
        {1, "session service not ready for three tries", 3, FALSE, FALSE, 4, 1, 1},
        {2, "Windows 2000", 0, TRUE, FALSE, 0, 0, 0},
        {3, "Core Audio refuses every registration", 0, FALSE, TRUE, 1, 1, 0},
    };
    for (const FallbackRow &row : rows) {
        resetConditions();
        simulatedSession.failuresToCome = row.sessionFailures;
        simulatedSession.libraryMissing = row.olderSystem;
        simulatedSession.coreAudioMissing = row.olderSystem;
        simulatedSpeakers.failing[SPEAKER_STEP_DEVICE_NOTICES] = row.coreAudioRefuses;
        simulatedSpeakers.failing[SPEAKER_STEP_MUTE_NOTICES] = row.coreAudioRefuses;
        playerWindow.playState = PLAY_STATE_PLAYING;
        writeTestSettings("[Hushgate]\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=100\r\n");
        startCountingCalls();
        pluginHeader.init();
        ASSERT_TRUE(waitForWatchThreadWaits(8, 3000)) << "row " << row.row;
        EXPECT_EQ(simulatedSession.registerCalls, row.registerCalls) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(simulatedSession.registeredWindows, row.registeredWindows) << "row " << row.row;
        EXPECT_EQ(simulatedSpeakers.deviceClients, row.deviceClients) << "row " << row.row;
        if (row.olderSystem) {
            EXPECT_EQ(simulatedSpeakers.calls[SPEAKER_STEP_CREATE], 0) << "row " << row.row << ": COM without Core Audio";
        }
        setWorkstationLocked(TRUE);
        EXPECT_TRUE(pumpMessagesUntil(2000, playerPausedByPlugin)) << "row " << row.row << ": no pause at the interval";
        setWorkstationLocked(FALSE);
        EXPECT_TRUE(pumpMessagesUntil(2000, playsOnAgain)) << "row " << row.row << ": no resume at the interval";
        pluginHeader.quit();
        expectNothingOfOursLeft(row.what);
    }
}

// --- where the lock term comes from --------------------------------------------------------

// A bare name is looked for beside the program first; the session library is taken from the
// system folder by its full path. Judged only where a bare name would reach the file planted
// beside this program (under Wine, with wtsapi32=n,b).
TEST_F(WatchThread, TheSessionLibraryComesFromTheSystemFolderWhateverSitsBesideThePlayer)
{
    WCHAR planted[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, planted, MAX_PATH);
    while (length > 0 && planted[length - 1] != L'\\')
        --length;
    planted[length] = L'\0';
    (void)lstrcatW(planted, L"wtsapi32.dll");
    HMODULE bare = LoadLibraryW(L"wtsapi32.dll");
    WCHAR bareFrom[MAX_PATH] = L"";
    (void)GetModuleFileNameW(bare, bareFrom, MAX_PATH);
    (void)FreeLibrary(bare);
    if (lstrcmpiW(bareFrom, planted) != 0)
        GTEST_SKIP() << "a bare name does not reach the file planted beside the program here";
    writeTestSettings("[Hushgate]\r\nCHECKTIME=100\r\n");
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(2, 3000));
    WCHAR loadedFrom[MAX_PATH] = L"";
    WCHAR expected[MAX_PATH];
    (void)GetModuleFileNameW(sessionLock.sessionLibrary, loadedFrom, MAX_PATH);
    UINT systemLength = GetSystemDirectoryW(expected, MAX_PATH);
    (void)lstrcpyW(expected + systemLength, L"\\wtsapi32.dll");
    char shown[2 * MAX_PATH];
    (void)WideCharToMultiByte(CP_UTF8, 0, loadedFrom, -1, shown, sizeof shown, NULL, NULL);
    EXPECT_EQ(lstrcmpiW(loadedFrom, expected), 0) << "loaded from " << shown;
    EXPECT_EQ(GetModuleHandleW(planted), (HMODULE)NULL) << "the planted file was loaded";
    pluginHeader.quit();
}

struct LockSourceRow {
    int row;
    const char *what;
    BOOL noSessionLibrary;       // Windows 2000
    LONG registrationFailures;   // the session service not running
    SessionInfoAnswer answer;    // what the session's extended information says
    BOOL windowsSeven;           // its lock flag inverted
    BOOL lockedAtStart;
    BOOL secureDesktop;          // an elevation prompt is up: the input desktop cannot be opened
    BOOL paused;
    BOOL probesAtEveryPoll;
    BOOL followsNotices;
    BOOL promptGoes;  // then the secure desktop goes: the music plays again
    BOOL lockOff;     // the switch is off: neither the session nor the desktop is asked
};

static LONG lockProbesAtWait[8];
static void recordLockProbes(void)
{
    LONG wait = callCounts.watchThreadWaits;
    if (wait < 8)
        lockProbesAtWait[wait] = callCounts.lockProbes;
}

// Where the session's notices are registered they decide, from what the session says when the
// registration first holds (the desktop probe once, where it says nothing): a secure desktop
// without a lock pauses nothing. The probe alone decides only where no registration holds.
TEST_F(WatchThread, TheLockIsWhatTheSessionSaysWhereItsNoticesHold)
{
    static const LockSourceRow rows[] = {
        {1, "the session says unlocked while a UAC prompt is up", FALSE, 0, SESSION_INFO_TELLS, FALSE, FALSE, TRUE,
         FALSE, FALSE, TRUE, FALSE, FALSE},
        {2, "the session says locked", FALSE, 0, SESSION_INFO_TELLS, FALSE, TRUE, FALSE, TRUE, FALSE, TRUE, FALSE, FALSE},
        {3, "Windows 7 inverts its flag: unlocked, a UAC prompt up", FALSE, 0, SESSION_INFO_TELLS, TRUE, FALSE, TRUE,
         FALSE, FALSE, TRUE, FALSE, FALSE},
        {4, "Windows 7 inverts its flag: locked", FALSE, 0, SESSION_INFO_TELLS, TRUE, TRUE, FALSE, TRUE, FALSE, TRUE,
         FALSE, FALSE},
        {5, "the session's state unknown: the probe, locked, looks again until it sees the desktop", FALSE, 0,
         SESSION_INFO_UNKNOWN, FALSE, TRUE, FALSE, TRUE, TRUE, TRUE, FALSE, FALSE},
        {6, "no answer, as under Wine: the probe once, unlocked", FALSE, 0, SESSION_INFO_FAILS, FALSE, FALSE, FALSE,
         FALSE, FALSE, TRUE, FALSE, FALSE},
        {7, "Windows 2000: the probe at every poll", TRUE, 0, SESSION_INFO_FAILS, FALSE, FALSE, TRUE, TRUE, TRUE, FALSE,
         FALSE, FALSE},
        {8, "the session service not running: the probe at every poll", FALSE, 1000, SESSION_INFO_TELLS, FALSE, FALSE,
         TRUE, TRUE, TRUE, FALSE, FALSE, FALSE},
        {9, "no answer and a UAC prompt up at the start: paused until the prompt goes", FALSE, 0, SESSION_INFO_FAILS,
         FALSE, FALSE, TRUE, TRUE, TRUE, TRUE, TRUE, FALSE},
        {10, "the lock switched off, a lock at the start: nothing asked", FALSE, 0, SESSION_INFO_TELLS, FALSE, TRUE, TRUE,
         FALSE, FALSE, TRUE, FALSE, TRUE},
    };
    for (const LockSourceRow &row : rows) {
        resetConditions();
        simulatedSession.libraryMissing = row.noSessionLibrary;
        simulatedSession.failuresToCome = row.registrationFailures;
        simulatedSession.infoAnswer = row.answer;
        simulatedSession.windowsSeven = row.windowsSeven;
        setWorkstationLocked(row.lockedAtStart);
        simulatedSession.secureDesktop = row.secureDesktop;
        playerWindow.playState = PLAY_STATE_PLAYING;
        pluginState.pausedByPlugin = 0;
        writeTestSettings(row.lockOff ? "[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=100\r\n"
                                      : "[Hushgate]\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=100\r\n");
        startCountingCalls();
        onWatchThreadWait = recordLockProbes;
        pluginHeader.init();
        EXPECT_TRUE(waitForWatchThreadWaits(6, 3000)) << "row " << row.row;
        onWatchThreadWait = NULL;
        EXPECT_EQ(playerPausedByPlugin(), row.paused) << "row " << row.row << ": " << row.what;
        LONG probes = lockProbesAtWait[5] - lockProbesAtWait[2];
        if (row.probesAtEveryPoll)
            EXPECT_EQ(probes, 3) << "row " << row.row << ": " << row.what;
        else
            EXPECT_EQ(probes, 0) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(sessionLock.followsNotices, row.followsNotices) << "row " << row.row;
        if (row.lockOff) {
            EXPECT_EQ(callCounts.lockProbes + simulatedSession.infoQueries, 0) << "row " << row.row << ": " << row.what;
        }
        if (row.promptGoes) {
            simulatedSession.secureDesktop = FALSE;
            EXPECT_TRUE(pumpMessagesUntil(2000, playsOnAgain)) << "row " << row.row << ": the probe's lock stuck";
        }
        pluginHeader.quit();
        EXPECT_EQ(simulatedSession.infoAnswersHeld, 0) << "row " << row.row << ": the answer was not freed";
        setWorkstationLocked(FALSE);
    }
}

// --- a wake with nobody there -------------------------------------------------------------

static void moveTheMouse(void)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    input.mi.dx = 1;
    (void)SendInput(1, &input, sizeof input);
    input.mi.dx = -1;
    (void)SendInput(1, &input, sizeof input);
}

struct WakeRow {
    int row;
    const char *what;
    WPARAM wake;               // the broadcast of the wake itself
    WPARAM thenBroadcast;      // a later one, or 0
    BOOL thenInput;            // the user moves the mouse after the wake
    BOOL resumes;
    DWORD asleepDays;          // the clock moves on while the machine sleeps
    BOOL lockQueued;           // a lock posted as the machine went to sleep still waits in the queue
    SessionInfoAnswer answer;  // what the session says of its lock when asked
    BOOL windowsSeven;         // and says it inverted
    BOOL signInOnWake;         // the sleep locks the session untold; the notice comes 300 ms after the wake
    BOOL lockAfterWake;        // a lock comes 300 ms after the wake, the user's own desktop up till then
    DWORD resumeAfterMs[2];    // the resume comes within this span of the wake, where it is judged
    BOOL unlockWhileAsked = FALSE;  // the lock and the unlock are told while the wake asks the session
};

static const DWORD LATE_LOCK_MS = 300;

// The second's wait after a user's wake ends by itself, whatever the polls do: with the player
// stopped no poll asks the conditions, and the loop still sleeps its interval once it is over.
TEST_F(WatchThread, TheWaitAfterAWakeEndsWhileThePlayerIsStopped)
{
    resetConditions();
    simulatedSession.infoAnswer = SESSION_INFO_FAILS;
    playerWindow.playState = PLAY_STATE_STOPPED;
    writeTestSettings("[Hushgate]\r\nCHECKTIME=500\r\n");
    startCountingCalls();
    pluginHeader.init();
    ASSERT_TRUE(waitForWatchThreadWaits(1, 2000));
    broadcastSuspend();
    broadcastWake(PBT_APMRESUMESUSPEND);
    pumpMessagesFor(1300);
    LONG waits = callCounts.watchThreadWaits;
    pumpMessagesFor(1000);
    EXPECT_LE(callCounts.watchThreadWaits - waits, 3) << "the watch thread spun once the wait was over";
    EXPECT_EQ(sleepHold.state, SLEEP_NONE);
    pluginHeader.quit();
}

// The sleep hold ends only on a wake with a user: the resume Windows sends after input, or the
// input itself should that broadcast be missed. The automatic resume alone keeps it. A user's
// wake into a session that is locked, or reports its lock only after the wake, never plays: the
// session says it is locked (Windows 7 inverted), else the desktop shows it, else the wake waits
// a second for the lock.
TEST_F(WatchThread, OnlyAWakeWithAUserResumes)
{
    const SessionInfoAnswer FAILS = SESSION_INFO_FAILS, TELLS = SESSION_INFO_TELLS;
    static const WakeRow rows[] = {
        {1, "the automatic resume alone: nobody there", PBT_APMRESUMEAUTOMATIC, 0, FALSE, FALSE, 0, FALSE, FAILS, FALSE,
         FALSE, FALSE, {0, 0}},
        {2, "then the user's resume", PBT_APMRESUMEAUTOMATIC, PBT_APMRESUMESUSPEND, FALSE, TRUE, 0, FALSE, FAILS, FALSE,
         FALSE, FALSE, {0, 0}},
        {3, "then input, the user's resume missed", PBT_APMRESUMEAUTOMATIC, 0, TRUE, TRUE, 0, FALSE, FAILS, FALSE, FALSE,
         FALSE, {0, 0}},
        {4, "the user's resume alone, the session says nothing: a second's wait for a lock", PBT_APMRESUMESUSPEND, 0,
         FALSE, TRUE, 0, FALSE, FAILS, FALSE, FALSE, FALSE, {900, 1500}},
        {5, "a critical resume alone", PBT_APMRESUMECRITICAL, 0, FALSE, FALSE, 0, FALSE, FAILS, FALSE, FALSE, FALSE,
         {0, 0}},
        {6, "asleep 26 days, then the automatic resume alone", PBT_APMRESUMEAUTOMATIC, 0, FALSE, FALSE, 26, FALSE, FAILS,
         FALSE, FALSE, FALSE, {0, 0}},
        {7, "the user's resume ahead of a lock still queued, then the unlock", PBT_APMRESUMESUSPEND, 0, FALSE, FALSE, 0,
         TRUE, FAILS, FALSE, FALSE, FALSE, {0, 0}},
        {8, "the user's resume, the session says unlocked: at once", PBT_APMRESUMESUSPEND, 0, FALSE, TRUE, 0, FALSE,
         TELLS, FALSE, FALSE, FALSE, {0, 400}},
        {9, "sign in on wake, the session says locked", PBT_APMRESUMESUSPEND, 0, FALSE, FALSE, 0, FALSE, TELLS, FALSE,
         TRUE, FALSE, {0, 0}},
        {10, "sign in on wake, Windows 7 says locked inverted", PBT_APMRESUMESUSPEND, 0, FALSE, FALSE, 0, FALSE, TELLS,
         TRUE, TRUE, FALSE, {0, 0}},
        {11, "sign in on wake, the session says nothing, Winlogon's desktop", PBT_APMRESUMESUSPEND, 0, FALSE, FALSE, 0,
         FALSE, FAILS, FALSE, TRUE, FALSE, {0, 0}},
        {12, "sign in on wake, woken by input after the automatic resume", PBT_APMRESUMEAUTOMATIC, 0, TRUE, FALSE, 0,
         FALSE, TELLS, FALSE, TRUE, FALSE, {0, 0}},
        {13, "a lock 300 ms after the wake, neither the session nor the desktop said it", PBT_APMRESUMESUSPEND, 0, FALSE,
         FALSE, 0, FALSE, FAILS, FALSE, FALSE, TRUE, {0, 0}},
        {14, "sign in on wake, woken by input, the user signing in while the session is asked", PBT_APMRESUMEAUTOMATIC,
         0, TRUE, TRUE, 0, FALSE, TELLS, FALSE, TRUE, FALSE, {0, 0}, TRUE},
    };
    for (const WakeRow &row : rows) {
        resetConditions();
        simulatedSession.infoAnswer = row.answer;
        simulatedSession.windowsSeven = row.windowsSeven;
        simulatedSession.lockToldAfterWake = row.signInOnWake;
        playerWindow.playState = PLAY_STATE_PLAYING;
        writeTestSettings("[Hushgate]\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=100\r\n");
        startCountingCalls();
        pluginHeader.init();
        ASSERT_TRUE(waitForWatchThreadWaits(1, 2000)) << "row " << row.row;
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING) << "row " << row.row << ": paused before the sleep";
        broadcastSuspend();
        EXPECT_TRUE(playerPausedByPlugin()) << "row " << row.row << ": the machine would sleep with the music on";
        simulatedSession.unlockWhileAsked = row.unlockWhileAsked;
        Sleep(20);  // the input a user made before the sleep is older than the wake
        moveClockOn(row.asleepDays * 86400000u);
        if (row.lockQueued)
            setWorkstationLockedPosted(TRUE);
        broadcastWake(row.wake);
        DWORD wokeAt = GetTickCount();
        // The wake counts only once the lock before it has been handled.
        if (row.lockQueued) {
            EXPECT_NE(sleepHold.state, SLEEP_NONE) << "row " << row.row << ": the wake overtook the lock";
        }
        if (row.thenInput)
            Sleep(20);
        if (row.thenInput && row.signInOnWake)
            moveTheMouse();
        if ((row.signInOnWake || row.lockAfterWake) && !row.unlockWhileAsked) {
            pumpMessagesFor(LATE_LOCK_MS);
            EXPECT_TRUE(playerPausedByPlugin()) << "row " << row.row << ": played into the lock: " << row.what;
            if (row.signInOnWake)
                postLockToldLate();
            else
                setWorkstationLockedPosted(TRUE);
        }
        EXPECT_TRUE(waitForWatchThreadWaits(callCounts.watchThreadWaits + 3, 2000)) << "row " << row.row;
        if (row.thenBroadcast != 0)
            broadcastWake(row.thenBroadcast);
        if (row.thenInput && !row.signInOnWake)
            moveTheMouse();
        if (row.resumes) {
            EXPECT_TRUE(pumpMessagesUntil(2000, playsOnAgain)) << "row " << row.row << ": " << row.what;
        } else {
            pumpMessagesFor(500);
            EXPECT_TRUE(playerPausedByPlugin()) << "row " << row.row << ": " << row.what;
        }
        DWORD resumedAfter = playerEventAt(playerWindow.eventCount - 1).tick - wokeAt;
        if (row.resumeAfterMs[1] != 0) {
            EXPECT_TRUE(resumedAfter >= row.resumeAfterMs[0] && resumedAfter <= row.resumeAfterMs[1])
                << "row " << row.row << ": resumed " << resumedAfter << " ms after the wake";
        }
        if (row.lockQueued || row.signInOnWake || row.lockAfterWake) {
            setWorkstationLocked(FALSE);
            EXPECT_TRUE(pumpMessagesUntil(2000, playsOnAgain)) << "row " << row.row << ": no resume after the unlock";
        }
        pluginHeader.quit();
    }
}

// --- the output the music plays on, told by its sessions ----------------------------------

static LONG playerSession = NO_SESSION;

static void playerMovesToTheHeadphones(void)
{
    removeSimulatedSession(playerSession);
    playerSession = addSimulatedSession(HEADPHONES, GetCurrentProcessId(), AudioSessionStateActive, FALSE);
}

static BOOL pausedForTheUser(void)
{
    return playerWindow.playState == PLAY_STATE_PAUSED && pluginState.pausedByPlugin == 0;
}

struct OutputSessionRow {
    int row;
    const char *what;
    LONG announcedUnlisted, sharedByProcesses;  // the simulated sessions' switches
};

// At an interval of 10 s only the notices can say where the music went: the player opens its
// output on the headphones, which are not the default; their unplugging then pauses at once,
// and the default going away before that paused nothing. So too where Windows leaves the
// sessions it announces out of its later lists, and where the player's session serves several
// processes.
TEST_F(WatchThread, TheOutputFollowsThePlayersSessionThroughItsNotices)
{
    static const OutputSessionRow rows[] = {
        {1, "every session listed, one process each", 0, 0},
        {2, "the sessions announced left out of later lists", 1, 0},
        {3, "sessions serving several processes", 0, 1},
    };
    for (const OutputSessionRow &row : rows) {
        resetConditions();
        plugInHeadphones();
        playerSession = addSimulatedSession(HEADPHONES, GetCurrentProcessId(), AudioSessionStateActive, FALSE);
        simulatedSessions.announcedUnlisted = row.announcedUnlisted;
        simulatedSessions.sharedByProcesses = row.sharedByProcesses;
        playerWindow.playState = PLAY_STATE_PLAYING;
        writeTestSettings("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nISMUTE=0\r\nCHECKTIME=10000\r\n");
        startCountingCalls();
        pluginHeader.init();
        ASSERT_TRUE(waitForWatchThreadWaits(1, 2000)) << "row " << row.row;
        EXPECT_TRUE(playerSessionNoticesHold()) << "row " << row.row << ": the player's sessions are not watched";
        // The player starts over on the speakers, the headphones stay the default; then they go.
        removeSimulatedSession(playerSession);
        playerSession = addSimulatedSession(SPEAKERS, GetCurrentProcessId(), AudioSessionStateActive, FALSE);
        EXPECT_TRUE(waitForWatchThreadWaits(callCounts.watchThreadWaits + 2, 2000)) << "row " << row.row << ": no poll for the new session";
        LONG events = playerWindow.eventCount;
        unplugHeadphones();
        pumpMessagesFor(300);
        EXPECT_EQ(playerWindow.eventCount, events) << "row " << row.row << " (" << row.what << "): the default going away paused the player";
        plugInHeadphones();
        playerMovesToTheHeadphones();
        EXPECT_TRUE(waitForWatchThreadWaits(callCounts.watchThreadWaits + 2, 2000)) << "row " << row.row << ": no poll for the move";
        unplugHeadphones();
        EXPECT_TRUE(pumpMessagesUntil(2000, pausedForTheUser))
            << "row " << row.row << " (" << row.what << "): the headphones the music played on went unseen";
        pluginHeader.quit();
        expectNothingOfOursLeft("sessions watched");
        EXPECT_EQ(simulatedSessions.creationListeners, 0) << "row " << row.row;
        EXPECT_EQ(simulatedSessions.stateListeners, 0) << "row " << row.row;
        EXPECT_EQ(simulatedSessions.liveObjects, 0) << "row " << row.row << ": a session object was not released";
    }
}

// --- what one poll asks -------------------------------------------------------------------

struct PollCalls {
    LONG queries, saverFlags, lockProbes, enumerators, endpointLists, sessionLists, deviceReads, defaultReads, muteReads,
        jackReads;
};
static PollCalls callsAtWait[12];

static void recordPollCalls(void)
{
    LONG wait = callCounts.watchThreadWaits;
    if (wait >= 12)
        return;
    PollCalls &calls = callsAtWait[wait];
    calls.queries = playerWindow.queryCount;
    calls.saverFlags = callCounts.screenSaverQuery;
    calls.lockProbes = callCounts.lockProbes;
    calls.enumerators = simulatedSpeakers.calls[SPEAKER_STEP_CREATE];
    calls.endpointLists = simulatedSpeakers.calls[SPEAKER_STEP_ENUMERATE];
    calls.sessionLists = simulatedSessions.calls[SESSION_STEP_ENUMERATOR];
    calls.deviceReads = simulatedSpeakers.calls[SPEAKER_STEP_GET_DEVICE];
    calls.defaultReads = simulatedSpeakers.calls[SPEAKER_STEP_DEFAULT_DEVICE];
    calls.muteReads = simulatedSpeakers.calls[SPEAKER_STEP_GET_MUTE];
    calls.jackReads = simulatedJacks.reads;
}

struct PollCallRow {
    int row;
    const char *what;
    BOOL noSessionNotices;
    BOOL noDeviceNotices;
    PollCalls perPoll;  // over three polls; -1: at least one
    BOOL merged = FALSE;   // the speakers' endpoint also serves the headphone jack
    LONG playState = PLAY_STATE_PLAYING;
};

// A poll where every notice holds asks only what no notice tells: the play state, the
// screen-saver flag, the mutes and whether the output is still there, with the enumerator the
// thread keeps. Where a notice is missing, the poll asks what it would have told.
TEST_F(WatchThread, APollAsksOnlyWhatNoNoticeTells)
{
    static const PollCallRow rows[] = {
        {1, "every notice holds", FALSE, FALSE, {1, 1, 0, 0, 0, 0, 1, 1, 1, 0}},
        {2, "no session notices: the desktop probe", TRUE, FALSE, {1, 1, 1, 0, 0, 0, 1, 1, 1, 0}},
        {3, "no device notices: the output looked up", FALSE, TRUE, {1, 1, 0, 0, -1, -1, 1, -1, 1, 0}},
        {4, "a merged output: its headphone jack (built-in speakers cannot be pulled)", FALSE, FALSE,
         {1, 1, 0, 0, 0, 0, 1, 1, 1, 1}, TRUE},
        {5, "stopped on a merged output: the play state alone", FALSE, FALSE, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, TRUE,
         PLAY_STATE_STOPPED},
    };
    for (const PollCallRow &row : rows) {
        resetConditions();
        simulatedSession.libraryMissing = row.noSessionNotices;
        simulatedSpeakers.failing[SPEAKER_STEP_DEVICE_NOTICES] = row.noDeviceNotices;
        mergeSpeakersAndHeadphones(row.merged);
        (void)addSimulatedSession(SPEAKERS, GetCurrentProcessId(), AudioSessionStateActive, FALSE);
        playerWindow.playState = row.playState;
        writeTestSettings("[Hushgate]\r\nCHECKTIME=100\r\n");
        startCountingCalls();
        onWatchThreadWait = recordPollCalls;
        pluginHeader.init();
        EXPECT_TRUE(waitForWatchThreadWaits(8, 3000)) << "row " << row.row;
        onWatchThreadWait = NULL;
        pluginHeader.quit();
        const PollCalls &from = callsAtWait[4], &to = callsAtWait[7];
        const LONG seen[] = {to.queries - from.queries,         to.saverFlags - from.saverFlags,
                             to.lockProbes - from.lockProbes,   to.enumerators - from.enumerators,
                             to.endpointLists - from.endpointLists, to.sessionLists - from.sessionLists,
                             to.deviceReads - from.deviceReads, to.defaultReads - from.defaultReads,
                             to.muteReads - from.muteReads,     to.jackReads - from.jackReads};
        const LONG *wanted = &row.perPoll.queries;
        static const char *const names[] = {"play-state queries", "screen-saver flags", "desktop probes",
                                            "enumerators made",   "endpoint lists",     "session lists",
                                            "output checks",      "default devices read", "speaker mutes read",
                                            "jacks read"};
        for (int call = 0; call < 10; ++call) {
            if (wanted[call] < 0)
                EXPECT_GE(seen[call], 3) << "row " << row.row << ": " << names[call];
            else
                EXPECT_EQ(seen[call], 3 * wanted[call]) << "row " << row.row << ": " << row.what << ", " << names[call];
        }
    }
}
