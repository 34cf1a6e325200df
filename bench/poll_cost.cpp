// The cost of one poll of the plug-in's watch loop, where the session's notices hold and where
// the desktop probe alone tells the lock, each beside one poll of the bare loop that makes the
// same platform calls; and what one read of the default speakers' mute costs alone.
#include "bench.h"

#include <algorithm>
#include <stdio.h>

#include "conditions.h"
#include "import_patch.h"
#include "player_window.h"
#include "simulated_jacks.h"
#include "simulated_speakers.h"

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

// The first two polls differ only in the session registration: the stand-in's session answers
// the plug-in's wtsapi32 lookups in both, and is missing for the second, as on Windows 2000.
// The third plays on a laptop's merged speakers and headphone jack, whose jacks every poll
// reads: Wine has no device topology, so both loops then reach the simulated speakers.
struct PollCase {
    const char *name;
    BOOL sessionNoticesHold;
    LockTerm bareLockTerm;
    BOOL mergedOutput;
    Samples plugin;
    Samples bare;
};

static PollCase pollCases[] = {
    {"session notices held", TRUE, LOCK_FROM_NOTICES, FALSE, {}, {}},
    {"desktop probe alone", FALSE, LOCK_FROM_PROBE, FALSE, {}, {}},
    {"merged output's jacks read", TRUE, LOCK_FROM_NOTICES, TRUE, {}, {}},
};
static const int POLL_CASE_COUNT = sizeof pollCases / sizeof pollCases[0];

static Samples endpointReads;

static void appendSamples(Samples &to, const Samples &from)
{
    for (int i = 0; i < from.count; ++i)
        addSample(to, from.values[i]);
}

static BOOL pluginPollsEnough(void)
{
    return probe.polls.count >= pollsPerBlock();
}

static BOOL sliceLoopPollsEnough(void)
{
    return sliceLoop.pollTimes.count >= pollsPerBlock();
}

// Every poll probes the desktop where no session notices hold, and none where they do. A block
// whose polls did otherwise measured another poll (a registration that turned out otherwise, a
// bare loop that skipped the probe): its samples are dropped, and a case left with none reads
// "not measured". The probe is too cheap for the ratio to tell.
static BOOL probedAsTheCaseSays(const PollCase &pollCase, LONG switchesBefore, int polls)
{
    LONG switches = desktopSwitchesAsked - switchesBefore;
    return pollCase.sessionNoticesHold ? switches == 0 : switches >= polls;
}

// The merged output's headphone jack at every poll (the built-in speakers cannot be pulled);
// elsewhere none.
static BOOL jacksReadAsTheCaseSays(const PollCase &pollCase, LONG readsBefore, int polls)
{
    LONG reads = simulatedJacks.reads - readsBefore;
    return pollCase.mergedOutput ? reads >= polls : reads == 0;
}

// Each case's speakers: the merged ones simulated for both loops, else Wine's own.
static void prepareSpeakers(const PollCase &pollCase)
{
    resetSimulatedSpeakers();
    resetSimulatedJacks();
    mergeSpeakersAndHeadphones(pollCase.mergedOutput);
    simulatedSpeakers.passThrough = pollCase.mergedOutput ? 0 : 1;
}

static void measurePluginBlock(PollCase &pollCase)
{
    resetSimulatedSession();
    simulatedSession.libraryMissing = pollCase.sessionNoticesHold ? 0 : 1;
    Session session = {};
    prepareSpeakers(pollCase);
    startPlugin(session, 100, pollCase.mergedOutput ? SIMULATED_CHANGES : SIMULATED_SESSION);
    pumpMessagesFor(300);  // the first polls open the mixer and register for the notices
    probe.polls.count = 0;
    probe.lastWaitExit = 0;
    LONG switchesBefore = desktopSwitchesAsked, readsBefore = simulatedJacks.reads;
    probe.measuringPolls = 1;
    (void)pumpMessagesUntil(60000, pluginPollsEnough);
    probe.measuringPolls = 0;
    BOOL probedRight = probedAsTheCaseSays(pollCase, switchesBefore, probe.polls.count) &&
                       jacksReadAsTheCaseSays(pollCase, readsBefore, probe.polls.count);
    (void)stopPlugin(session);
    resetSimulatedSession();
    if (probedRight)
        appendSamples(pollCase.plugin, probe.polls);
}

