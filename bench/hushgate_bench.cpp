// Loads the real gen_hushgate_amp.dll into a stand-in player window and measures what the
// plug-in costs, each figure beside a bare loop of the same platform calls that sleeps in
// 100 ms slices: one poll, reaction to a lock, a mute and an unplugged output, quit, wakeups
// and CPU while idle, and the footprint. Prints a Markdown table for the README.
// Usage: hushgate_bench [--quick] PATH\gen_hushgate_amp.dll
#include <windows.h>

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>

#include <mmsystem.h>
#include <objbase.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "conditions.h"
#include "import_patch.h"
#include "player_window.h"
#include "plugin_loader.h"
#include "simulated_speakers.h"

enum { MAX_SAMPLES = 1024 };

struct Samples {
    double values[MAX_SAMPLES];
    int count;
};

static void addSample(Samples &samples, double value)
{
    if (samples.count < MAX_SAMPLES)
        samples.values[samples.count++] = value;
}

static double percentile(Samples &samples, double fraction)
{
    if (samples.count == 0)
        return 0;
    std::sort(samples.values, samples.values + samples.count);
    int index = (int)(fraction * (samples.count - 1) + 0.5);
    return samples.values[index];
}

static double median(Samples &samples)
{
    return percentile(samples, 0.5);
}

static double worst(Samples &samples)
{
    return percentile(samples, 1.0);
}

static LARGE_INTEGER counterFrequency;

static double nowMs(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / counterFrequency.QuadPart;
}

struct BenchConfig {
    const char *pluginPath;
    BOOL quick;
    char settingsPath[MAX_PATH];
};
static BenchConfig config;

// A reaction that never came is recorded as this, so that it cannot pass for a fast one.
static const double NEVER = 1e9;

// --- what the interception of the plug-in's imports sees -------------------------------

struct PluginProbe {
    volatile LONG measuringPolls;
    double lastWaitExit;  // written by the watch thread, cleared by the bench before it measures
    Samples polls;
    volatile DWORD watchThreadId;
    volatile LONG waitsEntered;
    // Raised by the bench after it changed something; a wait entered after a wait that ended
    // at this generation or later closes a poll that began after the change.
    volatile LONG generation;
    volatile LONG generationAtWaitExit;
    volatile LONG generationPolled;
    volatile LONG heapCalls;
    volatile LONG countingHeap;
};
static PluginProbe probe;

static void(WINAPI *realSleep)(DWORD);
static DWORD(WINAPI *realWaitForMultipleObjects)(DWORD, const HANDLE *, BOOL, DWORD);
static void *(__cdecl *realMalloc)(size_t);
static void *(__cdecl *realCalloc)(size_t, size_t);
static void *(__cdecl *realRealloc)(void *, size_t);
static LPVOID(WINAPI *realHeapAlloc)(HANDLE, DWORD, SIZE_T);
static HLOCAL(WINAPI *realLocalAlloc)(UINT, SIZE_T);

// The plug-in waits here only in its watch loop, so the time from one return to the next
// entry is exactly one poll, and every entry is one wakeup of the loop.
static DWORD WINAPI timedWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds)
{
    probe.watchThreadId = GetCurrentThreadId();
    double entry = nowMs();
    InterlockedIncrement(&probe.waitsEntered);
    probe.generationPolled = probe.generationAtWaitExit;
    if (probe.measuringPolls && probe.lastWaitExit > 0)
        addSample(probe.polls, entry - probe.lastWaitExit);
    DWORD result = realWaitForMultipleObjects(count, handles, all, milliseconds);
    probe.lastWaitExit = nowMs();
    probe.generationAtWaitExit = probe.generation;
    return result;
}

static void countHeapCall(void)
{
    if (probe.countingHeap)
        InterlockedIncrement(&probe.heapCalls);
}

static void *__cdecl countedMalloc(size_t size)
{
    countHeapCall();
    return realMalloc(size);
}

static void *__cdecl countedCalloc(size_t count, size_t size)
{
    countHeapCall();
    return realCalloc(count, size);
}

static void *__cdecl countedRealloc(void *block, size_t size)
{
    countHeapCall();
    return realRealloc(block, size);
}

static LPVOID WINAPI countedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    countHeapCall();
    return realHeapAlloc(heap, flags, size);
}

static HLOCAL WINAPI countedLocalAlloc(UINT flags, SIZE_T size)
{
    countHeapCall();
    return realLocalAlloc(flags, size);
}

