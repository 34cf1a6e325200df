// Shared set-up for the plug-in's tests: the player window lives on the test's thread, so
// that the thread pumps for it while the watch thread sends.
#include "test_support.h"

#include <mmsystem.h>
#include <stdio.h>
#include <tlhelp32.h>

#include "engine/ignored_programs.h"
#include "engine/master_mute.h"
#include "engine/output_device.h"
#include "engine/session_lock.h"
#include "engine/sleep_hold.h"
#include "engine/transport_filter.h"
#include "engine/wake_signals.h"
#include "import_patch.h"
#include "playback_model.h"
#include "plugin_loader.h"
#include "simulated_sessions.h"
#include "simulated_jacks.h"
#include "simulated_speakers.h"

CallCounts callCounts;
void (*onWatchThreadWait)(void);
volatile LONG mixerDeviceGone;
volatile LONG mixerCallFailuresToCome;
volatile LONG mixerCallsTakeLong;
void (*duringLockProbe)(void);
HDESK lastInputDesktopOpened;
static volatile LONG counting;

// Bound from the system DLLs themselves: this program's own imports are the patched ones.
static MMRESULT(WINAPI *realMixerOpen)(LPHMIXER, UINT, DWORD_PTR, DWORD_PTR, DWORD);
static MMRESULT(WINAPI *realMixerClose)(HMIXER);
static MMRESULT(WINAPI *realMixerGetControlDetailsA)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
static MMRESULT(WINAPI *realMixerSetControlDetails)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
static HDESK(WINAPI *realOpenInputDesktop)(DWORD, BOOL, ACCESS_MASK);
static BOOL(WINAPI *realSystemParametersInfoA)(UINT, UINT, PVOID, UINT);
static DWORD(WINAPI *realWaitForMultipleObjects)(DWORD, const HANDLE *, BOOL, DWORD);
static HRESULT(WINAPI *realCoInitializeEx)(LPVOID, DWORD);
static void(WINAPI *realCoUninitialize)(void);
static BOOL(WINAPI *realGetVersionExA)(LPOSVERSIONINFOA);
static DWORD(WINAPI *realGetTickCount)(void);
DWORD reportedMajorVersion;
static BOOL(WINAPI *realGetLastInputInfo)(PLASTINPUTINFO);
static volatile LONG clockAheadMs;
static volatile LONG clockHeld;
static volatile DWORD heldTick;
volatile DWORD simulatedInputTick;

static DWORD WINAPI clockAhead(void)
{
    if (clockHeld)
        return heldTick;
    return realGetTickCount() + (DWORD)clockAheadMs;
}

void moveClockTo(DWORD tick)
{
    // A held clock may leap further than half its range: a machine asleep for weeks.
    if (clockHeld) {
        heldTick = tick;
        return;
    }
    LONG ahead = (LONG)(tick - realGetTickCount());
    if (ahead > clockAheadMs)
        clockAheadMs = ahead;
}

void moveClockOn(DWORD ms)
{
    if (clockHeld)
        heldTick += ms;
    else
        clockAheadMs = (LONG)((DWORD)clockAheadMs + ms);
}

void holdClockAt(DWORD tick)
{
    heldTick = tick;
    clockHeld = 1;
}

static BOOL WINAPI inputOfChoice(PLASTINPUTINFO input)
{
    if (simulatedInputTick == 0)
        return realGetLastInputInfo(input);
    input->dwTime = simulatedInputTick;
    return TRUE;
}

// Every apartment the plug-in enters, and every one it leaves, on any thread.
static HRESULT WINAPI countedCoInitializeEx(LPVOID reserved, DWORD model)
{
    HRESULT result = realCoInitializeEx(reserved, model);
    if (SUCCEEDED(result))
        InterlockedIncrement(&callCounts.comEnters);
    return result;
}

static void WINAPI countedCoUninitialize(void)
{
    InterlockedIncrement(&callCounts.comLeaves);
    realCoUninitialize();
}

static BOOL WINAPI versionOfChoice(LPOSVERSIONINFOA version)
{
    BOOL result = realGetVersionExA(version);
    if (reportedMajorVersion != 0)
        version->dwMajorVersion = reportedMajorVersion;
    return result;
}

