// What the plug-in's tests share: a hidden player window on the test's own thread with the
// plug-in's state reset around it, call counters on the plug-in's imports, and files.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include "conditions.h"
#include "engine/engine.h"
#include "player_window.h"
#include "plugin/plugin.h"

// The plug-in's platform calls, counted per thread kind. The plug-in is linked into the test
// program, so its imports are the program's: only calls while counting is on are counted.
struct CallCounts {
    volatile LONG mixerOpenAttempts;
    volatile LONG mixerOpen;  // successful opens, to set against closes
    volatile LONG mixerClose;
    volatile LONG mixerDetails;
    volatile LONG lockProbes;  // input desktops opened
    volatile LONG screenSaverQuery;
    volatile LONG watchThreadSleeps;
    volatile LONG watchThreadSleepsAfterStop;
    volatile LONG completedIntervals;
    volatile LONG lastIntervalSlices;  // slices slept between the last two polls
    volatile LONG comEnters;           // successful CoInitializeEx calls, to set against leaves
    volatile LONG comLeaves;
};
extern CallCounts callCounts;
void startCountingCalls(void);
void stopCountingCalls(void);

// Lets a test run code on the watch thread's Sleep: called with the slice's number since the
// last poll, before the real sleep.
extern void (*onWatchThreadSleep)(LONG sliceSincePoll);
// Makes the plug-in's OpenInputDesktop fail, as it does while Winlogon's desktop has the input.
extern volatile LONG inputDesktopRefused;
// Makes the plug-in's mixer control calls fail, as they do once its sound card is unplugged.
extern volatile LONG mixerDeviceGone;
// The major version GetVersionExA reports to the plug-in; 0 for the system's own.
extern DWORD reportedMajorVersion;
// Called inside the plug-in's lock probe, to act while its conditions are being evaluated.
extern void (*duringLockProbe)(void);

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Puts the filter in front of the player window as init does, without starting the thread.
    void installFilter(void);
    void setSettings(LONG isLock, LONG isScreenSave, LONG isMute, LONG checkTime);
    void resetConditions(void);
    LONG pauseTogglesSeen(void);
    BOOL filterInstalled;
};

struct Step;
// Acts out a condition change or a user's command on the player; FALSE for other steps.
BOOL applyStepToPlayer(const Step &step);

// The plug-in's plugin.ini beside the test program, and its per-user one under the scratch
// folder each test gives as APPDATA, so that no test reaches the real profile.
const char *testSettingsPath(void);
const char *testAppDataFolder(void);
const char *testUserSettingsPath(void);
// Both files and the per-user folder.
void removeTestSettings(void);
void writeTestSettings(const char *contents, const char *path = testSettingsPath());
// Reads the whole file; empty when it does not exist.
void readTestSettings(char *buffer, DWORD size, const char *path = testSettingsPath());

// Counts the open handles of this process by probing every candidate value.
LONG countOpenHandles(void);
// Counts the threads of this process by probing every thread id (no snapshot under Wine).
LONG countThreads(void);
