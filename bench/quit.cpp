// How long quit takes, landing at a random moment of the loop, beside the bare loop's stop; with
// it what loading costs and what the plug-in occupies: LoadLibrary + init, the DLL's size and
// its heap calls over every run of the bench.
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>

#include "player_window.h"

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
        startPlugin(session, checkTime, REAL_PLATFORM);
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

static Samples pluginQuits[2], bareQuits[2], loads;

static void measureQuits(void)
{
    for (int i = 0; i < 2; ++i) {
        measurePluginQuits(INTERVALS[i], config.quick ? 5 : 100, pluginQuits[i], loads);
        measureSliceLoopQuits(INTERVALS[i], config.quick ? 3 : 60, bareQuits[i]);
    }
}

static const double QUIT_MEDIAN_MS = 5;
static const double QUIT_WORST_MS = 100;
static const DWORD DLL_SIZE_LIMIT = 32768;

static void printQuitRow(const char *what, Samples &samples)
{
    printRow(what, samples, "median <= 5, worst <= 100",
             judge(samples.count, median(samples) <= QUIT_MEDIAN_MS && worst(samples) <= QUIT_WORST_MS));
}

static void printQuitRows(void)
{
    char what[128];
    for (int i = 0; i < 2; ++i) {
        wsprintfA(what, "quit at %d, plug-in", INTERVALS[i]);
        printQuitRow(what, pluginQuits[i]);
        wsprintfA(what, "quit at %d, bare slice loop", INTERVALS[i]);
        printFigureRow(what, bareQuits[i]);
    }
    printFigureRow("LoadLibrary + init", loads);
}

static DWORD fileSize(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

static void printFootprintNotes(void)
{
    DWORD size = fileSize(config.pluginPath);
    printf("DLL size: %lu bytes (target <= %lu: %s)\n", size, DLL_SIZE_LIMIT,
           verdictText(judge(size > 0 ? 1 : 0, size <= DLL_SIZE_LIMIT)));
    printf("Heap allocations by the plug-in between init and quit, every run: %ld (target 0: %s)\n", probe.heapCalls,
           verdictText(probe.heapCalls == 0 ? MET : NOT_MET));
}

const BenchRoom quitRoom = {measureQuits, printQuitRows, printFootprintNotes};