static void interceptPluginImports(HMODULE plugin)
{
    (void)interceptImport(plugin, "kernel32.dll", "WaitForMultipleObjects", timedWaitForMultipleObjects,
                          realWaitForMultipleObjects);
    (void)interceptImport(plugin, "kernel32.dll", "HeapAlloc", countedHeapAlloc, realHeapAlloc);
    (void)interceptImport(plugin, "kernel32.dll", "LocalAlloc", countedLocalAlloc, realLocalAlloc);
    (void)interceptImport(plugin, "msvcrt.dll", "malloc", countedMalloc, realMalloc);
    (void)interceptImport(plugin, "msvcrt.dll", "calloc", countedCalloc, realCalloc);
    (void)interceptImport(plugin, "msvcrt.dll", "realloc", countedRealloc, realRealloc);
}

static BOOL pluginPolledSinceMark(void)
{
    return probe.generationPolled >= probe.generation;
}

// Waits until a whole poll of the plug-in began after whatever the caller just changed.
static BOOL waitForPluginPoll(DWORD limitMs)
{
    InterlockedIncrement(&probe.generation);
    return pumpMessagesUntil(limitMs, pluginPolledSinceMark);
}

static void writeCheckTime(int checkTime)
{
    char text[16];
    wsprintfA(text, "%d", checkTime);
    (void)WritePrivateProfileStringA("Hushgate", "CHECKTIME", text, config.settingsPath);
}

struct Session {
    LoadedPlugin plugin;
    double loadAndInitMs;
};

enum Platform {
    REAL_PLATFORM,       // Wine's own calls throughout
    SIMULATED_CHANGES,   // the stand-in's session and speakers, which can lock, mute and unplug
};

static BOOL startPlugin(Session &session, int checkTime, Platform platform)
{
    writeCheckTime(checkTime);
    char error[LOADER_MESSAGE_SIZE];
    double start = nowMs();
    if (!openPlugin(config.pluginPath, playerWindow.hwnd, session.plugin, error)) {
        fprintf(stderr, "hushgate_bench: %s\n", error);
        return FALSE;
    }
    interceptPluginImports(session.plugin.module);
    if (platform == SIMULATED_CHANGES) {
        (void)interceptLockProbe(session.plugin.module);
        (void)interceptSpeakers(session.plugin.module);
    }
    (void)session.plugin.header->init();
    session.loadAndInitMs = nowMs() - start;
    probe.countingHeap = 1;
    return TRUE;
}

static double stopPlugin(Session &session)
{
    probe.countingHeap = 0;
    double start = nowMs();
    session.plugin.header->quit();
    double quitMs = nowMs() - start;
    FreeLibrary(session.plugin.module);
    session.plugin.module = NULL;
    return quitMs;
}

static BOOL signalsAttached(void)
{
    return simulatedSession.registeredWindows > 0 && simulatedSpeakers.muteCallbacks > 0 &&
           simulatedSpeakers.deviceClients > 0;
}

// --- the bare calls ---------------------------------------------------------------------

static HMIXER bareMixer;
static DWORD bareMuteControl;
static CRITICAL_SECTION bareMixerLock;

static BOOL speakersApply;  // Vista and later: a poll reads the default speakers' mute too

// What the plug-in does for one read of the default speakers' mute: a call complete in itself,
// inside the calling thread's apartment.
static BOOL bareEndpointRead(void)
{
    HRESULT apartment = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    BOOL muted = FALSE;
    IMMDeviceEnumerator *enumerator = NULL;
    if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                   __uuidof(IMMDeviceEnumerator), (void **)&enumerator))) {
        IMMDevice *device = NULL;
        HRESULT found = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
        enumerator->Release();
        if (SUCCEEDED(found) && device != NULL) {
            IAudioEndpointVolume *speakers = NULL;
            HRESULT activated = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_INPROC_SERVER, NULL,
                                                 (void **)&speakers);
            device->Release();
            if (SUCCEEDED(activated) && speakers != NULL) {
                (void)speakers->GetMute(&muted);
                speakers->Release();
            }
        }
    }
    if (SUCCEEDED(apartment))
        CoUninitialize();
    return muted;
}

enum { BARE_DEVICE_ID_CAPACITY = 256 };
static WCHAR bareDefaultOutput[BARE_DEVICE_ID_CAPACITY];

