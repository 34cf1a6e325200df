// What the plug-in's tests share: a hidden player window on the test's own thread with the
// plug-in's state reset around it, call counters on the plug-in's imports, and files.
#pragma once
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "conditions.h"
#include "notice_threads.h"
#include "player_window.h"
#include "plugin/plugin.h"

// The plug-in's platform calls, counted per thread kind. The plug-in is linked into the test
// program, so its imports are the program's: only calls while counting is on are counted.
struct CallCounts {
    volatile LONG mixerOpenAttempts;
    volatile LONG mixerOpen;  // successful opens, to set against closes
    volatile LONG mixerClose;
    volatile LONG mixerDetails;
    volatile LONG callsOnClosedMixer;  // a details call on a handle not open at that moment
    DWORD_PTR mixerOpenCallback;        // where the last open asked for its notices
    DWORD mixerOpenFlags;
    volatile LONG lockProbes;  // input desktops opened
    volatile LONG screenSaverQuery;
    volatile LONG watchThreadWaits;  // waits between two polls begun by the watch thread
    volatile LONG watchThreadWaitsAfterStop;
    volatile LONG lastWaitMs;  // the timeout of the last one: the interval
    volatile LONG comEnters;           // successful CoInitializeEx calls, to set against leaves
    volatile LONG comLeaves;
    volatile LONG processesOpened;  // the other programs' names and creation times looked up
    volatile LONG namesRead;        // the other programs' image names asked for
};
extern CallCounts callCounts;
void startCountingCalls(void);
void stopCountingCalls(void);

// Lets a test run code on the watch thread as it begins its wait between two polls.
extern void (*onWatchThreadWait)(void);
// Makes the plug-in's mixer control calls fail, as they do once its sound card is unplugged;
// or only the next few of them.
extern volatile LONG mixerDeviceGone;
extern volatile LONG mixerCallFailuresToCome;
// Makes each of those calls take a millisecond, as a busy driver's may: races show.
extern volatile LONG mixerCallsTakeLong;
// The major version GetVersionExA reports to the plug-in; 0 for the system's own.
extern DWORD reportedMajorVersion;
// The desktop the lock probe opened last, to set beside the one it switched to.
extern HDESK lastInputDesktopOpened;
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

// Moves this program's clock (GetTickCount, the plug-in's included) ahead to the tick: a test
// lives through the seconds of the call rule at once. Only ever forward within a test, so every
// wait keeps its sense; each test starts on the system's own clock again, which input times and
// the like are given in.
void moveClockTo(DWORD tick);
// Moves the clock on by any leap, even past half its range (a machine asleep for weeks).
void moveClockOn(DWORD ms);
// Holds the clock at the tick from now on: only moveClockTo moves it, so that a walk's times
// are exact to the millisecond, and by any leap forward.
void holdClockAt(DWORD tick);
// The tick of the last input the plug-in sees (GetLastInputInfo), when nonzero; else the
// system's own.
extern volatile DWORD simulatedInputTick;

// Processes the tests make up, as Windows shows them to the plug-in (OpenProcess, its creation
// time, its image name): a process id and the program it runs. Started again, an id belongs to a
// new process of a later creation time, as when Windows hands the id of one that ended to another.
void startSimulatedProcess(DWORD processId, const WCHAR *fileName);
void endSimulatedProcesses(void);
// While set, a simulated process's times cannot be read (access refused, or the process ending).
extern volatile LONG simulatedProcessTimesRefused;

// The watch thread's begun waits reach the target: each one follows a completed poll.
BOOL waitForWatchThreadWaits(LONG target, DWORD timeoutMs);

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
// Makes the file's folder when it is missing.
void writeTestSettings(const char *contents, const char *path = testSettingsPath());
// Reads the whole file, byte for byte; empty when it does not exist.
void readTestSettings(char *buffer, DWORD size, const char *path = testSettingsPath());

// The same for paths outside the ANSI code page.
std::wstring widePath(const char *path);
void writeTestSettings(const char *contents, const WCHAR *path);
void readTestSettings(char *buffer, DWORD size, const WCHAR *path);
// A folder beside the test program, made if missing, whose name has Cyrillic and CJK letters
// after the prefix: outside the ANSI code page of a Western system.
std::wstring makeUnicodeFolder(const WCHAR *prefix);
// The plugin.ini the plug-in may have left in the folder, and its Hushgate folder with its own.
void removeSettingsUnder(const std::wstring &folder);

// The plug-in's hidden signal window in this process (other test programs may run beside it).
HWND ownSignalWindow(void);

// Counts the open handles of this process by probing every candidate value.
LONG countOpenHandles(void);
// Counts the threads of this process by probing every thread id (no snapshot under Wine).
LONG countThreads(void);
