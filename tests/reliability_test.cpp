// The real gen_hushgate_amp.dll in the stand-in player's window, with its imports intercepted
// to count, to fail and to follow the watch thread: load/unload cycles, a random walk with the
// real thread, injected faults, the host's own ways of ending it, and hostile settings files.
// A vectored handler sees every fault, even those Wine swallows inside window procedures.
#include "test_support.h"

#include <mmsystem.h>
#include <stdio.h>
#include <stdlib.h>

#include "import_patch.h"
#include "playback_model.h"
#include "plugin_loader.h"
#include "simulated_sessions.h"
#include "simulated_jacks.h"
#include "simulated_speakers.h"

// --- what the interception sees and does ---------------------------------------------------

struct Interception {
    volatile LONG mixerOpens, mixerCloses;
    volatile LONG waitsEntered;  // the watch thread's waits between polls
    volatile LONG threadsCreated;
    HANDLE watchThread;  // our own duplicate of the handle the plug-in created
    volatile LONG failMixerOpen, failMixerDetails;
    HANDLE waitHang;  // while set, the watch thread's next wait blocks on it: a hung platform call
    HANDLE mixerHang;  // while set, the watch thread's next mixer read blocks on it, holding the mixer
    volatile LONG insideHungMixerCall;
    DWORD playerThreadId;
    volatile DWORD windowProcedureSetOnThread;  // the thread of the plug-in's last SetWindowLongA
    volatile DWORD classUnregisteredOnThread;   // and of its last UnregisterClassA
    BOOL signalsLeft;  // after the last quit: a window, class, registration or callback of ours
};
static Interception seen;

static MMRESULT(WINAPI *systemMixerOpen)(LPHMIXER, UINT, DWORD_PTR, DWORD_PTR, DWORD);
static MMRESULT(WINAPI *systemMixerClose)(HMIXER);
static MMRESULT(WINAPI *systemMixerGetControlDetailsA)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
static DWORD(WINAPI *systemWaitForMultipleObjects)(DWORD, const HANDLE *, BOOL, DWORD);
static LONG(WINAPI *systemSetWindowLongA)(HWND, int, LONG);

static LONG WINAPI interceptedSetWindowLongA(HWND window, int index, LONG value)
{
    seen.windowProcedureSetOnThread = GetCurrentThreadId();
    return systemSetWindowLongA(window, index, value);
}

static BOOL(WINAPI *systemUnregisterClassA)(LPCSTR, HINSTANCE);

static BOOL WINAPI interceptedUnregisterClassA(LPCSTR name, HINSTANCE module)
{
    seen.classUnregisteredOnThread = GetCurrentThreadId();
    return systemUnregisterClassA(name, module);
}
static HANDLE(WINAPI *systemCreateThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);

static HANDLE WINAPI interceptedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                             LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD id)
{
    HANDLE thread = systemCreateThread(security, stack, start, parameter, flags, id);
    InterlockedIncrement(&seen.threadsCreated);
    if (thread != NULL)
        (void)DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &seen.watchThread, SYNCHRONIZE, FALSE, 0);
    return thread;
}

static MMRESULT WINAPI interceptedMixerOpen(LPHMIXER mixer, UINT id, DWORD_PTR callback, DWORD_PTR data, DWORD flags)
{
    if (seen.failMixerOpen)
        return MMSYSERR_BADDEVICEID;
    MMRESULT result = systemMixerOpen(mixer, id, callback, data, flags);
    if (result == MMSYSERR_NOERROR)
        InterlockedIncrement(&seen.mixerOpens);
    return result;
}

static MMRESULT WINAPI interceptedMixerClose(HMIXER mixer)
{
    InterlockedIncrement(&seen.mixerCloses);
    return systemMixerClose(mixer);
}

static MMRESULT WINAPI interceptedMixerGetControlDetailsA(HMIXEROBJ mixer, LPMIXERCONTROLDETAILS details, DWORD flags)
{
    if (seen.failMixerDetails)
        return MMSYSERR_ERROR;
    // A slow driver: a USB sound card going away can hold a call for seconds.
    HANDLE hang = seen.mixerHang;
    if (hang != NULL && GetCurrentThreadId() != seen.playerThreadId) {
        seen.insideHungMixerCall = 1;
        (void)WaitForSingleObject(hang, 3000);
        seen.insideHungMixerCall = 0;
    }
    return systemMixerGetControlDetailsA(mixer, details, flags);
}

static DWORD WINAPI interceptedWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds)
{
    InterlockedIncrement(&seen.waitsEntered);
    if (seen.waitHang != NULL)
        (void)WaitForSingleObject(seen.waitHang, 10000);
    return systemWaitForMultipleObjects(count, handles, all, milliseconds);
}