// What the plug-in asks at every poll while the player plays: which render device is the
// default now. Only when it moved is the old one looked up, as the plug-in does.
static void bareOutputDeviceCheck(void)
{
    HRESULT apartment = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    IMMDeviceEnumerator *enumerator = NULL;
    if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                   __uuidof(IMMDeviceEnumerator), (void **)&enumerator))) {
        WCHAR current[BARE_DEVICE_ID_CAPACITY];
        current[0] = L'\0';
        IMMDevice *device = NULL;
        if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) && device != NULL) {
            LPWSTR text = NULL;
            if (SUCCEEDED(device->GetId(&text)) && text != NULL && lstrlenW(text) < BARE_DEVICE_ID_CAPACITY)
                (void)lstrcpynW(current, text, BARE_DEVICE_ID_CAPACITY);
            CoTaskMemFree(text);
            device->Release();
        }
        if (bareDefaultOutput[0] != L'\0' && lstrcmpW(bareDefaultOutput, current) != 0) {
            IMMDevice *previous = NULL;
            if (SUCCEEDED(enumerator->GetDevice(bareDefaultOutput, &previous)) && previous != NULL) {
                DWORD state = 0;
                (void)previous->GetState(&state);
                previous->Release();
            }
        }
        (void)lstrcpynW(bareDefaultOutput, current, BARE_DEVICE_ID_CAPACITY);
        enumerator->Release();
    }
    if (SUCCEEDED(apartment))
        CoUninitialize();
}

// The three conditions, probed by the calls the plug-in makes, decided as it decides them.
static BOOL bareConditions(void)
{
    BOOL running = FALSE;
    (void)SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0);
    BOOL locked = TRUE;
    HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_SWITCHDESKTOP);
    if (desktop != NULL) {
        locked = !SwitchDesktop(desktop);
        CloseDesktop(desktop);
    }
    MIXERCONTROLDETAILS_BOOLEAN value = {};
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = bareMuteControl;
    details.cChannels = 1;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    EnterCriticalSection(&bareMixerLock);
    (void)mixerGetControlDetailsA((HMIXEROBJ)bareMixer, &details, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
    LeaveCriticalSection(&bareMixerLock);
    BOOL muted = value.fValue != 0;
    if (!muted && speakersApply)
        muted = bareEndpointRead();
    return running || locked || muted;
}

// --- the bare slice loop ------------------------------------------------------------------

// A watch loop without signals, made of the same platform calls: a poll, then
// the interval slept away in 100 ms slices with the stop flag looked at before each slice.
struct SliceLoop {
    DWORD interval;
    BOOL reacts;      // toggles the player's pause on what its poll finds
    BOOL timesPolls;  // and then times one speakers' read apart, outside the poll
    HANDLE thread;
    CRITICAL_SECTION stopLock;
    LONG stop;
    volatile LONG polls;
    volatile LONG sleeps;
    LONG pausedByLoop;
    Samples pollTimes;
    Samples endpointReads;
};
static SliceLoop sliceLoop;

static void slicePoll(void)
{
    LRESULT state = SendMessageA(playerWindow.hwnd, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM);
    BOOL playing = state == PLAY_STATE_PLAYING;
    if (playing && speakersApply)
        bareOutputDeviceCheck();
    if (sliceLoop.pausedByLoop == 0 && !playing)
        return;
    BOOL hold = bareConditions();
    if (!sliceLoop.reacts || hold == (sliceLoop.pausedByLoop != 0))
        return;
    sliceLoop.pausedByLoop = hold;
    (void)SendMessageA(playerWindow.hwnd, WM_COMMAND, CMD_PAUSE, 0);
}

static BOOL sliceLoopStopRequested(void)
{
    EnterCriticalSection(&sliceLoop.stopLock);
    BOOL stop = sliceLoop.stop != 0;
    LeaveCriticalSection(&sliceLoop.stopLock);
    return stop;
}

// In an apartment of its own for its whole life, as the watch thread is.
static DWORD WINAPI runSliceLoop(LPVOID)
{
    HRESULT apartment = speakersApply ? CoInitializeEx(NULL, COINIT_MULTITHREADED) : E_NOTIMPL;
    for (;;) {
        double start = nowMs();
        slicePoll();
        if (sliceLoop.timesPolls) {
            addSample(sliceLoop.pollTimes, nowMs() - start);
            if (speakersApply) {
                start = nowMs();
                (void)bareEndpointRead();
                addSample(sliceLoop.endpointReads, nowMs() - start);
            }
        }
        InterlockedIncrement(&sliceLoop.polls);
        for (DWORD slept = 0; slept < sliceLoop.interval; slept += 100) {
            if (sliceLoopStopRequested()) {
                if (SUCCEEDED(apartment))
                    CoUninitialize();
                return 0;
            }
            InterlockedIncrement(&sliceLoop.sleeps);
            realSleep(100);
        }
    }
}