// The mixer handles the plug-in holds open now, to tell a call on one it has closed.
enum { TRACKED_MIXERS = 16 };
static HMIXER volatile openMixers[TRACKED_MIXERS];

static void trackMixer(HMIXER opened, HMIXER closed)
{
    for (HMIXER volatile &slot : openMixers) {
        if (InterlockedCompareExchangePointer((PVOID volatile *)&slot, opened, closed) == closed)
            return;
    }
}

static BOOL mixerCallFails(void)
{
    if (mixerDeviceGone)
        return TRUE;
    LONG left = mixerCallFailuresToCome;
    return left > 0 && InterlockedCompareExchange(&mixerCallFailuresToCome, left - 1, left) == left;
}

static void noteCallOn(HMIXEROBJ mixer)
{
    if (mixerCallsTakeLong)
        Sleep(1);
    for (HMIXER open : openMixers) {
        if (open == (HMIXER)mixer)
            return;
    }
    if (counting)
        InterlockedIncrement(&callCounts.callsOnClosedMixer);
}

static MMRESULT WINAPI countedMixerOpen(LPHMIXER mixer, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    MMRESULT result = realMixerOpen(mixer, id, callback, instance, flags);
    if (counting)
        InterlockedIncrement(&callCounts.mixerOpenAttempts);
    if (counting && result == MMSYSERR_NOERROR)
        InterlockedIncrement(&callCounts.mixerOpen);
    if (result == MMSYSERR_NOERROR)
        trackMixer(*mixer, NULL);
    callCounts.mixerOpenCallback = callback;
    callCounts.mixerOpenFlags = flags;
    return result;
}

static MMRESULT WINAPI countedMixerClose(HMIXER mixer)
{
    if (counting)
        InterlockedIncrement(&callCounts.mixerClose);
    trackMixer(NULL, mixer);
    return realMixerClose(mixer);
}

static MMRESULT WINAPI countedMixerGetControlDetailsA(HMIXEROBJ mixer, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    if (counting)
        InterlockedIncrement(&callCounts.mixerDetails);
    noteCallOn(mixer);
    if (mixerCallFails())
        return MMSYSERR_NODRIVER;
    return realMixerGetControlDetailsA(mixer, details, flags);
}

static MMRESULT WINAPI failableMixerSetControlDetails(HMIXEROBJ mixer, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    noteCallOn(mixer);
    if (mixerCallFails())
        return MMSYSERR_NODRIVER;
    return realMixerSetControlDetails(mixer, details, flags);
}

// --- processes made up: an id, the program it runs, when it was made -----------------------

enum { SIMULATED_PROCESSES = 8 };
struct SimulatedProcess {
    DWORD processId;  // 0: a free place
    WCHAR path[MAX_PATH];
    FILETIME created;
};
static SimulatedProcess simulatedProcesses[SIMULATED_PROCESSES];
static ULONGLONG lastCreation = 0x01DD000000000000ull;  // in 2026; each new process a second later
// A handle to a made-up process is its place in the table, far above any real handle's value.
static const ULONG_PTR SIMULATED_HANDLE_BASE = 0x7FFF0000u;

void startSimulatedProcess(DWORD processId, const WCHAR *fileName)
{
    SimulatedProcess *place = NULL;
    for (SimulatedProcess &process : simulatedProcesses) {
        if (process.processId == processId || (place == NULL && process.processId == 0))
            place = &process;
    }
    if (place == NULL)
        return;
    place->processId = processId;
    wsprintfW(place->path, L"C:\\Program Files\\%s", fileName);
    lastCreation += 10000000u;
    place->created.dwLowDateTime = (DWORD)lastCreation;
    place->created.dwHighDateTime = (DWORD)(lastCreation >> 32);
}

volatile LONG simulatedProcessTimesRefused;

void endSimulatedProcesses(void)
{
    ZeroMemory(simulatedProcesses, sizeof simulatedProcesses);
    simulatedProcessTimesRefused = 0;
}

