// The three probes through the real desktop, screen-saver and mixer services (the lock
// through an intercepted SwitchDesktop). Also run on a machine without a mixer.
#include "engine/master_mute.h"
#include "engine/pause_conditions.h"
#include "engine/session_lock.h"
#include "test_support.h"

#include <mmsystem.h>
#include <stdlib.h>

class PauseConditions : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        machineHasMixer = mixerGetNumDevs() > 0;
        if (getenv("HUSHGATE_EXPECT_NO_MIXER") != NULL) {
            ASSERT_FALSE(machineHasMixer) << "this run must see no mixer";
        }
    }
    BOOL machineHasMixer;
};

struct ConditionRow {
    int row;
    LONG isLock, isScreenSave, isMute;
    BOOL locked, saver, muted;
    BOOL hold;
    LONG lockProbes, saverQueries, mixerReads;  // every enabled probe runs, no other
};

TEST_F(PauseConditions, EveryEnabledProbeRunsAndAnyHeldConditionHolds)
{
    static const ConditionRow rows[] = {
        {1, 0, 0, 0, TRUE, TRUE, TRUE, FALSE, 0, 0, 0},
        {2, 1, 1, 1, FALSE, FALSE, FALSE, FALSE, 1, 1, 1},
        {3, 1, 1, 1, TRUE, TRUE, FALSE, TRUE, 1, 1, 1},
        {4, 1, 1, 1, FALSE, TRUE, FALSE, TRUE, 1, 1, 1},
        {5, 1, 1, 1, TRUE, FALSE, FALSE, TRUE, 1, 1, 1},
        {6, 1, 1, 1, FALSE, FALSE, TRUE, TRUE, 1, 1, 1},
        {7, 1, 0, 0, FALSE, TRUE, TRUE, FALSE, 1, 0, 0},
        {8, 0, 1, 0, TRUE, FALSE, TRUE, FALSE, 0, 1, 0},
        {9, 0, 0, 1, TRUE, TRUE, FALSE, FALSE, 0, 0, 1},
        {10, 0, 0, 7, FALSE, FALSE, TRUE, TRUE, 0, 0, 1},
        {11, -1, 0, 0, TRUE, FALSE, FALSE, TRUE, 1, 0, 0},
    };
    for (const ConditionRow &row : rows) {
        setSettings(row.isLock, row.isScreenSave, row.isMute, 500);
        setWorkstationLocked(row.locked);
        setScreenSaverRunning(row.saver);
        (void)setSystemMute(row.muted);
        // Without a mixer only the mute term changes: it never holds.
        BOOL expected = row.hold;
        if (!machineHasMixer && row.muted && !(row.isLock && row.locked) && !(row.isScreenSave && row.saver))
            expected = FALSE;
        startCountingCalls();
        BOOL hold = shouldHoldPlayback();
        stopCountingCalls();
        EXPECT_EQ(hold != FALSE, expected != FALSE) << "row " << row.row;
        EXPECT_EQ(callCounts.lockProbes, row.lockProbes) << "row " << row.row;
        EXPECT_EQ(callCounts.screenSaverQuery, row.saverQueries) << "row " << row.row;
        if (machineHasMixer)
            EXPECT_EQ(callCounts.mixerDetails, row.mixerReads) << "row " << row.row;
        else
            EXPECT_EQ(callCounts.mixerOpenAttempts, row.mixerReads) << "row " << row.row;
    }
}

TEST_F(PauseConditions, MuteSettingOffNeverOpensTheMixer)
{
    setSettings(1, 1, 0, 500);
    (void)setSystemMute(TRUE);
    startCountingCalls();
    for (int poll = 0; poll < 5; ++poll)
        EXPECT_FALSE(shouldHoldPlayback());
    stopCountingCalls();
    EXPECT_EQ(callCounts.mixerOpenAttempts, 0);
    EXPECT_EQ(masterMute.mixerHandle, (HMIXER)NULL);
    EXPECT_EQ(masterMute.muteControlId, (DWORD)MUTE_CONTROL_UNLOCATED);
}