static void startSliceLoop(DWORD interval, BOOL reacts, BOOL timesPolls)
{
    sliceLoop.interval = interval;
    sliceLoop.reacts = reacts;
    sliceLoop.timesPolls = timesPolls;
    sliceLoop.stop = 0;
    sliceLoop.polls = 0;
    sliceLoop.sleeps = 0;
    sliceLoop.pausedByLoop = 0;
    bareDefaultOutput[0] = L'\0';
    sliceLoop.thread = CreateThread(NULL, 0, runSliceLoop, NULL, 0, NULL);
    if (sliceLoop.thread == NULL) {
        fprintf(stderr, "hushgate_bench: cannot start the bare loop's thread\n");
        exit(1);
    }
}

// The loop may be sending to the player window: its sends are served until it has ended.
// MWMO_INPUTAVAILABLE, because a send already looked at by the peek would not wake the wait.
static void waitForThreadServingSends(HANDLE thread)
{
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
            (void)TranslateMessage(&message);
            (void)DispatchMessageA(&message);
        }
        DWORD waited = MsgWaitForMultipleObjectsEx(1, &thread, 30000, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_TIMEOUT || waited == WAIT_FAILED)
            return;
    }
}

// The loop's quit: the flag raised, then its thread waited for; returns how long that took.
static double stopSliceLoop(void)
{
    double start = nowMs();
    EnterCriticalSection(&sliceLoop.stopLock);
    sliceLoop.stop = 1;
    LeaveCriticalSection(&sliceLoop.stopLock);
    waitForThreadServingSends(sliceLoop.thread);
    double quitMs = nowMs() - start;
    CloseHandle(sliceLoop.thread);
    sliceLoop.thread = NULL;
    return quitMs;
}

// --- one poll against the bare calls ---------------------------------------------------

// The machine's load drifts while other work runs beside the bench: the plug-in and the bare
// loop take turns in short blocks, so that both see the same drift.
static int pollBlocks(void)
{
    return config.quick ? 2 : 8;
}

static int pollsPerBlock(void)
{
    return config.quick ? 10 : 25;
}

static int pollsWanted;

static BOOL pluginPollsEnough(void)
{
    return probe.polls.count >= pollsWanted;
}

static BOOL sliceLoopPollsEnough(void)
{
    return sliceLoop.pollTimes.count >= pollsWanted;
}

// Wine's own platform on both sides; the player plays and nothing holds, so every poll makes
// every call and decides nothing.
static void measurePollCost(Samples &pluginPolls, Samples &barePolls, Samples &endpointReads)
{
    probe.polls.count = 0;
    sliceLoop.pollTimes.count = 0;
    sliceLoop.endpointReads.count = 0;
    playerWindow.playState = PLAY_STATE_PLAYING;
    for (int block = 1; block <= pollBlocks(); ++block) {
        pollsWanted = block * pollsPerBlock();
        Session session = {};
        if (!startPlugin(session, 100, REAL_PLATFORM))
            exit(1);
        pumpMessagesFor(300);  // the first polls open the mixer and register for the notices
        probe.lastWaitExit = 0;
        probe.measuringPolls = 1;
        (void)pumpMessagesUntil(60000, pluginPollsEnough);
        probe.measuringPolls = 0;
        (void)stopPlugin(session);

        startSliceLoop(100, FALSE, TRUE);
        (void)pumpMessagesUntil(60000, sliceLoopPollsEnough);
        (void)stopSliceLoop();
    }
    pluginPolls = probe.polls;
    barePolls = sliceLoop.pollTimes;
    endpointReads = sliceLoop.endpointReads;
}

// --- idle: CPU and wakeups --------------------------------------------------------------

static double threadCpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return -1;
    ULONGLONG total = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                      ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
    return total / 10000.0;
}

struct IdleFigures {
    double seconds;
    double pluginCpuPerMinute;
    double bareCpuPerMinute;
    double pluginWakeupsPerMinute;
    double bareWakeupsPerMinute;
};

static const int IDLE_INTERVAL = 500;

static LONG waitsMark;
static BOOL pluginWaitedAgain(void)
{
    return probe.waitsEntered != waitsMark;
}

// Returns just after the plug-in's next wait began: a stretch measured from one such moment to
// another holds whole intervals, so that its count is not off by one at either end.
static void alignOnPluginWait(void)
{
    waitsMark = probe.waitsEntered;
    (void)pumpMessagesUntil(5000, pluginWaitedAgain);
}