static SimulatedProcess *simulatedProcessOf(HANDLE handle)
{
    ULONG_PTR place = (ULONG_PTR)handle - SIMULATED_HANDLE_BASE;
    if ((ULONG_PTR)handle < SIMULATED_HANDLE_BASE || place >= SIMULATED_PROCESSES * 4 || place % 4 != 0)
        return NULL;
    return simulatedProcesses[place / 4].processId != 0 ? &simulatedProcesses[place / 4] : NULL;
}

static HANDLE(WINAPI *realOpenProcess)(DWORD, BOOL, DWORD);
static HANDLE WINAPI countedOpenProcess(DWORD access, BOOL inherit, DWORD processId)
{
    if (counting)
        InterlockedIncrement(&callCounts.processesOpened);
    for (LONG place = 0; place < SIMULATED_PROCESSES; ++place) {
        if (processId != 0 && simulatedProcesses[place].processId == processId)
            return (HANDLE)(SIMULATED_HANDLE_BASE + 4 * (ULONG_PTR)place);
    }
    return realOpenProcess(access, inherit, processId);
}

static BOOL(WINAPI *realCloseHandle)(HANDLE);
static BOOL WINAPI simulatedCloseHandle(HANDLE handle)
{
    return (ULONG_PTR)handle >= SIMULATED_HANDLE_BASE && (ULONG_PTR)handle < SIMULATED_HANDLE_BASE + 4 * SIMULATED_PROCESSES
               ? TRUE
               : realCloseHandle(handle);
}

static BOOL(WINAPI *realGetProcessTimes)(HANDLE, LPFILETIME, LPFILETIME, LPFILETIME, LPFILETIME);
static BOOL WINAPI simulatedGetProcessTimes(HANDLE handle, LPFILETIME created, LPFILETIME exited, LPFILETIME kernel,
                                            LPFILETIME user)
{
    SimulatedProcess *process = simulatedProcessOf(handle);
    if (process == NULL)
        return realGetProcessTimes(handle, created, exited, kernel, user);
    if (simulatedProcessTimesRefused) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *created = process->created;
    ZeroMemory(exited, sizeof *exited);
    ZeroMemory(kernel, sizeof *kernel);
    ZeroMemory(user, sizeof *user);
    return TRUE;
}

// The plug-in finds the name query at run time (Windows 2000 and XP lack it).
static BOOL(WINAPI *realQueryImageName)(HANDLE, DWORD, LPWSTR, PDWORD);
static BOOL WINAPI countedQueryImageName(HANDLE handle, DWORD flags, LPWSTR path, PDWORD length)
{
    if (counting)
        InterlockedIncrement(&callCounts.namesRead);
    SimulatedProcess *process = simulatedProcessOf(handle);
    if (process == NULL)
        return realQueryImageName != NULL && realQueryImageName(handle, flags, path, length);
    DWORD needed = (DWORD)lstrlenW(process->path);
    if (*length <= needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    (void)lstrcpyW(path, process->path);
    *length = needed;
    return TRUE;
}

static FARPROC(WINAPI *previousGetProcAddress)(HMODULE, LPCSTR);
static FARPROC WINAPI simulatedGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC found = previousGetProcAddress(module, name);
    if (found != NULL && HIWORD((ULONG_PTR)name) != 0 && lstrcmpA(name, "QueryFullProcessImageNameW") == 0)
        return (FARPROC)(void *)countedQueryImageName;
    return found;
}

static HDESK WINAPI countedOpenInputDesktop(DWORD flags, BOOL inherit, ACCESS_MASK access)
{
    if (counting)
        InterlockedIncrement(&callCounts.lockProbes);
    if (duringLockProbe != NULL)
        duringLockProbe();
    if (simulatedSession.secureDesktop) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    lastInputDesktopOpened = realOpenInputDesktop(flags, inherit, access);
    return lastInputDesktopOpened;
}

static BOOL WINAPI countedSystemParametersInfoA(UINT action, UINT parameter, PVOID value, UINT flags)
{
    if (counting && action == SPI_GETSCREENSAVERRUNNING)
        InterlockedIncrement(&callCounts.screenSaverQuery);
    return realSystemParametersInfoA(action, parameter, value, flags);
}