static void interceptImports(HMODULE plugin)
{
    (void)interceptImport(plugin, "kernel32.dll", "CreateThread", interceptedCreateThread, systemCreateThread);
    (void)interceptImport(plugin, "winmm.dll", "mixerOpen", interceptedMixerOpen, systemMixerOpen);
    (void)interceptImport(plugin, "winmm.dll", "mixerClose", interceptedMixerClose, systemMixerClose);
    (void)interceptImport(plugin, "winmm.dll", "mixerGetControlDetailsA", interceptedMixerGetControlDetailsA,
                          systemMixerGetControlDetailsA);
    (void)interceptImport(plugin, "kernel32.dll", "WaitForMultipleObjects", interceptedWaitForMultipleObjects,
                          systemWaitForMultipleObjects);
    (void)interceptImport(plugin, "user32.dll", "SetWindowLongA", interceptedSetWindowLongA, systemSetWindowLongA);
    (void)interceptImport(plugin, "user32.dll", "UnregisterClassA", interceptedUnregisterClassA, systemUnregisterClassA);
    (void)interceptLockProbe(plugin);
    (void)interceptSpeakers(plugin);
}

// A fault in the plug-in, or in code it left the player to return into, ends the run at
// once with its address: inside a window procedure Wine would swallow it and carry on.
static LONG CALLBACK stopAtFault(EXCEPTION_POINTERS *exception)
{
    DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_ILLEGAL_INSTRUCTION &&
        code != EXCEPTION_STACK_OVERFLOW && code != EXCEPTION_PRIV_INSTRUCTION)
        return EXCEPTION_CONTINUE_SEARCH;
    fprintf(stderr, "fault 0x%08lx at %p during %s\n", code, exception->ExceptionRecord->ExceptionAddress,
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

static LONG envCount(const char *name, LONG fallback)
{
    const char *text = getenv(name);
    return text != NULL && atoi(text) > 0 ? atoi(text) : fallback;
}

// --- the harness ---------------------------------------------------------------------------

class HostedPlugin : public ::testing::Test {
protected:
    static char pluginPath[MAX_PATH];
    static char settingsPath[MAX_PATH];
    LoadedPlugin plugin;
    WNDPROC originalProc;

    static void SetUpTestSuite()
    {
        // A private copy, so that its plugin.ini is this suite's alone.
        char folder[MAX_PATH], source[MAX_PATH];
        (void)pathBesideProgram(source, "..\\gen_hushgate_amp.dll");
        (void)pathBesideProgram(folder, "hosted");
        (void)CreateDirectoryA(folder, NULL);
        wsprintfA(pluginPath, "%s\\gen_hushgate_amp.dll", folder);
        wsprintfA(settingsPath, "%s\\plugin.ini", folder);
        (void)CopyFileA(source, pluginPath, FALSE);
        // A per-user file left in the prefix would be read first; none is ever written here.
        (void)SetEnvironmentVariableA("APPDATA", folder);
        (void)AddVectoredExceptionHandler(1, stopAtFault);
    }

    void SetUp() override
    {
        ZeroMemory(&plugin, sizeof plugin);
        ZeroMemory((void *)&seen, sizeof seen);
        seen.playerThreadId = GetCurrentThreadId();
        (void)DeleteFileA(settingsPath);
        ASSERT_TRUE(createPlayerWindow(GetModuleHandleA(NULL), FALSE, NULL) != NULL)
            << "cannot create a window: is the display running?";
        originalProc = (WNDPROC)GetWindowLongA(playerWindow.hwnd, GWL_WNDPROC);
        clearPlayerLog();
        togglesFromPlugin = 0;
        playerWindow.onEvent = countPluginToggle;
        resetConditions();
    }

    void TearDown() override
    {
        stop();
        destroyPlayerWindow();
        resetConditions();
        closeConditionMixer();
        (void)DeleteFileA(settingsPath);
    }

    static void resetConditions(void)
    {
        resetSimulatedSpeakers();
        resetSimulatedJacks();
        resetSimulatedSessions();
        resetSimulatedSession();
        setWorkstationLocked(FALSE);
        setScreenSaverRunning(FALSE);
        (void)setSystemMute(FALSE);
    }

    void writeSettings(const char *contents)
    {
        HANDLE file = CreateFileA(settingsPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD written;
        (void)WriteFile(file, contents, lstrlenA(contents), &written, NULL);
        CloseHandle(file);
    }

    BOOL start(const char *settings = "[Hushgate]\r\nCHECKTIME=100\r\n")
    {
        if (settings != NULL)
            writeSettings(settings);
        char error[LOADER_MESSAGE_SIZE];
        if (!openPlugin(pluginPath, playerWindow.hwnd, plugin, error)) {
            ADD_FAILURE() << error;
            return FALSE;
        }
        interceptImports(plugin.module);
        (void)plugin.header->init();
        return TRUE;
    }

    static PluginHeader *quittingHeader;
    static DWORD WINAPI quitHere(LPVOID)
    {
        quittingHeader->quit();
        return 0;
    }
    static HANDLE quittingThread;
    static DWORD quittingThreadId;
    static BOOL quitReturned(void)
    {
        return WaitForSingleObject(quittingThread, 0) == WAIT_OBJECT_0;
    }
    // A host may quit from a worker thread while its window thread goes on serving messages.
    void quitOnAnotherThread(void)
    {
        quittingHeader = plugin.header;
        quittingThread = CreateThread(NULL, 0, quitHere, NULL, 0, &quittingThreadId);
        ASSERT_TRUE(pumpMessagesUntil(10000, quitReturned)) << "quit on a worker thread never returned";
        CloseHandle(quittingThread);
    }

    // quit, then FreeLibrary; TRUE when the watch thread had ended by the time quit returned.
    BOOL stop(BOOL onAnotherThread = FALSE)
    {
        if (plugin.module == NULL)
            return TRUE;
        if (onAnotherThread)
            quitOnAnotherThread();
        else
            plugin.header->quit();
        WNDCLASSA signalClass;
        seen.signalsLeft = ownSignalWindow() != NULL ||
                           GetClassInfoA(plugin.module, "HushgateSignals", &signalClass) ||
                           simulatedSession.registeredWindows != 0 || simulatedSpeakers.deviceClients != 0 ||
                           simulatedSpeakers.muteCallbacks != 0 || simulatedSessions.creationListeners != 0 ||
                           simulatedSessions.stateListeners != 0 || simulatedSessions.liveObjects != 0;
        BOOL ended = seen.watchThread != NULL && WaitForSingleObject(seen.watchThread, 0) == WAIT_OBJECT_0;
        if (seen.watchThread != NULL)
            CloseHandle(seen.watchThread);
        seen.watchThread = NULL;
        FreeLibrary(plugin.module);
        plugin.module = NULL;
        return ended;
    }

    // Waits until the watch thread has begun n more waits: each one follows a completed poll.
    static LONG waitTarget;
    static BOOL polledEnough(void)
    {
        return seen.waitsEntered >= waitTarget;
    }
    BOOL waitForPolls(LONG more, DWORD timeoutMs = 3000)
    {
        waitTarget = seen.waitsEntered + more;
        return pumpMessagesUntil(timeoutMs, polledEnough);
    }

    // Counted as they arrive: the player's log keeps only its latest events.
    static LONG togglesFromPlugin;
    static void countPluginToggle(const PlayerEvent &event)
    {
        if (event.fromOtherThread && event.id == CMD_PAUSE)
            ++togglesFromPlugin;
    }
    LONG pluginToggles(void)
    {
        return togglesFromPlugin;
    }
};
char HostedPlugin::pluginPath[MAX_PATH];
char HostedPlugin::settingsPath[MAX_PATH];
PluginHeader *HostedPlugin::quittingHeader;
HANDLE HostedPlugin::quittingThread;
DWORD HostedPlugin::quittingThreadId;
LONG HostedPlugin::waitTarget;
LONG HostedPlugin::togglesFromPlugin;

// --- load and unload -----------------------------------------------------------------------

// Another program's capture on the headset's microphone: a call that comes and goes.
static LONG callSession = NO_SESSION;
static void toggleCall(void)
{
    if (simulatedSessionState(callSession) == AudioSessionStateExpired)
        callSession = addSimulatedSession(HEADSET, GetCurrentProcessId() + 4, AudioSessionStateInactive, FALSE);
    BOOL capturing = simulatedSessionState(callSession) == AudioSessionStateActive;
    setSimulatedSessionState(callSession, capturing ? AudioSessionStateInactive : AudioSessionStateActive);
}

// The player's own audio session comes and goes, or changes state, on whatever is the default.
static LONG cycleSession = NO_SESSION;
static void changePlayerSession(void)
{
    if (simulatedSessionDevice(cycleSession) == NO_SESSION)
        cycleSession = addSimulatedSession(simulatedSpeakers.defaultDevice, GetCurrentProcessId(),
                                           AudioSessionStateActive, FALSE);
    else if (rand() % 2 == 0)
        removeSimulatedSession(cycleSession);
    else
        setSimulatedSessionState(cycleSession, simulatedSessionState(cycleSession) == AudioSessionStateActive
                                                   ? AudioSessionStateInactive
                                                   : AudioSessionStateActive);
}

static void toggleConditionAtRandom(void)
{
    switch (rand() % 9) {
    case 5:
        changePlayerSession();
        break;
    case 6:
        simulatedSession.secureDesktop = !simulatedSession.secureDesktop;
        break;
    case 7:
        broadcastSuspend();
        broadcastWake(PBT_APMRESUMEAUTOMATIC);
        break;
    case 8:
        toggleCall();
        break;
    case 3:
        setSpeakersMuted(!speakersMuted());
        break;
    case 4:
        if (headphonesUnplugged())
            plugInHeadphones();
        else
            unplugHeadphones();
        break;
    case 0:
        setWorkstationLocked(!workstationLocked());
        break;
    case 1:
        setScreenSaverRunning(!screenSaverRunning());
        break;
    case 2:
        (void)setSystemMute(!readSystemMute());
        break;
    }
}

TEST_F(HostedPlugin, SurvivesLoadUnloadCyclesAndLeavesNothingBehind)
{
    LONG cycles = envCount("HUSHGATE_CYCLES", 60);
    srand(1207);
    // One warm-up cycle: the first mixer use starts the audio stack's own threads for good.
    ASSERT_TRUE(start());
    playerWindow.playState = PLAY_STATE_PLAYING;
    (void)setSystemMute(TRUE);
    waitForPolls(2);
    ASSERT_TRUE(stop());
    resetConditions();
    pumpMessagesFor(100);
    LONG handlesBefore = countOpenHandles();
    LONG threadsBefore = countThreads();
    ZeroMemory((void *)&seen, sizeof seen);
    seen.playerThreadId = GetCurrentThreadId();
    printf("load/unload: %ld cycles (HUSHGATE_CYCLES)\n", cycles);
    for (LONG cycle = 0; cycle < cycles; ++cycle) {
        playerWindow.playState = cycle % 3 == 0 ? PLAY_STATE_STOPPED : PLAY_STATE_PLAYING;
        ASSERT_TRUE(start()) << "cycle " << cycle;
        DWORD runFor = rand() % 701;
        for (DWORD ran = 0; ran < runFor; ran += 50) {
            if (rand() % 4 == 0)
                toggleConditionAtRandom();
            pumpMessagesFor(50 < runFor - ran ? 50 : runFor - ran);
        }
        ASSERT_NE(ownSignalWindow(), (HWND)NULL) << "cycle " << cycle << ": init made no signal window";
        // Every other cycle the host quits from a worker thread, which cannot destroy the window.
        BOOL quitElsewhere = cycle % 2 == 1;
        ASSERT_TRUE(stop(quitElsewhere)) << "cycle " << cycle << ": the watch thread outlived quit";
        ASSERT_FALSE(seen.signalsLeft) << "cycle " << cycle << ": a window, class or registration outlived quit"
                                       << (quitElsewhere ? " on a worker thread" : "");
        ASSERT_EQ(GetModuleHandleA(pluginPath), (HMODULE)NULL) << "cycle " << cycle << ": the module stayed mapped";
        // The filter is taken off on the player's thread, never beside a message it is handling;
        // the class goes only once the window's last message has returned (Windows holds a
        // window destroyed inside a message sent to it until then), so on the quitting thread.
        ASSERT_EQ(seen.windowProcedureSetOnThread, seen.playerThreadId) << "cycle " << cycle;
        ASSERT_EQ(seen.classUnregisteredOnThread, quitElsewhere ? quittingThreadId : seen.playerThreadId)
            << "cycle " << cycle;
        ASSERT_EQ((WNDPROC)GetWindowLongA(playerWindow.hwnd, GWL_WNDPROC), originalProc) << "cycle " << cycle;
        // A window left behind would take this into the unmapped module: the fault handler ends the run.
        DWORD_PTR ignored;
        (void)SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, 0, SMTO_ABORTIFHUNG, 500, &ignored);
        LONG events = playerWindow.eventCount, queries = playerWindow.queryCount;
        pumpMessagesFor(rand() % 3 == 0 ? 120 : 5);
        ASSERT_EQ(playerWindow.eventCount, events) << "cycle " << cycle << ": a command after quit";
        ASSERT_EQ(playerWindow.queryCount, queries) << "cycle " << cycle << ": a query after quit";
    }
    resetConditions();
    pumpMessagesFor(100);
    EXPECT_EQ(seen.mixerOpens, seen.mixerCloses);
    EXPECT_EQ(countOpenHandles(), handlesBefore);
    EXPECT_EQ(countThreads(), threadsBefore);
}

// --- the walk with the real thread ---------------------------------------------------------

// Acts right after the watch thread has begun a wait, so that no poll runs meanwhile, then
// lets one poll follow: the model takes the step and then one poll.
TEST_F(HostedPlugin, RandomWalkWithTheRealThreadAgreesWithTheModel)
{
    unsigned seed = getenv("HUSHGATE_SEED") != NULL ? (unsigned)strtoul(getenv("HUSHGATE_SEED"), NULL, 10) : 7122026u;
    LONG steps = envCount("HUSHGATE_THREAD_STEPS", 150);
    printf("thread walk: seed %u, %ld steps (HUSHGATE_SEED, HUSHGATE_THREAD_STEPS)\n", seed, steps);
    const unsigned firstSeed = seed;
    playerWindow.playState = PLAY_STATE_PLAYING;
    ASSERT_TRUE(start());
    ModelState model;
    modelStart(model, mixerGetNumDevs() > 0, LOCK_FROM_NOTICES, GetTickCount());
    ASSERT_TRUE(waitForPolls(1));
    std::string history;
    // Each step begins just after the watch thread began a wait: the last wait saw to that.
    for (LONG i = 0; i < steps; ++i) {
        Step step = randomStep(seed, model, FALSE);
        char text[192];
        describeStep(step, text);
        history += std::string("\n  ") + text;
        (void)applyStepToPlayer(step);
        modelApply(model, step);
        if (step.kind != STEP_POLL)
            modelApply(model, Step{STEP_POLL, 0});
        ASSERT_TRUE(waitForPolls(1)) << "the watch thread stopped polling";
        ASSERT_TRUE(playerWindow.playState == model.playState && pluginToggles() == model.pluginToggles &&
                    (readSystemMute() != 0) == (model.mixerMuted != FALSE) && speakersMuted() == modelSpeakersMuted(model))
            << "seed " << firstSeed << ", step " << i << ": player " << playStateName(playerWindow.playState) << " model "
            << playStateName(model.playState) << ", plug-in toggles " << pluginToggles() << " model "
            << model.pluginToggles << "; steps:" << history;
    }
    LONG events = playerWindow.eventCount;
    ASSERT_TRUE(stop());
    pumpMessagesFor(150);
    EXPECT_EQ(playerWindow.eventCount, events) << "quit sent something";
}

// --- injected faults ---------------------------------------------------------------------

struct FaultRow {
    int row;
    const char *fault;
    BOOL fromStart;  // else it begins once the mixer is open
    volatile LONG *switchOn;
    void (*condition)(BOOL on);
};

static void muteCondition(BOOL on)
{
    (void)setSystemMute(on);
}

// With the fault on, the condition does not count and nothing breaks; once the fault ends,
// the same condition is seen again at the next poll.
TEST_F(HostedPlugin, FaultsFallBackQuietlyAndRecover)
{
    if (mixerGetNumDevs() == 0)
        GTEST_SKIP() << "needs a mixer";
    static const FaultRow rows[] = {
        {1, "mixer cannot be opened", TRUE, &seen.failMixerOpen, muteCondition},
        {2, "mixer details fail after it opened", FALSE, &seen.failMixerDetails, muteCondition},
    };
    for (const FaultRow &row : rows) {
        playerWindow.playState = PLAY_STATE_PLAYING;
        clearPlayerLog();
        *row.switchOn = row.fromStart;
        ASSERT_TRUE(start());
        ASSERT_TRUE(waitForPolls(2));  // the mixer is open now, unless it failed from the start
        *row.switchOn = 1;
        row.condition(TRUE);
        ASSERT_TRUE(waitForPolls(3));
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING) << "row " << row.row << ": " << row.fault;
        *row.switchOn = 0;
        ASSERT_TRUE(waitForPolls(2));
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED) << "row " << row.row << ": recovery";
        row.condition(FALSE);
        EXPECT_TRUE(stop()) << "row " << row.row;
        resetConditions();
    }
}

