// Loads the real gen_hushgate_amp.dll into a stand-in player window and measures what the
// plug-in costs, each figure beside a bare loop of the same platform calls that sleeps in
// 100 ms slices: one poll, reaction to a lock, a mute, an unplugged output and a call, the cost as
// capture sessions grow and under a storm of them, quit, wakeups and CPU while idle, and the footprint. Prints a Markdown table for the README; exits with 3
// when a target measured nothing. Usage: hushgate_bench [--quick] [--room NAME] PATH\gen_hushgate_amp.dll
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
// and it loads the plug-in 2 x 100 times. The sessions room hands itself the stand-in's session
// and speakers, so it measures the same alone (--room sessions); another room run alone may meet
// Wine's own platform where an earlier room would have set the stand-in's.
struct NamedRoom {
    const char *name;
    const BenchRoom *room;
};
static const NamedRoom rooms[] = {{"poll", &pollCostRoom},        {"idle", &idleRoom},
                                  {"reactions", &reactionRoom},   {"calls", &callRoom},
                                  {"sessions", &sessionGrowthRoom}, {"quit", &quitRoom}};
static const int ROOM_COUNT = sizeof rooms / sizeof rooms[0];

static const char *onlyRoom;  // NULL: every room

static BOOL roomRuns(int i)
{
    return onlyRoom == NULL || lstrcmpA(onlyRoom, rooms[i].name) == 0;
}

static BOOL roomKnown(const char *name)
{
    for (int i = 0; i < ROOM_COUNT; ++i)
        if (lstrcmpA(name, rooms[i].name) == 0)
            return TRUE;
    return FALSE;
}

static void measureEverything(void)
{
    prepareBareLoop();
    for (int i = 0; i < ROOM_COUNT; ++i)
        if (roomRuns(i))
            rooms[i].room->measure();
}

static void printReport(void)
{
    printMachine();
    printTableHead();
    for (int i = 0; i < ROOM_COUNT; ++i)
        if (roomRuns(i) && rooms[i].room->printRows != NULL)
            rooms[i].room->printRows();
    for (int i = 0; i < ROOM_COUNT; ++i)
        if (roomRuns(i) && rooms[i].room->printNotes != NULL)
            rooms[i].room->printNotes();
}

static const char USAGE[] = "usage: hushgate_bench [--quick] [--room poll|idle|reactions|calls|sessions|quit] PLUGIN.dll";

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (lstrcmpA(argv[i], "--quick") == 0)
            config.quick = TRUE;
        else if (lstrcmpA(argv[i], "--room") == 0) {
            if (i + 1 == argc || !roomKnown(argv[i + 1])) {
                fprintf(stderr, "hushgate_bench: --room needs one of the rooms; %s\n", USAGE);
                return 2;
            }
            onlyRoom = argv[++i];
        } else if (argv[i][0] == '-') {
            fprintf(stderr, "hushgate_bench: unknown option %s; %s\n", argv[i], USAGE);
            return 2;
        } else
            config.pluginPath = argv[i];
    }
    if (config.pluginPath == NULL) {
        fprintf(stderr, "hushgate_bench: give the path of gen_hushgate_amp.dll; %s\n", USAGE);
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