// The watch thread's wait between two polls: each one begun follows a completed poll.
static DWORD WINAPI countedWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds)
{
    if (GetCurrentThreadId() == pluginState.watchThreadId) {
        callCounts.lastWaitMs = milliseconds;
        InterlockedIncrement(&callCounts.watchThreadWaits);
        if (pluginState.stopRequested)
            InterlockedIncrement(&callCounts.watchThreadWaitsAfterStop);
        if (onWatchThreadWait != NULL)
            onWatchThreadWait();
    }
    return realWaitForMultipleObjects(count, handles, all, milliseconds);
}

static LONG waitTarget;
static BOOL waitsReached(void)
{
    return callCounts.watchThreadWaits >= waitTarget;
}

BOOL waitForWatchThreadWaits(LONG target, DWORD timeoutMs)
{
    waitTarget = target;
    return pumpMessagesUntil(timeoutMs, waitsReached);
}

static void patchTestProgramImports(void)
{
    static BOOL patched;
    if (patched)
        return;
    patched = TRUE;
    HMODULE self = GetModuleHandleA(NULL);
    // First: the counting below takes over its OpenInputDesktop and keeps its secure desktop.
    (void)interceptLockProbe(self);
    (void)interceptImport(self, "winmm.dll", "mixerOpen", countedMixerOpen, realMixerOpen);
    (void)interceptImport(self, "winmm.dll", "mixerClose", countedMixerClose, realMixerClose);
    (void)interceptImport(self, "winmm.dll", "mixerGetControlDetailsA", countedMixerGetControlDetailsA,
                          realMixerGetControlDetailsA);
    (void)interceptImport(self, "winmm.dll", "mixerSetControlDetails", failableMixerSetControlDetails,
                          realMixerSetControlDetails);
    (void)interceptImport(self, "user32.dll", "OpenInputDesktop", countedOpenInputDesktop, realOpenInputDesktop);
    (void)interceptImport(self, "user32.dll", "SystemParametersInfoA", countedSystemParametersInfoA,
                          realSystemParametersInfoA);
    (void)interceptImport(self, "kernel32.dll", "WaitForMultipleObjects", countedWaitForMultipleObjects,
                          realWaitForMultipleObjects);
    (void)interceptImport(self, "ole32.dll", "CoInitializeEx", countedCoInitializeEx, realCoInitializeEx);
    (void)interceptImport(self, "ole32.dll", "CoUninitialize", countedCoUninitialize, realCoUninitialize);
    (void)interceptImport(self, "kernel32.dll", "GetVersionExA", versionOfChoice, realGetVersionExA);
    (void)interceptImport(self, "kernel32.dll", "GetTickCount", clockAhead, realGetTickCount);
    (void)interceptImport(self, "user32.dll", "GetLastInputInfo", inputOfChoice, realGetLastInputInfo);
    (void)interceptImport(self, "kernel32.dll", "OpenProcess", countedOpenProcess, realOpenProcess);
    (void)interceptImport(self, "kernel32.dll", "GetProcessTimes", simulatedGetProcessTimes, realGetProcessTimes);
    (void)interceptImport(self, "kernel32.dll", "CloseHandle", simulatedCloseHandle, realCloseHandle);
    bindSystemFunction(realQueryImageName, "kernel32.dll", "QueryFullProcessImageNameW");
    // Behind the lock probe's own, which hands out the simulated session library.
    previousGetProcAddress = (FARPROC(WINAPI *)(HMODULE, LPCSTR))patchImport(self, "kernel32.dll", "GetProcAddress",
                                                                             (void *)simulatedGetProcAddress);
    (void)interceptSpeakers(self);
}

void startCountingCalls(void)
{
    ZeroMemory((void *)&callCounts, sizeof callCounts);
    counting = 1;
}

void stopCountingCalls(void)
{
    counting = 0;
}