TEST_F(HostedPlugin, QuitBeforeTheFirstPollEndsTheThread)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        ASSERT_TRUE(start());
        EXPECT_TRUE(stop()) << "attempt " << attempt;  // the thread's first send waits for this thread
        EXPECT_EQ((WNDPROC)GetWindowLongA(playerWindow.hwnd, GWL_WNDPROC), originalProc);
    }
}

TEST_F(HostedPlugin, APlayerWindowDestroyedUnderItIsHarmless)
{
    playerWindow.playState = PLAY_STATE_PLAYING;
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitForPolls(2));
    destroyPlayerWindow();
    setWorkstationLocked(TRUE);
    ASSERT_TRUE(waitForPolls(3)) << "the loop stopped polling a dead window";
    EXPECT_TRUE(stop());
}

// --- the host's own ways to end it --------------------------------------------------------

// The player's own handler for a command quits and unloads the plug-in, once.
class HostEndings : public HostedPlugin {
protected:
    static HostEndings *unloading;
    void unloadOnNextStop(void)
    {
        unloading = this;
        playerWindow.onEvent = unloadOnStop;
    }
    // A thread timer fires inside the dialog's own message loop: quit then runs with no frame
    // of the filter on the stack, and only the dialog's guard keeps the module mapped under it.
    static void CALLBACK unloadUnderTheDialog(HWND, UINT, UINT_PTR timer, DWORD)
    {
        HWND dialog = FindWindowA((LPCSTR)WC_DIALOG, "setting about hushgate");
        if (dialog == NULL || unloading == NULL)
            return;
        (void)KillTimer(NULL, timer);
        HostEndings *host = unloading;
        unloading = NULL;
        (void)host->stop();
        (void)PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    static void unloadOnStop(const PlayerEvent &event)
    {
        if (event.id == CMD_STOP && unloading != NULL) {
            HostEndings *host = unloading;
            unloading = NULL;
            (void)host->stop();
        }
    }
};
HostEndings *HostEndings::unloading;

static BOOL moduleStillMapped(const char *path)
{
    return GetModuleHandleA(path) != NULL;
}

TEST_F(HostEndings, UnloadedFromInsideACommandThatPassedTheFilter)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitForPolls(1));
    unloadOnNextStop();
    pressPlayerButton(CMD_STOP);  // the player's handler runs quit and FreeLibrary under the filter
    playerWindow.onEvent = NULL;
    EXPECT_EQ(plugin.module, (HMODULE)NULL);
    EXPECT_TRUE(moduleStillMapped(pluginPath)) << "the module must stay pinned: the filter's frame was on the stack";
    EXPECT_EQ((WNDPROC)GetWindowLongA(playerWindow.hwnd, GWL_WNDPROC), originalProc);
}