TEST_F(PauseConditions, MixerOpensAtFirstUseAndRemembersTheControl)
{
    setSettings(0, 0, 1, 500);
    startCountingCalls();
    for (int poll = 0; poll < 5; ++poll)
        (void)shouldHoldPlayback();
    stopCountingCalls();
    if (!machineHasMixer) {
        EXPECT_EQ(callCounts.mixerOpenAttempts, 5) << "a failed open is tried again at every use";
        EXPECT_FALSE(writeMasterMute(0));
        EXPECT_EQ(readMasterMute(), 0);
        return;
    }
    EXPECT_EQ(callCounts.mixerOpenAttempts, 1);
    EXPECT_EQ(callCounts.mixerDetails, 5);
    EXPECT_NE(masterMute.muteControlId, (DWORD)MUTE_CONTROL_UNLOCATED);
    ASSERT_TRUE(setSystemMute(TRUE));
    EXPECT_NE(readMasterMute(), 0);
    EXPECT_TRUE(writeMasterMute(0));
    EXPECT_EQ(readSystemMute(), 0);
    startCountingCalls();
    releaseMixer();
    stopCountingCalls();
    EXPECT_EQ(callCounts.mixerClose, 1);
    EXPECT_EQ(masterMute.mixerHandle, (HMIXER)NULL);
    EXPECT_EQ(masterMute.muteControlId, (DWORD)MUTE_CONTROL_UNLOCATED);
}

static HANDLE startLine;
static volatile LONG mutedReads;

static DWORD WINAPI readMuteWhenStarted(LPVOID)
{
    (void)WaitForSingleObject(startLine, INFINITE);
    if (readMasterMute() != 0)
        InterlockedIncrement(&mutedReads);
    return 0;
}

TEST_F(PauseConditions, FirstUseOnTwoThreadsAtOnceLeavesOneMixerOpen)
{
    if (!machineHasMixer)
        GTEST_SKIP() << "needs a mixer";
    ASSERT_TRUE(setSystemMute(TRUE));
    startCountingCalls();
    const int rounds = 100;
    mutedReads = 0;
    for (int round = 0; round < rounds; ++round) {
        releaseMixer();
        startLine = CreateEventA(NULL, TRUE, FALSE, NULL);
        HANDLE readers[2];
        for (HANDLE &reader : readers)
            reader = CreateThread(NULL, 0, readMuteWhenStarted, NULL, 0, NULL);
        (void)SetEvent(startLine);
        (void)WaitForMultipleObjects(2, readers, TRUE, INFINITE);
        for (HANDLE reader : readers)
            CloseHandle(reader);
        CloseHandle(startLine);
        ASSERT_EQ(callCounts.mixerOpen - callCounts.mixerClose, 1) << "round " << round;
    }
    releaseMixer();
    stopCountingCalls();
    EXPECT_EQ(callCounts.mixerOpen, callCounts.mixerClose);
    EXPECT_EQ(mutedReads, 2 * rounds) << "a reader saw a control without its open mixer";
}

TEST_F(PauseConditions, ScreenSaverIsSeenByTheFlagFromVersionFiveAndByItsDesktopBefore)
{
    setSettings(0, 1, 0, 500);
    static const struct {
        int row;
        DWORD osMajorVersion;
        BOOL flag;
        BOOL desktop;
        BOOL running;
    } rows[] = {
        {1, 6, TRUE, FALSE, TRUE},  {2, 5, TRUE, FALSE, TRUE}, {3, 5, FALSE, TRUE, FALSE},
        {4, 4, TRUE, FALSE, FALSE}, {5, 4, FALSE, TRUE, TRUE}, {6, 4, FALSE, FALSE, FALSE},
    };
    for (const auto &row : rows) {
        pluginState.osMajorVersion = row.osMajorVersion;
        setScreenSaverRunning(row.flag);
        HDESK screenSaver = NULL;
        if (row.desktop)
            screenSaver = CreateDesktopA("screen-saver", NULL, NULL, 0, GENERIC_ALL, NULL);
        EXPECT_EQ(isScreenSaverRunning() != FALSE, row.running != FALSE) << "row " << row.row;
        EXPECT_EQ(shouldHoldPlayback() != FALSE, row.running != FALSE) << "row " << row.row;
        if (screenSaver != NULL)
            CloseDesktop(screenSaver);
    }
}