void PluginTest::SetUp()
{
    patchTestProgramImports();
    (void)CreateDirectoryA(testAppDataFolder(), NULL);
    (void)SetEnvironmentVariableA("APPDATA", testAppDataFolder());
    removeTestSettings();
    ZeroMemory(&pluginState, sizeof pluginState);
    clockAheadMs = 0;
    clockHeld = 0;
    simulatedInputTick = 0;
    // Every test starts as a freshly loaded module would: no callback left with the system.
    wakeSignals.callbacksMayCome = 0;
    // The poll looks at the stop request under its lock, as init leaves it for the thread.
    InitializeCriticalSection(&pluginState.stopLock);
    pluginState.stopLockReady = 1;
    prepareMixerLock();
    releaseMixer();
    forgetOutputDevice();
    outputDevice.lookupWanted = 0;
    setIgnoredPrograms(L"", FALSE);
    endSimulatedProcesses();
    ZeroMemory((void *)&sessionLock, sizeof sessionLock);
    ZeroMemory((void *)&sleepHold, sizeof sleepHold);
    onWatchThreadWait = NULL;
    resetConditions();
    (void)fillPluginHeader();  // as the export does for the player
    pluginHeader.hwndParent = createPlayerWindow(GetModuleHandleA(NULL), FALSE, NULL);
    ASSERT_TRUE(pluginHeader.hwndParent != NULL) << "cannot create a window: is the display running?";
    pluginHeader.hDllInstance = GetModuleHandleA(NULL);
    pluginState.osMajorVersion = 6;
    pluginState.hasCoreAudio = 1;
    setSettings(1, 1, 1, 500);
    pluginState.settings.isDeviceLost = 1;
    clearPlayerLog();
    filterInstalled = FALSE;
}

void PluginTest::TearDown()
{
    // Windows would have deadlocked on such a callback: every test fails on one.
    settleNotices();
    EXPECT_EQ(noticeThreads.ruleBreaks, 0) << "a callback registered, unregistered or released what called it";
    noticeThreads.ruleBreaks = 0;
    noticeThreads.fromOwnThreads = 0;
    stopCountingCalls();
    onWatchThreadWait = NULL;
    duringLockProbe = NULL;
    if (filterInstalled && IsWindow(pluginHeader.hwndParent))
        (void)SetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC, (LONG)pluginState.previousWndProc);
    destroyPlayerWindow();
    prepareMixerLock();  // a quit in the test may have deleted it
    releaseMixer();
    resetConditions();
    closeConditionMixer();
    removeTestSettings();
    (void)RemoveDirectoryA(testAppDataFolder());
}

void PluginTest::installFilter(void)
{
    pluginState.previousWndProc =
        (WNDPROC)SetWindowLongA(pluginHeader.hwndParent, GWL_WNDPROC, (LONG)transportFilterProc);
    filterInstalled = TRUE;
}

void PluginTest::setSettings(LONG isLock, LONG isScreenSave, LONG isMute, LONG checkTime)
{
    pluginState.settings.isLock = isLock;
    pluginState.settings.isScreenSave = isScreenSave;
    pluginState.settings.isMute = isMute;
    pluginState.settings.checkTime = checkTime;
}

void PluginTest::resetConditions(void)
{
    settleNotices();  // nothing of the last change may reach the next
    mixerDeviceGone = 0;
    mixerCallFailuresToCome = 0;
    mixerCallsTakeLong = 0;
    reportedMajorVersion = 0;
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    resetSimulatedSessions();
    resetSimulatedSession();
    setWorkstationLocked(FALSE);
    setScreenSaverRunning(FALSE);
    (void)setSystemMute(FALSE);
}

LONG PluginTest::pauseTogglesSeen(void)
{
    LONG toggles = 0;
    for (LONG i = 0; i < playerWindow.eventCount; ++i) {
        if (playerEventAt(i).id == CMD_PAUSE)
            ++toggles;
    }
    return toggles;
}

BOOL applyStepToPlayer(const Step &step)
{
    switch (step.kind) {
    case STEP_LOCK:
        setWorkstationLocked(step.value);
        return TRUE;
    case STEP_SCREEN_SAVER:
        setScreenSaverRunning(step.value);
        return TRUE;
    case STEP_MUTE:
        (void)setSystemMute(step.value);
        return TRUE;
    case STEP_SPEAKER_MUTE:
        setSpeakersMuted(step.value);
        return TRUE;
    case STEP_COMMAND:
        pressPlayerButton((WORD)step.value);
        return TRUE;
    default:
        return FALSE;
    }
}