TEST_F(HostEndings, UnloadedWhileTheSettingsDialogIsOpen)
{
    ASSERT_TRUE(start());
    PluginHeader *header = plugin.header;
    unloading = this;
    UINT_PTR timer = SetTimer(NULL, 0, 50, unloadUnderTheDialog);
    header->config();
    (void)KillTimer(NULL, timer);
    EXPECT_EQ(plugin.module, (HMODULE)NULL) << "the player never unloaded the plug-in";
    EXPECT_TRUE(moduleStillMapped(pluginPath));
}

// The pin is the last guard against an unload under a callback the system still holds: it must
// hold in a player's folder named outside the ANSI code page too.
TEST_F(HostEndings, ThePinHoldsInAFolderNamedOutsideTheAnsiCodePage)
{
    std::wstring folder = makeUnicodeFolder(L"pinned");
    std::wstring path = folder + L"\\gen_hushgate_amp.dll";
    ASSERT_TRUE(CopyFileW(widePath(pluginPath).c_str(), path.c_str(), FALSE));
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, (HMODULE)NULL);
    PluginHeader *header = ((GetPluginHeaderProc)(void *)GetProcAddress(module, PLUGIN_HEADER_EXPORT))();
    header->hwndParent = playerWindow.hwnd;
    header->hDllInstance = module;
    interceptImports(module);
    (void)header->init();
    ASSERT_TRUE(waitForPolls(1));
    simulatedSpeakers.muteUnregistrationRefused = 1;  // the system may still call the plug-in
    header->quit();
    FreeLibrary(module);
    EXPECT_NE(GetModuleHandleW(path.c_str()), (HMODULE)NULL) << "unloaded under a callback still registered";
    dropMuteCallbacks();
    CloseHandle(seen.watchThread);
    seen.watchThread = NULL;
}