// Both loops side by side over the same stretch, the player stopped: each poll is then only
// the play-state query.
static void measureIdle(IdleFigures &idle)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_STOPPED;
    if (!startPlugin(session, IDLE_INTERVAL, REAL_PLATFORM))
        exit(1);
    pumpMessagesFor(200);
    HANDLE watchThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, probe.watchThreadId);
    startSliceLoop(IDLE_INTERVAL, FALSE, FALSE);
    pumpMessagesFor(50);
    double pluginStart = threadCpuMs(watchThread);
    double bareStart = threadCpuMs(sliceLoop.thread);
    alignOnPluginWait();
    LONG pluginWaits = probe.waitsEntered;
    LONG bareSleeps = sliceLoop.sleeps;
    double start = nowMs();
    pumpMessagesFor(config.quick ? 2000 : 60000);
    alignOnPluginWait();
    idle.seconds = (nowMs() - start) / 1000;
    double perMinute = 60.0 / idle.seconds;
    idle.pluginCpuPerMinute = (threadCpuMs(watchThread) - pluginStart) * perMinute;
    idle.bareCpuPerMinute = (threadCpuMs(sliceLoop.thread) - bareStart) * perMinute;
    idle.pluginWakeupsPerMinute = (probe.waitsEntered - pluginWaits) * perMinute;
    idle.bareWakeupsPerMinute = (sliceLoop.sleeps - bareSleeps) * perMinute;
    (void)stopSliceLoop();
    CloseHandle(watchThread);
    (void)stopPlugin(session);
}

// --- reaction latency -------------------------------------------------------------------

static volatile double pauseToggleAt;

// A pause toggle sent from another thread: the plug-in's watch thread or the bare loop's.
static void stampLoopToggle(const PlayerEvent &event)
{
    if (event.fromOtherThread && event.id == CMD_PAUSE)
        pauseToggleAt = nowMs();
}

static BOOL loopPaused(void)
{
    return pauseToggleAt > 0 && playerWindow.playState == PLAY_STATE_PAUSED;
}

static BOOL loopResumed(void)
{
    return pauseToggleAt > 0 && playerWindow.playState == PLAY_STATE_PLAYING;
}

enum Change { CHANGE_LOCK, CHANGE_MUTE, CHANGE_SCREEN_SAVER };

static void setChange(Change change, BOOL on)
{
    switch (change) {
    case CHANGE_LOCK:
        setWorkstationLocked(on);
        break;
    case CHANGE_MUTE:
        (void)setUserMute(on);
        break;
    case CHANGE_SCREEN_SAVER:
        setScreenSaverRunning(on);
        break;
    }
}

static DWORD reactionLimit(int checkTime)
{
    return (DWORD)checkTime * 2 + 1000;
}

// Within the wait that follows the resume: the whole interval where only the poll sees the
// change, the first second of it where a signal ends the wait anyway.
static DWORD randomPhase(int checkTime, Change change)
{
    int range = change == CHANGE_SCREEN_SAVER || checkTime < 1000 ? checkTime : 1000;
    return (DWORD)(rand() % range);
}

static void measurePluginReaction(Change change, int checkTime, int trials, Samples &latencies)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    playerWindow.onEvent = stampLoopToggle;
    resetSimulatedSpeakers();
    if (!startPlugin(session, checkTime, SIMULATED_CHANGES))
        exit(1);
    (void)pumpMessagesUntil(2000, signalsAttached);
    pumpMessagesFor(150);
    for (int trial = 0; trial < trials; ++trial) {
        pumpMessagesFor(randomPhase(checkTime, change));
        pauseToggleAt = 0;
        double onset = nowMs();
        setChange(change, TRUE);
        if (pumpMessagesUntil(reactionLimit(checkTime), loopPaused))
            addSample(latencies, pauseToggleAt - onset);
        else
            addSample(latencies, NEVER);
        pauseToggleAt = 0;
        setChange(change, FALSE);
        (void)pumpMessagesUntil(reactionLimit(checkTime), loopResumed);
    }
    playerWindow.onEvent = NULL;
    (void)stopPlugin(session);
}

// The bare loop starts afresh for every trial, so that the change lands at a random phase of
// its interval without waiting for a resume it would only see at its next poll.
static BOOL sliceLoopPolledOnce(void)
{
    return sliceLoop.polls > 0;
}

static void measureSliceLoopReaction(Change change, int interval, int trials, Samples &latencies)
{
    playerWindow.onEvent = stampLoopToggle;
    for (int trial = 0; trial < trials; ++trial) {
        playerWindow.playState = PLAY_STATE_PLAYING;
        startSliceLoop((DWORD)interval, TRUE, FALSE);
        (void)pumpMessagesUntil(5000, sliceLoopPolledOnce);
        pumpMessagesFor((DWORD)(rand() % interval));
        pauseToggleAt = 0;
        double onset = nowMs();
        setChange(change, TRUE);
        if (pumpMessagesUntil(reactionLimit(interval), loopPaused))
            addSample(latencies, pauseToggleAt - onset);
        else
            addSample(latencies, NEVER);
        setChange(change, FALSE);
        (void)stopSliceLoop();
    }
    playerWindow.onEvent = NULL;
    playerWindow.playState = PLAY_STATE_PLAYING;
}

