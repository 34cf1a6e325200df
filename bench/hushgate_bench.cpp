// Loads the real gen_hushgate_amp.dll into a stand-in player window and measures what the
// plug-in costs: one poll against the bare platform calls it makes, idle CPU, reaction and
// quit latency, and its footprint. Prints a Markdown table for the README.
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

// What the interception of the plug-in's imports sees.
struct PluginProbe {
    volatile LONG measuringPolls;
    double lastSleepExit;
    Samples polls;
    volatile DWORD watchThreadId;
    volatile LONG heapCalls;
    volatile LONG countingHeap;
};
static PluginProbe probe;

static void(WINAPI *realSleep)(DWORD);
static void *(__cdecl *realMalloc)(size_t);
static void *(__cdecl *realCalloc)(size_t, size_t);
static void *(__cdecl *realRealloc)(void *, size_t);
static LPVOID(WINAPI *realHeapAlloc)(HANDLE, DWORD, SIZE_T);
static HLOCAL(WINAPI *realLocalAlloc)(UINT, SIZE_T);

// Between the end of one slice and the start of the next lies exactly one poll when the
// interval is a single slice.
static void WINAPI timedSleep(DWORD milliseconds)
{
    probe.watchThreadId = GetCurrentThreadId();
    double entry = nowMs();
    if (probe.measuringPolls && probe.lastSleepExit > 0)
        addSample(probe.polls, entry - probe.lastSleepExit);
    realSleep(milliseconds);
    probe.lastSleepExit = nowMs();
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
    (void)interceptImport(plugin, "kernel32.dll", "Sleep", timedSleep, realSleep);
    (void)interceptImport(plugin, "kernel32.dll", "HeapAlloc", countedHeapAlloc, realHeapAlloc);
    (void)interceptImport(plugin, "kernel32.dll", "LocalAlloc", countedLocalAlloc, realLocalAlloc);
    (void)interceptImport(plugin, "msvcrt.dll", "malloc", countedMalloc, realMalloc);
    (void)interceptImport(plugin, "msvcrt.dll", "calloc", countedCalloc, realCalloc);
    (void)interceptImport(plugin, "msvcrt.dll", "realloc", countedRealloc, realRealloc);
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

static BOOL startPlugin(Session &session, int checkTime)
{
    writeCheckTime(checkTime);
    char error[LOADER_MESSAGE_SIZE];
    double start = nowMs();
    if (!openPlugin(config.pluginPath, playerWindow.hwnd, session.plugin, error)) {
        fprintf(stderr, "hushgate_bench: %s\n", error);
        return FALSE;
    }
    interceptPluginImports(session.plugin.module);
    (void)session.plugin.header->init();
    session.loadAndInitMs = nowMs() - start;
    return TRUE;
}

static double stopPlugin(Session &session)
{
    double start = nowMs();
    session.plugin.header->quit();
    double quitMs = nowMs() - start;
    FreeLibrary(session.plugin.module);
    session.plugin.module = NULL;
    return quitMs;
}

// --- one poll against the bare calls ---------------------------------------------------

static HMIXER bareMixer;
static DWORD bareMuteControl;

static BOOL speakersApply;  // Vista and later: a poll reads the default speakers' mute too

// What the plug-in does for one read of the default speakers' mute: a call complete in itself,
// inside the calling thread's apartment.
static void bareEndpointRead(void)
{
    HRESULT apartment = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    IMMDeviceEnumerator *enumerator = NULL;
    if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), NULL, CLSCTX_INPROC_SERVER,
                                   __uuidof(IMMDeviceEnumerator), (void **)&enumerator))) {
        IMMDevice *device = NULL;
        if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device))) {
            IAudioEndpointVolume *speakers = NULL;
            if (SUCCEEDED(device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_INPROC_SERVER, NULL,
                                           (void **)&speakers))) {
                BOOL muted = FALSE;
                (void)speakers->GetMute(&muted);
                speakers->Release();
            }
            device->Release();
        }
        enumerator->Release();
    }
    if (SUCCEEDED(apartment))
        CoUninitialize();
}