static HANDLE hungThread;
static BOOL hungThreadEnded(void)
{
    return WaitForSingleObject(hungThread, 0) == WAIT_OBJECT_0;
}

// A quit that gave up on a hung watch thread, then the host starting the plug-in again: the
// old thread keeps its stop request, and no second thread ever runs beside it.
TEST_F(HostEndings, StartedAgainBesideAWatchThreadThatQuitGaveUpOn)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitForPolls(1));
    HANDLE hang = CreateEventA(NULL, TRUE, FALSE, NULL);
    seen.waitHang = hang;
    ASSERT_TRUE(waitForPolls(1));  // the thread is inside the hung call now
    HANDLE oldThread = seen.watchThread;
    seen.watchThread = NULL;
    plugin.header->quit();
    EXPECT_EQ(WaitForSingleObject(oldThread, 0), (DWORD)WAIT_TIMEOUT);
    LONG threads = seen.threadsCreated;
    (void)plugin.header->init();
    EXPECT_EQ(seen.threadsCreated, threads) << "a second watch thread started beside the hung one";
    seen.waitHang = NULL;
    (void)SetEvent(hang);
    hungThread = oldThread;
    EXPECT_TRUE(pumpMessagesUntil(1000, hungThreadEnded)) << "the old thread lost its stop request";
    CloseHandle(oldThread);
    CloseHandle(hang);
    plugin.header->quit();
    (void)plugin.header->init();
    EXPECT_EQ(seen.threadsCreated, threads + 1);
    EXPECT_TRUE(waitForPolls(2)) << "the new thread does not poll";
    EXPECT_TRUE(stop());
    EXPECT_TRUE(moduleStillMapped(pluginPath)) << "quit gave up, yet the module was not pinned";
}

