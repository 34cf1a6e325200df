// The plug-in under test: loaded into the stand-in player window, its imports intercepted so
// that the bench sees each poll of its watch loop, each wakeup and any call to an allocator.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>

#include "conditions.h"
#include "import_patch.h"
#include "player_window.h"
#include "simulated_speakers.h"

PluginProbe probe;

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

BOOL waitForPluginPoll(DWORD limitMs)
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

void startPlugin(Session &session, int checkTime, Platform platform)
{
    writeCheckTime(checkTime);
    char error[LOADER_MESSAGE_SIZE];
    double start = nowMs();
    if (!openPlugin(config.pluginPath, playerWindow.hwnd, session.plugin, error)) {
        fprintf(stderr, "hushgate_bench: %s\n", error);
        exit(1);
    }
    interceptPluginImports(session.plugin.module);
    // The session's stand-in answers the plug-in's wtsapi32 lookups, and its desktop probe.
    if (platform != REAL_PLATFORM)
        (void)interceptLockProbe(session.plugin.module);
    if (platform == SIMULATED_CHANGES)
        (void)interceptSpeakers(session.plugin.module);
    (void)session.plugin.header->init();
    session.loadAndInitMs = nowMs() - start;
    probe.countingHeap = 1;
}

double stopPlugin(Session &session)
{
    probe.countingHeap = 0;
    double start = nowMs();
    session.plugin.header->quit();
    double quitMs = nowMs() - start;
    FreeLibrary(session.plugin.module);
    session.plugin.module = NULL;
    return quitMs;
}

BOOL signalsAttached(void)
{
    return simulatedSession.registeredWindows > 0 && simulatedSpeakers.muteCallbacks > 0 &&
           simulatedSpeakers.deviceClients > 0;
}