// Exactly the calls a poll of a playing player with all three conditions enabled makes.
static void barePoll(void)
{
    (void)SendMessageA(playerWindow.hwnd, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM);
    BOOL running = FALSE;
    (void)SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &running, 0);
    HDESK desktop = OpenInputDesktop(0, FALSE, DESKTOP_SWITCHDESKTOP);
    if (desktop != NULL) {
        (void)SwitchDesktop(desktop);
        CloseDesktop(desktop);
    }
    MIXERCONTROLDETAILS_BOOLEAN value = {};
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = bareMuteControl;
    details.cChannels = 1;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    (void)mixerGetControlDetailsA((HMIXEROBJ)bareMixer, &details, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
    if (speakersApply)
        bareEndpointRead();
}

struct BareLoop {
    int iterations;
    Samples polls;
    Samples endpointReads;
    volatile LONG done;
};
static BareLoop bareLoop;

// Runs in an apartment of its own for its whole life, as the watch thread does.
static DWORD WINAPI runBarePolls(LPVOID)
{
    HRESULT apartment = speakersApply ? CoInitializeEx(NULL, COINIT_MULTITHREADED) : E_NOTIMPL;
    for (int i = 0; i < bareLoop.iterations; ++i) {
        realSleep(100);
        double start = nowMs();
        barePoll();
        addSample(bareLoop.polls, nowMs() - start);
        if (!speakersApply)
            continue;
        start = nowMs();
        bareEndpointRead();
        addSample(bareLoop.endpointReads, nowMs() - start);
    }
    if (SUCCEEDED(apartment))
        CoUninitialize();
    bareLoop.done = 1;
    return 0;
}

static BOOL bareLoopDone(void)
{
    return bareLoop.done != 0;
}

static int pollSamples(void)
{
    return config.quick ? 20 : 300;
}

static BOOL pluginPollsEnough(void)
{
    return probe.polls.count >= pollSamples();
}

static void measurePollCost(Samples &pluginPolls, Samples &barePolls, Samples &endpointReads)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    if (!startPlugin(session, 100))
        exit(1);
    pumpMessagesFor(300);  // the first polls open the mixer and locate its control
    probe.polls.count = 0;
    probe.lastSleepExit = 0;
    probe.measuringPolls = 1;
    (void)pumpMessagesUntil(120000, pluginPollsEnough);
    probe.measuringPolls = 0;
    pluginPolls = probe.polls;
    (void)stopPlugin(session);

    bareLoop.iterations = pollSamples();
    (void)conditionMuteControl(bareMixer, bareMuteControl);
    HANDLE thread = CreateThread(NULL, 0, runBarePolls, NULL, 0, NULL);
    (void)pumpMessagesUntil(120000, bareLoopDone);
    CloseHandle(thread);
    barePolls = bareLoop.polls;
    endpointReads = bareLoop.endpointReads;
}

// --- idle CPU ---------------------------------------------------------------------------

static double threadCpuMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return -1;
    ULONGLONG total = ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime) +
                      ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime);
    return total / 10000.0;
}

static CRITICAL_SECTION bareStopLock;
static volatile LONG bareStop;

// The same sends and sleeps as an idle watch loop at 500 ms, and nothing else.
static DWORD WINAPI runBareIdleLoop(LPVOID)
{
    for (;;) {
        (void)SendMessageA(playerWindow.hwnd, PLAY_STATE_QUERY, 0, PLAY_STATE_QUERY_LPARAM);
        for (int slice = 0; slice < 5; ++slice) {
            EnterCriticalSection(&bareStopLock);
            BOOL stop = bareStop;
            LeaveCriticalSection(&bareStopLock);
            if (stop)
                return 0;
            realSleep(100);
        }
    }
}