enum DeviceNotices { DEVICES_SIGNAL, DEVICES_POLLED_ONLY };

static const int DEVICE_LOSS_INTERVAL = 500;

// Each trial plugs the headphones in while the music plays and lets one whole poll see them as
// the default before they go; the pause for the loss is the user's, so the bench plays again.
static void measureDeviceLoss(DeviceNotices notices, int trials, Samples &latencies)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    playerWindow.onEvent = stampLoopToggle;
    resetSimulatedSpeakers();
    simulatedSpeakers.silent = notices == DEVICES_POLLED_ONLY ? 1 : 0;
    if (!startPlugin(session, DEVICE_LOSS_INTERVAL, SIMULATED_CHANGES))
        exit(1);
    (void)pumpMessagesUntil(2000, signalsAttached);
    for (int trial = 0; trial < trials; ++trial) {
        plugInHeadphones();
        (void)waitForPluginPoll(reactionLimit(DEVICE_LOSS_INTERVAL));
        pumpMessagesFor((DWORD)(rand() % DEVICE_LOSS_INTERVAL));
        pauseToggleAt = 0;
        double onset = nowMs();
        unplugHeadphones();
        if (pumpMessagesUntil(reactionLimit(DEVICE_LOSS_INTERVAL), loopPaused))
            addSample(latencies, pauseToggleAt - onset);
        else
            addSample(latencies, NEVER);
        pressPlayerButton(CMD_PLAY);
    }
    playerWindow.onEvent = NULL;
    (void)stopPlugin(session);
    resetSimulatedSpeakers();
}

// --- quit latency and footprint ---------------------------------------------------------

// quit lands at a random point: mid-wait, mid-poll or mid-toggle.
static DWORD randomRun(void)
{
    return (DWORD)(rand() % 300);
}

static void measurePluginQuits(int checkTime, int cycles, Samples &quits, Samples &loads)
{
    for (int cycle = 0; cycle < cycles; ++cycle) {
        Session session = {};
        playerWindow.playState = cycle % 2 == 0 ? PLAY_STATE_PLAYING : PLAY_STATE_STOPPED;
        if (!startPlugin(session, checkTime, REAL_PLATFORM))
            exit(1);
        addSample(loads, session.loadAndInitMs);
        pumpMessagesFor(randomRun());
        addSample(quits, stopPlugin(session));
    }
}

static void measureSliceLoopQuits(int interval, int cycles, Samples &quits)
{
    for (int cycle = 0; cycle < cycles; ++cycle) {
        playerWindow.playState = cycle % 2 == 0 ? PLAY_STATE_PLAYING : PLAY_STATE_STOPPED;
        startSliceLoop((DWORD)interval, FALSE, FALSE);
        pumpMessagesFor(randomRun());
        addSample(quits, stopSliceLoop());
    }
}

// --- report -----------------------------------------------------------------------------

static void describeMachine(void)
{
    char processor[128] = "unknown processor";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        DWORD size = sizeof processor;
        (void)RegQueryValueExA(key, "ProcessorNameString", NULL, NULL, (BYTE *)processor, &size);
        RegCloseKey(key);
    }
    typedef const char *(__cdecl * WineVersionProc)(void);
    WineVersionProc wineVersion =
        (WineVersionProc)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    SYSTEMTIME today;
    GetLocalTime(&today);
    printf("Machine: %s, %lu processors; %s %s; %04d-%02d-%02d%s\n\n", processor, system.dwNumberOfProcessors,
           wineVersion != NULL ? "Wine" : "Windows", wineVersion != NULL ? wineVersion() : "", today.wYear,
           today.wMonth, today.wDay, config.quick ? " (quick run: too few samples to judge)" : "");
}

// A row without a target is there to be compared with the one above it.
static void printRow(const char *what, Samples &samples, const char *target, BOOL met)
{
    if (samples.count == 0) {
        printf("| %s | 0 | | | | %s | not run |\n", what, target != NULL ? target : "");
        return;
    }
    printf("| %s | %d | %.2f | %.2f | %.2f | %s | %s |\n", what, samples.count, median(samples),
           percentile(samples, 0.95), worst(samples), target != NULL ? target : "",
           target == NULL ? "" : met ? "met" : "NOT met");
}

static const double SIGNALLED_WORST_MS = 50;
static const double QUIT_MEDIAN_MS = 5;
static const double QUIT_WORST_MS = 100;
static const double POLL_RATIO = 1.10;
static const DWORD DLL_SIZE_LIMIT = 32768;

static void printSignalledRow(const char *what, Samples &samples)
{
    printRow(what, samples, "worst <= 50", worst(samples) <= SIGNALLED_WORST_MS);
}