const char *testSettingsPath(void)
{
    static char path[MAX_PATH];
    if (path[0] == '\0')
        (void)pathBesideProgram(path, "plugin.ini");
    return path;
}

const char *testAppDataFolder(void)
{
    static char path[MAX_PATH];
    if (path[0] == '\0')
        (void)pathBesideProgram(path, "appdata");
    return path;
}

const char *testUserSettingsPath(void)
{
    static char path[MAX_PATH];
    if (path[0] == '\0')
        (void)pathBesideProgram(path, "appdata\\Hushgate\\plugin.ini");
    return path;
}

std::wstring widePath(const char *path)
{
    WCHAR wide[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) == 0)
        wide[0] = L'\0';
    return wide;
}

static void removeSettingsFile(const WCHAR *path)
{
    (void)SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    (void)DeleteFileW(path);
    // The profile functions cache the last file they touched; flush that cache.
    (void)WritePrivateProfileStringW(NULL, NULL, NULL, path);
}

void removeTestSettings(void)
{
    removeSettingsFile(widePath(testSettingsPath()).c_str());
    removeSettingsUnder(widePath(testAppDataFolder()));
}

void writeTestSettings(const char *contents, const char *path)
{
    writeTestSettings(contents, widePath(path).c_str());
}

void writeTestSettings(const char *contents, const WCHAR *path)
{
    removeSettingsFile(path);
    // A folder the plug-in must make itself is made here only for a file the test puts there.
    std::wstring folder = path;
    (void)CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), NULL);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written;
    ASSERT_TRUE(WriteFile(file, contents, lstrlenA(contents), &written, NULL));
    CloseHandle(file);
}

void readTestSettings(char *buffer, DWORD size, const char *path)
{
    readTestSettings(buffer, size, widePath(path).c_str());
}

void readTestSettings(char *buffer, DWORD size, const WCHAR *path)
{
    (void)WritePrivateProfileStringW(NULL, NULL, NULL, path);
    buffer[0] = '\0';
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD read = 0;
    (void)ReadFile(file, buffer, size - 1, &read, NULL);
    buffer[read] = '\0';
    CloseHandle(file);
}

std::wstring makeUnicodeFolder(const WCHAR *prefix)
{
    char program[MAX_PATH];
    (void)pathBesideProgram(program, "");
    // "Жив-日本": Cyrillic and CJK, which no Western ANSI code page holds.
    std::wstring folder = widePath(program) + prefix + L"-\x0416\x0438\x0432-\x65E5\x672C";
    (void)CreateDirectoryW(folder.c_str(), NULL);
    return folder;
}

void removeSettingsUnder(const std::wstring &folder)
{
    removeSettingsFile((folder + L"\\plugin.ini").c_str());
    removeSettingsFile((folder + L"\\Hushgate\\plugin.ini").c_str());
    (void)RemoveDirectoryW((folder + L"\\Hushgate").c_str());
}

static BOOL CALLBACK findOwnSignalWindow(HWND window, LPARAM found)
{
    DWORD process = 0;
    char className[32];
    (void)GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !GetClassNameA(window, className, sizeof className) ||
        lstrcmpA(className, "HushgateSignals") != 0)
        return TRUE;
    *(HWND *)found = window;
    return FALSE;
}

HWND ownSignalWindow(void)
{
    HWND found = NULL;
    (void)EnumWindows(findOwnSignalWindow, (LPARAM)&found);
    return found;
}

LONG countOpenHandles(void)
{
    LONG open = 0;
    for (DWORD value = 4; value < 0x4000; value += 4) {
        DWORD flags;
        if (GetHandleInformation((HANDLE)(ULONG_PTR)value, &flags))
            ++open;
    }
    return open;
}

LONG countThreads(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    LONG threads = 0;
    DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self)
            ++threads;
    }
    CloseHandle(snapshot);
    return threads;
}