static void measureIdleCpu(double &pluginMsPerMinute, double &bareMsPerMinute, double &seconds)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_STOPPED;
    if (!startPlugin(session, 500))
        exit(1);
    pumpMessagesFor(200);
    HANDLE watchThread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, probe.watchThreadId);
    InitializeCriticalSection(&bareStopLock);
    bareStop = 0;
    HANDLE bare = CreateThread(NULL, 0, runBareIdleLoop, NULL, 0, NULL);
    double pluginStart = threadCpuMs(watchThread);
    double bareStart = threadCpuMs(bare);
    seconds = config.quick ? 2 : 60;
    pumpMessagesFor((DWORD)(seconds * 1000));
    double perMinute = 60.0 / seconds;
    pluginMsPerMinute = (threadCpuMs(watchThread) - pluginStart) * perMinute;
    bareMsPerMinute = (threadCpuMs(bare) - bareStart) * perMinute;
    EnterCriticalSection(&bareStopLock);
    bareStop = 1;
    LeaveCriticalSection(&bareStopLock);
    while (WaitForSingleObject(bare, 0) != WAIT_OBJECT_0)
        pumpMessagesFor(10);
    CloseHandle(bare);
    CloseHandle(watchThread);
    DeleteCriticalSection(&bareStopLock);
    (void)stopPlugin(session);
}

// --- reaction latency -------------------------------------------------------------------

static volatile double pauseToggleAt;
static void stampPluginToggle(const PlayerEvent &event)
{
    if (event.fromOtherThread && event.id == CMD_PAUSE)
        pauseToggleAt = nowMs();
}

static BOOL pluginPaused(void)
{
    return pauseToggleAt > 0 && playerWindow.playState == PLAY_STATE_PAUSED;
}

static BOOL pluginResumed(void)
{
    return pauseToggleAt > 0 && playerWindow.playState == PLAY_STATE_PLAYING;
}

static void setCondition(int trial, BOOL on)
{
    if (trial % 2 == 0)
        setScreenSaverRunning(on);
    else
        (void)setSystemMute(on);
}

static void measureReaction(int checkTime, int trials, Samples &latencies)
{
    Session session = {};
    playerWindow.playState = PLAY_STATE_PLAYING;
    playerWindow.onEvent = stampPluginToggle;
    if (!startPlugin(session, checkTime))
        exit(1);
    pumpMessagesFor(150);
    for (int trial = 0; trial < trials; ++trial) {
        pumpMessagesFor(rand() % checkTime);  // a random phase of the interval
        pauseToggleAt = 0;
        double onset = nowMs();
        setCondition(trial, TRUE);
        if (pumpMessagesUntil(checkTime * 3 + 1000, pluginPaused))
            addSample(latencies, pauseToggleAt - onset);
        else
            addSample(latencies, 1e9);
        pauseToggleAt = 0;
        setCondition(trial, FALSE);
        (void)pumpMessagesUntil(checkTime * 3 + 1000, pluginResumed);
    }
    playerWindow.onEvent = NULL;
    (void)stopPlugin(session);
}

// --- quit latency and footprint ---------------------------------------------------------