static void printPolledRow(const char *what, Samples &samples, int interval)
{
    char target[32];
    wsprintfA(target, "worst <= %d", interval + 30);
    printRow(what, samples, target, worst(samples) <= interval + 30);
}

static void printQuitRow(const char *what, Samples &samples)
{
    printRow(what, samples, "median <= 5, worst <= 100",
             median(samples) <= QUIT_MEDIAN_MS && worst(samples) <= QUIT_WORST_MS);
}

static DWORD fileSize(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

static BOOL settingsPathBesidePlugin(void)
{
    char *name = NULL;
    DWORD length = GetFullPathNameA(config.pluginPath, MAX_PATH, config.settingsPath, &name);
    if (length == 0 || length >= MAX_PATH || name == NULL || name - config.settingsPath + sizeof "plugin.ini" > MAX_PATH)
        return FALSE;
    lstrcpyA(name, "plugin.ini");
    return TRUE;
}

static const int SHORT_INTERVAL = 500;
static const int LONG_INTERVAL = 10000;

struct Figures {
    Samples pluginPolls, barePolls, endpointReads;
    IdleFigures idle;
    Samples pluginLock[2], pluginMute[2], bareLock[2], bareMute[2];
    Samples screenSaver;
    Samples lossSignalled, lossPolled;
    Samples pluginQuits[2], bareQuits[2], loads;
};
static Figures figures;

static void measureEverything(void)
{
    static const int intervals[2] = {SHORT_INTERVAL, LONG_INTERVAL};
    BOOL quick = config.quick;
    speakersApply = speakersAreTheUsersMute();
    (void)conditionMuteControl(bareMixer, bareMuteControl);

    measurePollCost(figures.pluginPolls, figures.barePolls, figures.endpointReads);
    measureIdle(figures.idle);

    // From here on the bare loop's own calls reach the stand-in's session and speakers, as the
    // plug-in's do, so that both see the same lock and the same mute.
    HMODULE self = GetModuleHandleA(NULL);
    (void)interceptLockProbe(self);
    (void)interceptSpeakers(self);
    resetSimulatedSession();
    resetSimulatedSpeakers();

    int signalledTrials = quick ? 2 : 20;
    for (int i = 0; i < 2; ++i) {
        measurePluginReaction(CHANGE_LOCK, intervals[i], signalledTrials, figures.pluginLock[i]);
        measurePluginReaction(CHANGE_MUTE, intervals[i], signalledTrials, figures.pluginMute[i]);
    }
    measurePluginReaction(CHANGE_SCREEN_SAVER, SHORT_INTERVAL, quick ? 2 : 20, figures.screenSaver);
    measureDeviceLoss(DEVICES_SIGNAL, signalledTrials, figures.lossSignalled);
    measureDeviceLoss(DEVICES_POLLED_ONLY, quick ? 2 : 20, figures.lossPolled);
    // At the long interval every bare trial lasts the whole interval; a quick run leaves it out.
    int bareTrials[2] = {quick ? 2 : 20, quick ? 0 : 5};
    for (int i = 0; i < 2; ++i) {
        measureSliceLoopReaction(CHANGE_LOCK, intervals[i], bareTrials[i], figures.bareLock[i]);
        measureSliceLoopReaction(CHANGE_MUTE, intervals[i], bareTrials[i], figures.bareMute[i]);
    }

    // Last: Wine's legacy mixer stops answering after 256 opens in one process, one per load.
    for (int i = 0; i < 2; ++i) {
        measurePluginQuits(intervals[i], quick ? 5 : 100, figures.pluginQuits[i], figures.loads);
        measureSliceLoopQuits(intervals[i], quick ? 3 : 60, figures.bareQuits[i]);
    }
}

static void printReport(void)
{
    describeMachine();
    double pollRatio = median(figures.pluginPolls) / median(figures.barePolls);
    printf("| measure (ms) | samples | median | 95th | worst | target | |\n|---|---|---|---|---|---|---|\n");
    printRow(speakersApply ? "one poll, plug-in (playing; all conditions, speakers' mute and output device read)"
                           : "one poll, plug-in (playing; all conditions)",
             figures.pluginPolls, "ratio to bare <= 1.10", pollRatio <= POLL_RATIO);
    printRow("one poll, the same calls bare", figures.barePolls, NULL, TRUE);
    if (speakersApply)
        printRow("one read of the default speakers' mute (Core Audio)", figures.endpointReads, NULL, TRUE);
    static const int intervals[2] = {SHORT_INTERVAL, LONG_INTERVAL};
    char what[128];
    for (int i = 0; i < 2; ++i) {
        wsprintfA(what, "lock, signalled: reaction at %d, plug-in", intervals[i]);
        printSignalledRow(what, figures.pluginLock[i]);
        wsprintfA(what, "lock: reaction at %d, bare slice loop", intervals[i]);
        printRow(what, figures.bareLock[i], NULL, TRUE);
    }
    for (int i = 0; i < 2; ++i) {
        wsprintfA(what, "mute, signalled: reaction at %d, plug-in", intervals[i]);
        printSignalledRow(what, figures.pluginMute[i]);
        wsprintfA(what, "mute: reaction at %d, bare slice loop", intervals[i]);
        printRow(what, figures.bareMute[i], NULL, TRUE);
    }
    printPolledRow("screen saver, polled: reaction at 500, plug-in", figures.screenSaver, SHORT_INTERVAL);
    printSignalledRow("headphones unplugged, signalled: reaction at 500, plug-in", figures.lossSignalled);
    printPolledRow("headphones unplugged, poll alone: reaction at 500, plug-in", figures.lossPolled,
                   DEVICE_LOSS_INTERVAL);
    for (int i = 0; i < 2; ++i) {
        wsprintfA(what, "quit at %d, plug-in", intervals[i]);
        printQuitRow(what, figures.pluginQuits[i]);
        wsprintfA(what, "quit at %d, bare slice loop", intervals[i]);
        printRow(what, figures.bareQuits[i], NULL, TRUE);
    }
    printRow("LoadLibrary + init", figures.loads, NULL, TRUE);

    IdleFigures &idle = figures.idle;
    printf("\nPoll cost ratio plug-in/bare (medians): %.2f (target <= 1.10: %s)\n", pollRatio,
           pollRatio <= POLL_RATIO ? "met" : "NOT met");
    double wakeupLimit = 60000.0 / IDLE_INTERVAL;
    printf("Wakeups per minute while stopped, at %d over %.0f s: plug-in %.0f (target <= %.0f: %s), bare slice loop "
           "%.0f\n",
           IDLE_INTERVAL, idle.seconds, idle.pluginWakeupsPerMinute, wakeupLimit,
           idle.pluginWakeupsPerMinute <= wakeupLimit ? "met" : "NOT met", idle.bareWakeupsPerMinute);
    printf("Idle CPU while stopped, same stretch: plug-in %.1f ms/min, bare slice loop %.1f ms/min (thread clock "
           "resolution 10 ms)\n",
           idle.pluginCpuPerMinute, idle.bareCpuPerMinute);
    DWORD size = fileSize(config.pluginPath);
    printf("DLL size: %lu bytes (target <= %lu: %s)\n", size, DLL_SIZE_LIMIT, size <= DLL_SIZE_LIMIT ? "met" : "NOT met");
    printf("Heap allocations by the plug-in between init and quit, every run: %ld (target 0: %s)\n", probe.heapCalls,
           probe.heapCalls == 0 ? "met" : "NOT met");
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpA(argv[i], "--quick") == 0)
            config.quick = TRUE;
        else if (argv[i][0] == '-') {
            fprintf(stderr, "hushgate_bench: unknown option %s; usage: hushgate_bench [--quick] PLUGIN.dll\n", argv[i]);
            return 2;
        } else
            config.pluginPath = argv[i];
    }
    if (config.pluginPath == NULL) {
        fprintf(stderr, "hushgate_bench: give the path of gen_hushgate_amp.dll; usage: hushgate_bench [--quick] PLUGIN.dll\n");
        return 2;
    }
    if (GetFileAttributesA(config.pluginPath) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "hushgate_bench: %s not found; build it first with scripts/build.sh\n", config.pluginPath);
        return 2;
    }
    QueryPerformanceFrequency(&counterFrequency);
    srand(20261207);
    bindSystemFunction(realSleep, "kernel32.dll", "Sleep");  // the bare loop sleeps through it
    if (!settingsPathBesidePlugin()) {
        fprintf(stderr, "hushgate_bench: the path of %s is too long; copy the DLL to a shorter one\n", config.pluginPath);
        return 2;
    }
    (void)DeleteFileA(config.settingsPath);
    if (createPlayerWindow(GetModuleHandleA(NULL), FALSE, NULL) == NULL) {
        fprintf(stderr, "hushgate_bench: cannot create a window; start a display first (scripts/bench.sh does)\n");
        return 2;
    }
    InitializeCriticalSection(&sliceLoop.stopLock);
    InitializeCriticalSection(&bareMixerLock);
    setScreenSaverRunning(FALSE);
    (void)setSystemMute(FALSE);

    measureEverything();
    (void)DeleteFileA(config.settingsPath);
    printReport();
    return 0;
}
