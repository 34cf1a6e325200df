// Loads the real gen_hushgate_amp.dll into a stand-in player window and measures what the
// plug-in costs, each figure beside a bare loop of the same platform calls that sleeps in
// 100 ms slices: one poll, reaction to a lock, a mute, an unplugged output and a call, quit, wakeups
// and CPU while idle, and the footprint. Prints a Markdown table for the README; exits with 3
// when a target measured nothing. Usage: hushgate_bench [--quick] PATH\gen_hushgate_amp.dll
#include "bench.h"

#include <stdio.h>
#include <stdlib.h>

#include "conditions.h"
#include "player_window.h"

// In the order they measure and print. The poll and idle rooms run on Wine's own platform, but
// for the session of the poll room's plug-in and, from the poll room on, the bare loop's desktop
// probe: both go to the stand-in's session. The reaction room hands the bare loop the stand-in's
// speakers too for the rest of the run, which the call room's linked-in library then reaches too.
// The quit room comes last: Wine's legacy mixer stops answering after 256 opens in one process,
// and it loads the plug-in 2 x 100 times.
static const BenchRoom *const rooms[] = {&pollCostRoom, &idleRoom, &reactionRoom, &callRoom, &quitRoom};
static const int ROOM_COUNT = sizeof rooms / sizeof rooms[0];

static void measureEverything(void)
{
    prepareBareLoop();
    for (int i = 0; i < ROOM_COUNT; ++i)
        rooms[i]->measure();
}

static void printReport(void)
{
    printMachine();
    printTableHead();
    for (int i = 0; i < ROOM_COUNT; ++i)
        if (rooms[i]->printRows != NULL)
            rooms[i]->printRows();
    for (int i = 0; i < ROOM_COUNT; ++i)
        if (rooms[i]->printNotes != NULL)
            rooms[i]->printNotes();
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

    measureEverything();
    (void)DeleteFileA(config.settingsPath);
    printReport();
    if (someTargetNotMeasured()) {
        fprintf(stderr, "hushgate_bench: a target measured nothing (the rows that read \"not measured\")\n");
        return 3;
    }
    return 0;
}