static BOOL insideHungMixerCall(void)
{
    return seen.insideHungMixerCall != 0;
}

static BOOL mixerMuteReleased(void)
{
    return readSystemMute() == 0;
}

struct HungMixerRow {
    int row;
    const char *what;
    BOOL pausedFirst;  // the mute's pause is the plug-in's already; else the hung read brings it
};

// The watch thread hangs in a mixer read, holding the mixer: the user's Next goes through at
// once, the mute goes once the call returns, and the poll that read it pauses nothing; after a
// quit that gave up on the thread, it comes back and tells the player nothing.
TEST_F(HostEndings, AThreadHungInAMixerCallNeitherFreezesThePlayerNorSpeaksAfterQuit)
{
    if (mixerGetNumDevs() == 0)
        GTEST_SKIP() << "no mixer on this machine";
    static const HungMixerRow rows[] = {
        {1, "a pause of the plug-in's for the mute", TRUE},
        {2, "playing while the hung read finds the new mute", FALSE},
    };
    HANDLE hang = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (const HungMixerRow &row : rows) {
        (void)setSystemMute(FALSE);
        (void)ResetEvent(hang);
        playerWindow.playState = PLAY_STATE_PLAYING;
        ASSERT_TRUE(start("[Hushgate]\r\nISLOCK=0\r\nISSCREENSAVE=0\r\nCHECKTIME=100\r\n"));
        ASSERT_TRUE(waitForPolls(1));
        LONG toggles = pluginToggles();
        if (row.pausedFirst) {
            (void)setSystemMute(TRUE);
            ASSERT_TRUE(waitForPolls(2));
            ASSERT_EQ(playerWindow.playState, PLAY_STATE_PAUSED) << "row " << row.row;
        }
        seen.mixerHang = hang;
        (void)setSystemMute(TRUE);
        ASSERT_TRUE(pumpMessagesUntil(2000, insideHungMixerCall)) << "row " << row.row;
        pressPlayerButton(CMD_NEXT);
        EXPECT_TRUE(seen.insideHungMixerCall) << "row " << row.row << ": the player's window waited for the mixer";
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING) << "row " << row.row;
        seen.mixerHang = NULL;
        (void)SetEvent(hang);
        EXPECT_TRUE(pumpMessagesUntil(2000, mixerMuteReleased)) << "row " << row.row << ": the release never came";
        ASSERT_TRUE(waitForPolls(2));
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING) << "row " << row.row << ": " << row.what;
        EXPECT_EQ(pluginToggles() - toggles, row.pausedFirst ? 1 : 0) << "row " << row.row << ": paused again";
        if (&row != &rows[ARRAYSIZE(rows) - 1]) {
            EXPECT_TRUE(stop()) << "row " << row.row;
        }
    }

    // The mute comes back and the thread hangs reading it; quit gives up on it.
    (void)ResetEvent(hang);
    (void)setSystemMute(TRUE);
    seen.mixerHang = hang;
    ASSERT_TRUE(pumpMessagesUntil(2000, insideHungMixerCall));
    HANDLE oldThread = seen.watchThread;
    seen.watchThread = NULL;
    plugin.header->quit();
    LONG events = playerWindow.eventCount, queries = playerWindow.queryCount;
    seen.mixerHang = NULL;
    (void)SetEvent(hang);
    hungThread = oldThread;
    EXPECT_TRUE(pumpMessagesUntil(4000, hungThreadEnded));
    EXPECT_EQ(playerWindow.eventCount, events) << "a command after quit gave up";
    EXPECT_EQ(playerWindow.queryCount, queries) << "a query after quit gave up";
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    CloseHandle(oldThread);
    CloseHandle(hang);
}