// Only the desktop that has the input is probed, never "Default" by name, so a user on
// another desktop stays there.
TEST_F(PauseConditions, LockIsSeenWhenTheInputDesktopCannotBeOpenedOrSwitchedTo)
{
    static const struct {
        int row;
        BOOL switchFails, openRefused;
        BOOL locked;
    } rows[] = {{1, FALSE, FALSE, FALSE}, {2, TRUE, FALSE, TRUE}, {3, FALSE, TRUE, TRUE}};
    for (const auto &row : rows) {
        setWorkstationLocked(row.switchFails);
        simulatedSession.secureDesktop = row.openRefused;
        lastInputDesktopOpened = NULL;
        lastDesktopSwitchedTo = NULL;
        startCountingCalls();
        EXPECT_EQ(isWorkstationLocked() != FALSE, row.locked != FALSE) << "row " << row.row;
        stopCountingCalls();
        EXPECT_EQ(callCounts.lockProbes, 1) << "row " << row.row;
        // The switch goes to the very desktop that has the input, never to one found by name.
        if (!row.openRefused) {
            EXPECT_NE(lastInputDesktopOpened, (HDESK)NULL) << "row " << row.row;
            EXPECT_EQ(lastDesktopSwitchedTo, lastInputDesktopOpened) << "row " << row.row;
        }
    }
    setSettings(0, 0, 0, 500);
    EXPECT_FALSE(shouldHoldPlayback());
}

static volatile LONG mixerRaceOver;

static DWORD WINAPI useTheMixerUntilOver(LPVOID write)
{
    while (!mixerRaceOver) {
        if (write)
            (void)writeMasterMute(0);
        else
            (void)readMasterMute();
    }
    return 0;
}

// Both threads read and write while the device keeps failing, which releases the mixer: no call
// ever reaches a handle that the other thread has closed meanwhile.
TEST_F(PauseConditions, NoMixerCallReachesAHandleTheOtherThreadClosed)
{
    if (!machineHasMixer)
        GTEST_SKIP() << "needs a mixer";
    mixerRaceOver = 0;
    mixerCallsTakeLong = 1;
    startCountingCalls();
    HANDLE reader = CreateThread(NULL, 0, useTheMixerUntilOver, (LPVOID)0, 0, NULL);
    HANDLE writer = CreateThread(NULL, 0, useTheMixerUntilOver, (LPVOID)1, 0, NULL);
    // One failed call at a time, each followed by a fresh open: Wine's mixer stops answering
    // after 256 opens in one process.
    for (int failure = 0; failure < 40; ++failure) {
        mixerCallFailuresToCome = 1;
        Sleep(5);
    }
    mixerRaceOver = 1;
    (void)WaitForSingleObject(reader, 5000);
    (void)WaitForSingleObject(writer, 5000);
    CloseHandle(reader);
    CloseHandle(writer);
    mixerCallFailuresToCome = 0;
    stopCountingCalls();
    EXPECT_GT(callCounts.mixerOpen, 5) << "the device never came and went";
    EXPECT_LT(callCounts.mixerOpen, 100);
    EXPECT_EQ(callCounts.callsOnClosedMixer, 0);
}

// A sound card unplugged: every call on the handle the plug-in holds fails from then on. After
// a failed call the next use opens the mixer again, instead of failing until the player restarts.
TEST_F(PauseConditions, AMixerThatWentAwayIsOpenedAgainAfterAFailedCall)
{
    if (!machineHasMixer)
        GTEST_SKIP() << "needs a mixer";
    ASSERT_TRUE(setSystemMute(TRUE));
    ASSERT_NE(readMasterMute(), 0);
    for (BOOL (*use)(void) : {+[]() -> BOOL { return readMasterMute() != 0; }, +[]() -> BOOL { return writeMasterMute(0); }}) {
        mixerDeviceGone = 1;
        EXPECT_FALSE(use());
        mixerDeviceGone = 0;
        ASSERT_TRUE(setSystemMute(TRUE));
        startCountingCalls();
        EXPECT_NE(readMasterMute(), 0);
        stopCountingCalls();
        EXPECT_EQ(callCounts.mixerOpen, 1) << "the mixer was not opened again";
    }
}