static void measureQuits(int checkTime, int cycles, Samples &quits, Samples &loads)
{
    for (int cycle = 0; cycle < cycles; ++cycle) {
        Session session = {};
        playerWindow.playState = cycle % 2 == 0 ? PLAY_STATE_PLAYING : PLAY_STATE_STOPPED;
        if (!startPlugin(session, checkTime))
            exit(1);
        addSample(loads, session.loadAndInitMs);
        probe.countingHeap = 1;
        pumpMessagesFor(rand() % 300);  // quit lands mid-slice, mid-poll or mid-toggle
        probe.countingHeap = 0;
        addSample(quits, stopPlugin(session));
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

static void printRow(const char *what, Samples &samples, const char *target, BOOL met)
{
    printf("| %s | %.2f | %.2f | %.2f | %s | %s |\n", what, median(samples), percentile(samples, 0.95),
           worst(samples), target, met ? "met" : "NOT met");
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
    bindSystemFunction(realSleep, "kernel32.dll", "Sleep");  // the bare loops sleep through it too
    if (!settingsPathBesidePlugin()) {
        fprintf(stderr, "hushgate_bench: the path of %s is too long; copy the DLL to a shorter one\n", config.pluginPath);
        return 2;
    }
    (void)DeleteFileA(config.settingsPath);
    if (createPlayerWindow(GetModuleHandleA(NULL), FALSE, NULL) == NULL) {
        fprintf(stderr, "hushgate_bench: cannot create a window; start a display first (scripts/bench.sh does)\n");
        return 2;
    }
    setScreenSaverRunning(FALSE);
    (void)setSystemMute(FALSE);

    speakersApply = speakersAreTheUsersMute();
    static Samples pluginPolls, barePolls, endpointReads;
    measurePollCost(pluginPolls, barePolls, endpointReads);
    double pluginIdle, bareIdle, idleSeconds;
    measureIdleCpu(pluginIdle, bareIdle, idleSeconds);
    static const int intervals[] = {100, 500, 2000};
    static Samples reactions[3];
    for (int i = 0; i < 3; ++i)
        measureReaction(intervals[i], config.quick ? 2 : (i == 2 ? 10 : 30), reactions[i]);
    static Samples quits500, quits10000, loads;
    measureQuits(500, config.quick ? 5 : 200, quits500, loads);
    measureQuits(10000, config.quick ? 5 : 200, quits10000, loads);
    (void)DeleteFileA(config.settingsPath);

    describeMachine();
    double pollRatio = median(pluginPolls) / median(barePolls);
    printf("| measure (ms) | median | 95th | worst | target | |\n|---|---|---|---|---|---|\n");
    printRow(speakersApply ? "one poll, plug-in (all three conditions, playing, speakers read)"
                           : "one poll, plug-in (all three conditions, playing)",
             pluginPolls, "ratio to bare <= 1.10", pollRatio <= 1.10);
    printRow("one poll, bare platform calls", barePolls, "", TRUE);
    if (speakersApply)
        printRow("one read of the default speakers' mute (Core Audio)", endpointReads, "", TRUE);
    char target[64];
    for (int i = 0; i < 3; ++i) {
        char what[64];
        wsprintfA(what, "reaction, checkTime %d", intervals[i]);
        wsprintfA(target, "worst <= %d", intervals[i] / 100 * 100 + 30);
        printRow(what, reactions[i], target, worst(reactions[i]) <= intervals[i] / 100 * 100 + 30);
    }
    printRow("quit, checkTime 500", quits500, "worst <= 200, median <= 60",
             worst(quits500) <= 200 && median(quits500) <= 60);
    printRow("quit, checkTime 10000", quits10000, "worst <= 200, median <= 60",
             worst(quits10000) <= 200 && median(quits10000) <= 60);
    printRow("LoadLibrary + init", loads, "", TRUE);
    printf("\nPoll cost ratio plug-in/bare (medians): %.2f (target <= 1.10: %s)\n", pollRatio,
           pollRatio <= 1.10 ? "met" : "NOT met");
    printf("Idle CPU while stopped, over %.0f s: plug-in %.1f ms/min, bare loop %.1f ms/min (thread clock resolution "
           "10 ms)\n",
           idleSeconds, pluginIdle, bareIdle);
    DWORD size = fileSize(config.pluginPath);
    printf("DLL size: %lu bytes (target <= 65536: %s)\n", size, size <= 65536 ? "met" : "NOT met");
    printf("Heap allocations by the plug-in after init: %ld (target 0: %s)\n", probe.heapCalls,
           probe.heapCalls == 0 ? "met" : "NOT met");
    return 0;
}