static BOOL loadNeighbour(LoadedPlugin &neighbour)
{
    char path[MAX_PATH];
    (void)pathBesideProgram(path, "..\\testplugins\\gen_subclasser.dll");
    char error[LOADER_MESSAGE_SIZE];
    return loadPlugin(path, playerWindow.hwnd, neighbour, error);
}

// Another plug-in subclasses after ours; they quit in either order, and ours may be started
// again in the same process afterwards.
TEST_F(HostEndings, ANeighbourSubclassingAfterItQuitsInEitherOrder)
{
    for (int hushgateFirst = 1; hushgateFirst >= 0; --hushgateFirst) {
        playerWindow.playState = PLAY_STATE_PLAYING;
        clearPlayerLog();
        ASSERT_TRUE(start());
        LoadedPlugin neighbour;
        ASSERT_TRUE(loadNeighbour(neighbour));
        pressPlayerButton(CMD_PAUSE);
        pressPlayerButton(CMD_PAUSE);
        if (hushgateFirst) {
            EXPECT_TRUE(stop());
            unloadPlugin(neighbour);
        } else {
            unloadPlugin(neighbour);
            EXPECT_TRUE(stop());
        }
        // Commands still reach the player, whatever was left in the chain.
        pressPlayerButton(CMD_STOP);
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_STOPPED) << "order " << hushgateFirst;
        pressPlayerButton(CMD_PLAY);
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING) << "order " << hushgateFirst;

        // Started again in this process: one filter in the chain, and it works.
        ASSERT_TRUE(start());
        setWorkstationLocked(TRUE);
        ASSERT_TRUE(waitForPolls(2));
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PAUSED) << "order " << hushgateFirst;
        setWorkstationLocked(FALSE);
        ASSERT_TRUE(waitForPolls(2));
        EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING) << "order " << hushgateFirst;
        EXPECT_TRUE(stop());
        EXPECT_EQ((WNDPROC)GetWindowLongA(playerWindow.hwnd, GWL_WNDPROC), originalProc) << "order " << hushgateFirst;
    }
}

// --- hostile settings files ---------------------------------------------------------------

struct HostileRow {
    int row;
    const char *settings;
};