static void measureBareBlock(PollCase &pollCase)
{
    sliceLoop.pollTimes.count = 0;
    sliceLoop.endpointReads.count = 0;
    prepareSpeakers(pollCase);
    LONG switchesBefore = desktopSwitchesAsked, readsBefore = simulatedJacks.reads;
    startSliceLoop(100, FALSE, TRUE, pollCase.bareLockTerm);
    (void)pumpMessagesUntil(60000, sliceLoopPollsEnough);
    (void)stopSliceLoop();
    if (!probedAsTheCaseSays(pollCase, switchesBefore, sliceLoop.pollTimes.count) ||
        !jacksReadAsTheCaseSays(pollCase, readsBefore, sliceLoop.pollTimes.count))
        return;
    appendSamples(pollCase.bare, sliceLoop.pollTimes);
    if (!pollCase.mergedOutput)
        appendSamples(endpointReads, sliceLoop.endpointReads);
}

// Wine's own platform on both sides but for the session; the player plays and nothing holds,
// so every poll makes every call and decides nothing. The bare loop's desktop probe goes
// through the stand-in's session as the plug-in's does, where each probe is counted.
static void measurePollCost(void)
{
    (void)interceptLockProbe(GetModuleHandleA(NULL));
    (void)interceptSpeakers(GetModuleHandleA(NULL));
    playerWindow.playState = PLAY_STATE_PLAYING;
    for (int block = 0; block < pollBlocks(); ++block) {
        for (PollCase &pollCase : pollCases) {
            measurePluginBlock(pollCase);
            measureBareBlock(pollCase);
        }
    }
    simulatedSpeakers.passThrough = 0;
}

static const double POLL_RATIO = 1.10;

static double pollRatio(PollCase &pollCase)
{
    return median(pollCase.plugin) / median(pollCase.bare);
}

static Verdict pollVerdict(PollCase &pollCase)
{
    int samples = std::min(pollCase.plugin.count, pollCase.bare.count);
    return judge(samples, pollRatio(pollCase) <= POLL_RATIO);
}

static void printPollCostRows(void)
{
    char what[160];
    for (PollCase &pollCase : pollCases) {
        wsprintfA(what, "one poll, plug-in, %s (playing; all conditions%s%s)", pollCase.name,
                  speakersApply ? ", speakers' mute and output device read" : "",
                  pollCase.mergedOutput ? ", with the output's jacks" : "");
        printRow(what, pollCase.plugin, "ratio to bare <= 1.10", pollVerdict(pollCase));
        printFigureRow("one poll, the same calls bare", pollCase.bare);
    }
    if (speakersApply)
        printFigureRow("one read of the default speakers' mute (Core Audio)", endpointReads);
}

static void printPollCostNotes(void)
{
    printf("\nPoll cost ratio plug-in/bare (medians):");
    for (int i = 0; i < POLL_CASE_COUNT; ++i) {
        PollCase &pollCase = pollCases[i];
        Verdict verdict = pollVerdict(pollCase);
        char ratio[16] = "-";
        if (verdict != NOT_MEASURED)
            snprintf(ratio, sizeof ratio, "%.2f", pollRatio(pollCase));
        printf("%s %s %s (target <= 1.10: %s)", i == 0 ? "" : ";", pollCase.name, ratio, verdictText(verdict));
    }
    printf("\n");
}

const BenchRoom pollCostRoom = {measurePollCost, printPollCostRows, printPollCostNotes};