// Whatever the file holds, the loop waits between polls, notices quit and keeps running.
TEST_F(HostedPlugin, HostileSettingsFilesKeepTheLoopSane)
{
    static const HostileRow rows[] = {
        {1, "[Hushgate]\r\nCHECKTIME=0\r\n"},          {2, "[Hushgate]\r\nCHECKTIME=-1\r\n"},
        {3, "[Hushgate]\r\nCHECKTIME=50\r\n"},         {4, "[Hushgate]\r\nCHECKTIME=2147483647\r\n"},
        {5, "[Hushgate]\r\nCHECKTIME=fast\r\n"},       {6, "[Hushgate]\r\nCHECKTIME=\r\n"},
        {7, "[Hushgate]\r\nCHECKTIME=   300\r\n"},     {8, "[Hushgate]\r\nISLOCK=-1\r\nCHECKTIME=100\r\n"},
        {9, "[Hushgate]\r\nCHECKTIME=-2147483648\r\n"}, {10, "\x01\x02\xff\xfe[Hushgate]\r\n\r\n=\r\n[]\r\n"},
    };
    for (const HostileRow &row : rows) {
        playerWindow.playState = PLAY_STATE_PLAYING;
        clearPlayerLog();
        ASSERT_TRUE(start(row.settings)) << "row " << row.row;
        pumpMessagesFor(350);
        EXPECT_LE(playerWindow.queryCount, seen.waitsEntered + 1) << "row " << row.row << ": polls without waiting";
        EXPECT_GE(playerWindow.queryCount, 1) << "row " << row.row;
        EXPECT_TRUE(stop()) << "row " << row.row;
    }
}

static volatile LONG configReturned, saveWarningShown;

// Presses OK once the dialog shows, however slowly under load, and answers a warning that a
// failed save would bring, so that the test fails instead of waiting on it for good.
static DWORD WINAPI pressOkWhenTheDialogShows(LPVOID)
{
    BOOL pressed = FALSE;
    for (DWORD start = GetTickCount(); !configReturned && GetTickCount() - start < 30000; Sleep(5)) {
        HWND warning = FindWindowA((LPCSTR)WC_DIALOG, "Hushgate");
        if (warning != NULL) {
            saveWarningShown = 1;
            (void)PostMessageA(warning, WM_COMMAND, IDOK, 0);
        }
        // Only once shown: a click made while WM_INITDIALOG still runs is lost.
        HWND dialog = FindWindowA((LPCSTR)WC_DIALOG, "setting about hushgate");
        if (dialog != NULL && IsWindowVisible(dialog) && !pressed) {
            (void)SendMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
            pressed = TRUE;
        }
    }
    return 0;
}

TEST_F(HostedPlugin, ASeveralMegabyteSettingsFileIsReadAndOnlyItsSectionChanges)
{
    std::string before;
    for (int section = 0; section < 20000; ++section)
        before += "[Other" + std::to_string(section) + "]\r\nKEY=" + std::string(100, 'x') + "\r\n";
    before += "[Hushgate]\r\nCHECKTIME=100\r\nISSCREENSAVE=0\r\n";
    for (int section = 0; section < 100; ++section)
        before += "[After" + std::to_string(section) + "]\r\nCHECKTIME=1\r\n";
    writeSettings(before.c_str());
    ASSERT_GT(before.size(), 2u * 1024 * 1024);
    playerWindow.playState = PLAY_STATE_PLAYING;
    ASSERT_TRUE(start(NULL));
    setScreenSaverRunning(TRUE);  // switched off in the file: no pause
    ASSERT_TRUE(waitForPolls(3));
    EXPECT_EQ(playerWindow.playState, PLAY_STATE_PLAYING);
    setScreenSaverRunning(FALSE);

    // OK in the dialog saves: only the [Hushgate] lines may change.
    configReturned = 0;
    saveWarningShown = 0;
    HANDLE helper = CreateThread(NULL, 0, pressOkWhenTheDialogShows, NULL, 0, NULL);
    plugin.header->config();
    configReturned = 1;
    (void)WaitForSingleObject(helper, 5000);
    CloseHandle(helper);
    EXPECT_FALSE(saveWarningShown) << "the save beside the module was refused";
    EXPECT_TRUE(stop());

    HANDLE file = CreateFileA(settingsPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string after(GetFileSize(file, NULL), '\0');
    DWORD read;
    (void)ReadFile(file, &after[0], (DWORD)after.size(), &read, NULL);
    CloseHandle(file);
    std::string expected = before;
    expected.replace(expected.find("[Hushgate]"), std::string("[Hushgate]\r\nCHECKTIME=100\r\nISSCREENSAVE=0\r\n").size(),
                     "[Hushgate]\r\nCHECKTIME=100\r\nISSCREENSAVE=0\r\nISLOCK=1\r\nISMUTE=1\r\nISDEVICELOST=1\r\nISCALL=1\r\nCALLIGNORE=\r\n");
    EXPECT_TRUE(after == expected) << "bytes outside the section changed (sizes " << before.size() << " -> "
                                   << after.size() << ")";
}
